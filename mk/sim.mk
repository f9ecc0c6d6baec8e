# The beacon without a board. `make sim`: a frame in accelerated time from the PC's UTC clock, with
# console transcript, RF log, recording and waterfall in sim-out/. `make sim-live`: the beacon in
# real time with this terminal as its console.
SIM_OUT ?= sim-out

.PHONY: sim sim-live sim-build deps-decode

sim-build: deps
	@cmake --preset $(PRESET) >/dev/null
	@cmake --build --preset $(PRESET) --target wspr-sim

sim: sim-build
	@$(BUILD)/Sim/wspr-sim demo --out $(SIM_OUT)

sim-live: sim-build
	@$(BUILD)/Sim/wspr-sim live

# The tests decode the simulator's recordings with the standard WSPR decoder.
deps-decode:
	@scripts/ensure-deps.sh decode

test-host: deps-decode

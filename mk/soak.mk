# Soak in the simulator (wspr-soak): `make soak` runs the millisecond-counter wrap with a frame in
# flight and SOAK_DAYS simulated days of operation (GNSS every second, random console traffic);
# the long run is `make soak SOAK_DAYS=28`. SOAK_SEED picks the operator's traffic.
SOAK_DAYS ?= 1
SOAK_SEED ?= 1

.PHONY: soak
soak: deps
	@cmake --preset host >/dev/null
	@cmake --build --preset host --target wspr-soak
	@build/host/Tests/soak/wspr-soak --wrap
	@build/host/Tests/soak/wspr-soak --days $(SOAK_DAYS) --seed $(SOAK_SEED)

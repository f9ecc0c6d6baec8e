# Soak in the simulator (wspr-soak): `make soak` runs the millisecond-counter wrap with a frame in
# flight and SOAK_DAYS simulated days of operation (GNSS every second, random console traffic);
# the long run is `make soak SOAK_DAYS=28`. SOAK_SEED picks the operator's traffic.
# `make soak-faults` runs SOAK_DAYS days under random I2C faults (SOAK_RATE per operation), a
# held SDA now and then and console noise (wspr-fault-soak).
SOAK_DAYS ?= 1
SOAK_SEED ?= 1
SOAK_RATE ?= 0.001

.PHONY: soak soak-faults
soak: deps
	@cmake --preset host >/dev/null
	@cmake --build --preset host --target wspr-soak
	@build/host/Tests/soak/wspr-soak --wrap
	@build/host/Tests/soak/wspr-soak --days $(SOAK_DAYS) --seed $(SOAK_SEED)

soak-faults: deps
	@cmake --preset host >/dev/null
	@cmake --build --preset host --target wspr-fault-soak
	@build/host/Tests/soak/wspr-fault-soak --days $(SOAK_DAYS) --seed $(SOAK_SEED) --rate $(SOAK_RATE)

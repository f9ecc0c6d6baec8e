# Front door. `make test` builds and runs every test; `make sim` runs the beacon in the simulator.
PRESET ?= host
BUILD := build/$(PRESET)

.PHONY: all test sim build deps clean

all: build

deps:
	@scripts/ensure-deps.sh host

build: deps
	@cmake --preset $(PRESET) >/dev/null
	@cmake --build --preset $(PRESET)

test: build
	@ctest --preset $(PRESET)

clean:
	rm -rf build

# Further targets (the board image, checks) live in mk/.
-include mk/*.mk

# Front door. `make sim` runs the beacon in the simulator; `make test` builds everything and runs
# every test: the PC tests, the board image's budget check, the board image on the emulated chip
# against the PC build (short set), the sanitizer and 32-bit builds, static analysis and a short
# fuzzing run. `make test-host` runs only the PC tests (fast).
MAKEFLAGS += --no-print-directory
PRESET ?= host
BUILD := build/$(PRESET)
# Seconds each fuzz target runs within `make test` (`make fuzz` alone runs longer).
TEST_FUZZ_SECONDS ?= 15

.PHONY: all test test-host build deps clean

all: build

deps:
	@scripts/ensure-deps.sh host

build: deps
	@cmake --preset $(PRESET) >/dev/null
	@cmake --build --preset $(PRESET)

test-host: build
	@ctest --preset $(PRESET)

test: test-host
	@$(MAKE) --no-print-directory firmware-check
	@$(MAKE) --no-print-directory image-test-short
	@$(MAKE) --no-print-directory asan-test
	@$(MAKE) --no-print-directory m32-test
	@$(MAKE) --no-print-directory lint
	@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=$(TEST_FUZZ_SECONDS)
	@echo "PC tests, board image, the image on the emulated chip, sanitizers, 32-bit, static analysis and fuzzing all passed"
	@echo "checks: 7 passed, 0 failed"

clean:
	rm -rf build

# Further targets (the board image, simulator, checks, fuzzing, soak) live in mk/.
-include mk/*.mk

# libFuzzer targets (clang, sanitizers): `make fuzz` builds the fuzz preset and runs every target
# for FUZZ_SECONDS, two at a time, printing the executions of each. An input that breaks an
# invariant is kept in build/fuzz/fuzz-artifacts and fails the run.
FUZZ_SECONDS ?= 30
FUZZ_JOBS ?= 2

.PHONY: fuzz
fuzz:
	@scripts/ensure-deps.sh host fuzz
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz --target fuzz_all
	@Tests/fuzz/run.sh build/fuzz $(FUZZ_SECONDS) $(FUZZ_JOBS)

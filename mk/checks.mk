# Robustness checks (docs/checks.md):
#   make asan-test   whole host test suite under AddressSanitizer + UndefinedBehaviorSanitizer
#   make m32-test    firmware, simulator and tests as 32-bit code (32-bit long, as on the board)
#   make lint        cppcheck and clang-tidy over Core/, Platform/ and Sim/; any finding fails
#   make check-all   all three
# Each installs what it needs first (scripts/ensure-deps.sh).

LINT_DB_DIR := build/lint
LINT_DIRS := Core Platform Sim
LINT_JOBS ?= 2
LINT_LOG := build/lint.log
CHECKS_EMPTY :=
LINT_DIRS_RE := $(subst $(CHECKS_EMPTY) $(CHECKS_EMPTY),|,$(LINT_DIRS))

.PHONY: asan-test m32-test lint cppcheck clang-tidy lint-db check-all

asan-test:
	@scripts/ensure-deps.sh host
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan
	@ctest --preset asan

m32-test:
	@scripts/ensure-deps.sh host m32
	@cmake --preset m32 >/dev/null
	@cmake --build --preset m32
	@ctest --preset m32

lint: cppcheck clang-tidy

# The host build's configuration in a directory of its own: configuring writes the
# compile_commands.json the tools read, and nothing needs to be compiled.
lint-db:
	@scripts/ensure-deps.sh host lint
	@cmake --preset host -B $(LINT_DB_DIR) >/dev/null

# Every translation unit of the host build under the linted directories: the firmware, the virtual
# MCU, the simulator, and the board's platform layer as its PC tests compile it.
LINT_SOURCES = grep -o '"file": *"[^"]*"' $(LINT_DB_DIR)/compile_commands.json | cut -d'"' -f4 | \
	grep -E '^$(CURDIR)/($(LINT_DIRS_RE))/' | sort -u

CPPCHECK = cppcheck --project=$(CURDIR)/$(LINT_DB_DIR)/compile_commands.json \
	--enable=warning,style,performance,portability --std=c++20 -j$(LINT_JOBS) \
	--inline-suppr --suppressions-list=.cppcheck-suppressions --error-exitcode=1 --quiet \
	--template='{file}:{line}:{column}: {severity}: {message} [{id}]'

# A second pass with the board's type sizes (32-bit int, long and pointers) over the code that
# runs on it.
cppcheck: lint-db
	@echo "cppcheck: $(LINT_DIRS); Core Platform as 32-bit"
	@$(CPPCHECK) $(foreach d,$(LINT_DIRS),--file-filter='$(CURDIR)/$(d)/*')
	@$(CPPCHECK) --platform=unix32 $(foreach d,Core Platform,--file-filter='$(CURDIR)/$(d)/*')

clang-tidy: lint-db
	@echo "clang-tidy: $$($(LINT_SOURCES) | wc -l) files"
	@$(LINT_SOURCES) | xargs -r -n1 -P$(LINT_JOBS) clang-tidy -p $(LINT_DB_DIR) --quiet \
		>$(LINT_LOG) 2>&1; rc=$$?; grep -v ' generated\.$$' $(LINT_LOG); exit $$rc

check-all: asan-test m32-test lint

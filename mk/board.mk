# The board image for the STM32F411: build it, check it against its budget, write it to the chip.
#   make firmware        build/stm32f411/wspr-beacon.{elf,bin,hex,map} and a size report
#   make firmware-check  the same, failing when flash > 96 KiB (32 KiB in sectors 0-1, 64 KiB from
#                        sector 4) or static RAM (data + bss) > 4 KiB, when the worst-case stack
#                        exceeds 2 KiB, when the vector table is wrong, or when the firmware formats a
#                        conversion the image's integer-only printf lacks
#   make flash           write the .hex through an ST-Link (st-flash): sectors 0-1 and from sector 4,
#                        never the settings sectors between them
BOARD_PRESET := stm32f411
BOARD_IMAGE := build/$(BOARD_PRESET)/wspr-beacon
FLASH_BUDGET ?= 98304
RAM_BUDGET ?= 4096
STACK_GOAL ?= 2048

.PHONY: firmware firmware-check flash board-deps

board-deps:
	@scripts/ensure-deps.sh board

firmware: board-deps
	@cmake --preset $(BOARD_PRESET) >/dev/null
	@cmake --build --preset $(BOARD_PRESET)

# picolibc's integer printf prints long long modulo 2^32 and floating point as '?'.
PRINTF_UNSUPPORTED := "[^"]*%[-+ \#0-9.*]*(ll[diouxX]|[fFeEgGaA])

firmware-check: board-deps
	@if grep -n -E '$(PRINTF_UNSUPPORTED)' Core/Src/*.cpp; then \
		echo "FAIL: conversion above not supported by the image's integer-only printf" >&2; \
		exit 1; fi
	@cmake --preset $(BOARD_PRESET) >/dev/null
	@cmake --build --preset $(BOARD_PRESET) --target wspr-beacon >/dev/null
	@python3 Platform/stm32f411/tools/image_report.py --check --elf $(BOARD_IMAGE).elf \
		--objects build/$(BOARD_PRESET) --flash-max $(FLASH_BUDGET) --ram-max $(RAM_BUDGET) \
		--stack-goal $(STACK_GOAL) --indirect __i_vfprintf=__file_str_put

flash: firmware
	@scripts/ensure-deps.sh flash
	st-flash --reset --format ihex write $(BOARD_IMAGE).hex

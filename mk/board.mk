# The board image for the STM32F411: build it, check it against its budget, write it to the chip.
#   make firmware        build/stm32f411/wspr-beacon.{elf,bin,hex,map} and a size report
#   make firmware-check  the same, failing when flash > 32 KiB or static RAM (data + bss) > 2 KiB,
#                        when the vector table is wrong, or when the firmware formats a conversion
#                        the image's integer-only printf lacks; prints the worst-case stack depth
#   make flash           write the .bin at 0x08000000 through an ST-Link (st-flash)
BOARD_PRESET := stm32f411
BOARD_IMAGE := build/$(BOARD_PRESET)/wspr-beacon
FLASH_BUDGET ?= 32768
RAM_BUDGET ?= 2048
STACK_GOAL ?= 1536

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
	st-flash --reset write $(BOARD_IMAGE).bin 0x08000000

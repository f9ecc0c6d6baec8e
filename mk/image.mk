# The board image on the emulated STM32F411, compared with the PC build (docs/emulator.md):
#   make image-test        the emulated chip's own probes, then every scenario of Tests/image on
#                          the image built by make firmware
#   make image-test-short  the probes, the banner and the first symbols of a frame, and the same
#                          from an image linked to run partly from sector 4 (in make test)
IMAGE_TEST := build/$(PRESET)/Tests/test_image

.PHONY: image-test image-test-short image-test-build

image-test-build: build firmware deps-decode
	@cmake --build --preset $(BOARD_PRESET) --target wspr-beacon-split >/dev/null
	@cmake --build --preset $(PRESET) --target test_image test_emu_probes

image-test: image-test-build
	@WSPR_PROBES=build/$(BOARD_PRESET)/probes build/$(PRESET)/Tests/test_emu_probes
	@WSPR_IMAGE=$(BOARD_IMAGE).elf WSPR_IMAGE_SPLIT=$(BOARD_IMAGE)-split.elf $(IMAGE_TEST)

image-test-short: image-test-build
	@WSPR_PROBES=build/$(BOARD_PRESET)/probes build/$(PRESET)/Tests/test_emu_probes
	@WSPR_IMAGE=$(BOARD_IMAGE).elf WSPR_IMAGE_SPLIT=$(BOARD_IMAGE)-split.elf $(IMAGE_TEST) \
		--gtest_filter='Image.Short*'

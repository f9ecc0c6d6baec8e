# The board image on the emulated STM32F411, compared with the PC build (docs/emulator.md):
#   make image-test        every scenario of Tests/image on the image built by make firmware
#   make image-test-short  the banner and the first symbols of a frame (part of make test)
IMAGE_TEST := build/$(PRESET)/Tests/test_image

.PHONY: image-test image-test-short image-test-build

image-test-build: build firmware
	@cmake --build --preset $(PRESET) --target test_image

image-test: image-test-build
	@WSPR_IMAGE=$(BOARD_IMAGE).elf $(IMAGE_TEST)

image-test-short: image-test-build
	@WSPR_IMAGE=$(BOARD_IMAGE).elf $(IMAGE_TEST) --gtest_filter='Image.Short*'

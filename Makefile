# Entry points for people and CI. CMake does the real work.
BUILD ?= build
WERROR ?= OFF
JOBS ?= $(shell nproc)

.PHONY: all deps build test demo install clean

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) -DCAMRELAY_WERROR=$(WERROR) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# A whole tethering session against the virtual camera.
demo: build
	@CAMRELAY_BUILD_DIR=$(abspath $(BUILD)) umockdev-wrapper /usr/bin/python3 tools/virtualcam/demo.py

# A relocatable folder: camrelay, memtally and copies of the driver folders.
install: build
	@cmake --install $(BUILD) --prefix $(or $(PREFIX),dist)

clean:
	rm -rf $(BUILD)

# A thin front over CMake. `make demo` builds everything and runs the main
# job against the built-in device simulator; `make check` installs what the
# tests need and runs every test, native, under Wine and on the kernel's
# serial driver in QEMU.
BUILD     ?= build
WIN_BUILD ?= build-win
JOBS      ?= 2

.PHONY: all build windows demo deps check check-native check-wine check-uart bench clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

windows:
	cmake -S . -B $(WIN_BUILD) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
	cmake --build $(WIN_BUILD) -j$(JOBS)

demo: build
	scripts/demo.sh $(BUILD)

deps:
	scripts/install-deps.sh

check: deps
	$(MAKE) build windows
	$(MAKE) check-native check-wine check-uart

check-native:
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 600

check-wine:
	tests/wine/run.sh $(BUILD) $(WIN_BUILD)

# The kernel's own 8250 serial driver, in a QEMU guest (about half a minute).
check-uart:
	tests/uart/run.sh $(BUILD)

bench: build windows
	bench/run.sh $(BUILD) $(WIN_BUILD)

clean:
	rm -rf $(BUILD) $(WIN_BUILD)

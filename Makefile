# A thin front over CMake. `make demo` builds the two programs and runs the
# main job against the device simulator; `make check` installs what the
# tests need and runs every test, native, under Wine and on the kernel's
# serial driver in QEMU, and checks the release archives.
#
# Variables (make VAR=value ...):
#   JOBS       parallel compile jobs and CTest jobs (default 2)
#   BUILD      the native build with the tests (default build)
#   WIN_BUILD  the Windows build, VELTA.exe (default build-win)
#   REL_BUILD  velta and velta-sim alone, Release, tests off: for the demo,
#              install and the release archives (default build-release)
#   PREFIX     where `make install` puts things (default /usr/local)
#   DESTDIR    staging root prepended to PREFIX by `make install` (default none)
#   DIST       where `make dist` puts the archives and their sums (default dist)
BUILD     ?= build
WIN_BUILD ?= build-win
REL_BUILD ?= build-release
JOBS      ?= 2
PREFIX    ?= /usr/local
DESTDIR   ?=
DIST      ?= dist

.PHONY: all build windows release demo install dist deps check check-native check-wine check-dist check-uart bench clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

windows:
	cmake -S . -B $(WIN_BUILD) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
	cmake --build $(WIN_BUILD) -j$(JOBS)

# Needs only a C++17 compiler and CMake: no GoogleTest, no test suites.
release:
	cmake -S . -B $(REL_BUILD) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
	  -DVELTA_STATIC_RUNTIME=ON
	cmake --build $(REL_BUILD) -j$(JOBS)

demo: release
	scripts/demo.sh $(REL_BUILD)

# `make release` as yourself, then `sudo make install`: root installs the
# release build that is there and compiles nothing in your tree. Without
# one (or not as root) it is built first.
install:
	@if [ "$$(id -u)" -ne 0 ] || [ ! -x $(REL_BUILD)/velta ] || [ ! -x $(REL_BUILD)/velta-sim ]; then \
	  $(MAKE) release; \
	elif [ -n "$$(find src sim CMakeLists.txt -newer $(REL_BUILD)/velta 2>/dev/null | head -n 1)" ]; then \
	  echo "install: the sources changed since $(REL_BUILD) was built; run make release first to install them" >&2; \
	fi
	DESTDIR="$(DESTDIR)" cmake --install $(REL_BUILD) --prefix "$(PREFIX)"

# velta-VERSION-linux-ARCH.tar.gz, velta_VERSION-1_ARCH.deb and
# velta-VERSION-win64.zip, each with a .sha256 beside it.
dist: release windows
	rm -rf $(DIST)
	scripts/package_linux.sh $(REL_BUILD) $(DIST)
	cd $(WIN_BUILD) && cpack -B "$(abspath $(DIST))"
	rm -rf $(DIST)/_CPack_Packages

deps:
	scripts/install-deps.sh

check: deps
	$(MAKE) build windows
	$(MAKE) check-native check-wine check-uart
	$(MAKE) dist
	$(MAKE) check-dist

check-native:
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 600

check-wine:
	tests/wine/run.sh $(BUILD) $(WIN_BUILD)

check-dist:
	tests/packaging/check_dist.sh $(DIST) $(BUILD)

# The kernel's own 8250 serial driver, in a QEMU guest (about half a minute).
check-uart:
	tests/uart/run.sh $(BUILD)

bench: build windows
	bench/run.sh $(BUILD) $(WIN_BUILD)

clean:
	rm -rf $(BUILD) $(WIN_BUILD) $(REL_BUILD) $(DIST)

# Not part of check: RUNS interrupted runs at each phase against the
# simulator; VELTA_TARGET=wine runs the Windows build under Wine.
RUNS ?= 300
.PHONY: stress
stress: build
	scripts/stress.sh $(BUILD) $(RUNS) $(WIN_BUILD)

# Wraps the CMake presets. `make` builds the tool and the Windows binaries,
# `make test` builds everything and runs every test, `make demo` shows a
# package being built and installed. Each target first installs missing
# Debian packages (as root) or says how to.
SHELL := /bin/bash

.PHONY: all deps native native-release win32 test demo bench format clean

all: native-release win32

deps:
	@cmake/ensure-deps.sh

native: deps
	cmake --preset native
	cmake --build --preset native

native-release: deps
	cmake --preset native-release
	cmake --build --preset native-release

win32: deps
	cmake --preset win32
	cmake --build --preset win32

test: win32 native
	ctest --preset native

demo: native-release win32
	samples/demo.sh

bench: native-release
	bench/run.sh

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build

# Wraps the CMake presets. `make` builds the tool and the Windows binaries,
# `make test` builds everything and runs every test, `make demo` shows a
# package being built and installed. Each target first installs missing
# Debian packages (as root) or says how to.
SHELL := /bin/bash

.PHONY: all deps native native-release win32 clang-libcxx web web-screenshots test static fuzz-replay fuzz demo bench bench-memory bench-wine bench-web dist dist-check format clean

all: native-release win32

# How 32-bit programs (Wine's 32-bit side) run: auto keeps what works and
# sets up qemu's emulator only where the kernel refuses them; emulated or
# native chooses (cmake/ensure-wine32.py).
WINE32 ?= auto
deps:
	@WINE32=$(WINE32) cmake/ensure-deps.sh

native: deps
	cmake --preset native
	cmake --build --preset native

native-release: deps
	cmake --preset native-release
	cmake --build --preset native-release

# The installer stub, glimpack.exe and their Windows-side tests and helpers.
win32: deps
	cmake --preset win32
	cmake --build --preset win32

# Portability: the libraries and glimpack built with clang and libc++,
# warnings as errors (build/clang-libcxx).
clang-libcxx: deps
	cmake --preset clang-libcxx
	cmake --build --preset clang-libcxx -j2

# The browser page, a static folder in build/web: the project's libraries
# compiled by Emscripten (the wasm preset), the page bundled with the npm
# packages of web/package-lock.json, and the stub from the win32 build.
web: deps win32
	cmake --preset wasm
	cmake --build --preset wasm -j2

# The README's pictures of the page (docs/screenshots/web-*.png).
web-screenshots: web native-release
	node web/tests/screenshots.mjs build/web build/native-release/tools/glimpack build/win32 docs/screenshots

# clang-format, clang-tidy, cppcheck and a Valgrind memcheck run of the
# glimpack tests, on a Debug build without sanitizers (build/native-plain).
static: deps
	cmake/static-checks.sh build/native-plain

# The libFuzzer programs (clang build in build/fuzz) replay the inputs that
# once broke them: deterministic, so part of `make test` (the sanitized native
# tests replay the whole checked-in corpus). `make fuzz` explores for
# FUZZ_SECONDS per target (random and open-ended, never part of `make test`).
FUZZ_SECONDS ?= 600
fuzz-replay: deps
	fuzz/run.sh --replay-regress

fuzz: deps
	fuzz/run.sh $(FUZZ_SECONDS)

# The native suites (the Wine end-to-end tests and cross-checks among them),
# then glimpack.exe's own tests under Wine.
test: win32 native clang-libcxx web static fuzz-replay
	ctest --preset native
	ctest --preset win32

demo: native-release win32
	samples/demo.sh

bench: native-release
	bench/run.sh

# Peak memory and wall time of glimpack compress and pack on inputs of 64 and
# 512 MiB; BEFORE=BUILD_DIR measures another build beside this one
# (bench/memory.py says how to build an older commit for it).
bench-memory: native-release win32
	/usr/bin/python3 bench/memory.py $(if $(BEFORE),--before $(BEFORE))

# The installer's whole run under Wine against Wine starting a program that
# does nothing, and the installer's memory for growing packages.
bench-wine: native-release win32
	/usr/bin/python3 bench/wine_run.py

# Opening and checking a 20 MB package in headless Chromium against
# glimpack test on the same file, then a package of 30,000 one-byte records.
bench-web: web native-release
	node bench/web_check.mjs
	node bench/web_check.mjs --records 30000 --runs 3

# The release archives in build/dist (packaging/dist.sh says what each
# holds): the same bytes from the same commit. The tool is built with the
# dist preset in build/dist-tool, the Windows binaries come from win32.
dist: deps win32
	packaging/dist.sh

# make dist twice, the second time from a clean build folder, compared; what
# each archive holds; lintian on the .deb. CI adds --dpkg-install.
DIST_CHECK_FLAGS ?=
dist-check: deps win32
	packaging/dist-check.sh $(DIST_CHECK_FLAGS)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build

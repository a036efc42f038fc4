# The front door. Every target installs what is missing first (make deps).
SHELL := /bin/bash
JOBS ?= $(shell nproc)
PRODUCT_SERVER_BASE_URL ?= http://127.0.0.1/parambridge/
WIN32_DIR := build/win32

.PHONY: all deps dll native win32 test test-native test-win32 test-32bit bench fuzz demo dist clean

all: dll

deps:
	@tools/deps.sh

dll: deps
	cmake --preset win32 -DPRODUCT_SERVER_BASE_URL=$(PRODUCT_SERVER_BASE_URL) >/dev/null
	cmake --build --preset win32 -j $(JOBS) --target parambridge
	@echo "built $(WIN32_DIR)/parambridge.dll"

native: deps
	cmake --preset native >/dev/null
	cmake --build --preset native -j $(JOBS)

win32: deps
	cmake --preset win32 -DPRODUCT_SERVER_BASE_URL=$(PRODUCT_SERVER_BASE_URL) >/dev/null
	cmake --build --preset win32 -j $(JOBS)

test-native: native
	ctest --preset native -j $(JOBS)

test-win32: win32
	tools/wine-run cmd /c exit 0 </dev/null >/dev/null 2>&1
	# Windows under Wine and Xvfb: a test that fails is run once more, as a
	# window that appears late on a loaded machine is not a fault of the DLL.
	# ctest still reports which tests needed the second run.
	ctest --preset win32 -j $(JOBS) --repeat until-pass:2

# The 32-bit suite (test-win32, its tree built here) where 32-bit x86 code
# runs: under Wine on this host, or on a host that runs 64-bit code only (or
# with PB_GUEST=1) in an emulated x86-64 guest, see tools/guest/.
test-32bit: win32
	@tools/guest/on-i386 "the 32-bit suite" $(MAKE) --no-print-directory -o deps -o win32 test-win32

test: test-native test-32bit

bench: win32
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j $(JOBS)
	@echo "== core (native, one run; ratios side by side)"
	@python3 bench/report.py build/bench/bench/core_bench
	@echo "== parambridge.dll stripped (limit 400 KiB)"
	@i686-w64-mingw32-strip -o build/parambridge-stripped.dll $(WIN32_DIR)/parambridge.dll
	@stat -c '%s bytes' build/parambridge-stripped.dll
	@if [ -f bench/fetch_roundtrip.py ]; then echo "== fetch round trip on loopback"; python3 bench/fetch_roundtrip.py $(WIN32_DIR); fi

fuzz: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)
	tools/run-fuzzers build/fuzz/fuzz

# The demo where 32-bit x86 code runs: here, or in the emulated guest.
# TODO(64-bit DLL): on a host that runs 64-bit code only, 64-bit Wine still
# runs; once the 64-bit DLL is built, run tools/demo.sh there with it
# (PB_DEMO_BUILD=<its tree>) instead of taking the guest.
demo: win32
	@tools/guest/on-i386 "the demo" tools/demo.sh

dist: win32
	tools/dist.sh

clean:
	rm -rf build

# The front door. Every target installs what is missing first (make deps).
SHELL := /bin/bash
JOBS ?= $(shell nproc)
PRODUCT_SERVER_BASE_URL ?= http://127.0.0.1/parambridge/
WIN32_DIR := build/win32

.PHONY: all deps dll native win32 test test-native test-win32 bench fuzz demo dist clean

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
	# One run each: a test that fails has failed.
	ctest --preset win32 -j $(JOBS)

test: test-native test-win32

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

demo: win32
	tools/demo.sh

dist: win32
	tools/dist.sh

clean:
	rm -rf build

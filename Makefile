# The front door. Every target installs what is missing first (make deps).
SHELL := /bin/bash
JOBS ?= $(shell nproc)
# The DLL posts to PRODUCT_SERVER_BASE_URL. The Windows tests, the demo and
# the fetch benchmark post to the stand-in server on loopback, so they use a
# DLL built for LOOPBACK_URL whatever the product's address is: the one in
# build/win32 when the two agree (the default), else their own build tree.
LOOPBACK_URL := http://127.0.0.1/parambridge/
PRODUCT_SERVER_BASE_URL ?= $(LOOPBACK_URL)
WIN32_DIR := build/win32
ifeq ($(PRODUCT_SERVER_BASE_URL),$(LOOPBACK_URL))
LOOPBACK_DIR := $(WIN32_DIR)
else
LOOPBACK_DIR := build/win32-loopback
endif
# Nonempty when the loopback DLL has a build tree of its own.
SEPARATE_LOOPBACK := $(filter-out $(WIN32_DIR),$(LOOPBACK_DIR))

.PHONY: all deps dll native win32 loopback test test-native test-win32 bench fuzz demo dist clean

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

# The DLL, the Windows tests and the demo host built for LOOPBACK_URL.
loopback: deps
ifneq ($(SEPARATE_LOOPBACK),)
	@echo "== tests, demo and benchmark: a DLL built for $(LOOPBACK_URL) in $(LOOPBACK_DIR)"
endif
	cmake --preset win32 -B $(LOOPBACK_DIR) -DPRODUCT_SERVER_BASE_URL=$(LOOPBACK_URL) >/dev/null
	cmake --build $(LOOPBACK_DIR) -j $(JOBS)

test-native: native
	ctest --preset native -j $(JOBS)

# With another product address the product's DLL is built too (make dll),
# though only the loopback one is tested.
test-win32: loopback $(if $(SEPARATE_LOOPBACK),dll)
	tools/wine-run cmd /c exit 0 </dev/null >/dev/null 2>&1
	# One run each: a test that fails has failed.
	ctest --test-dir $(LOOPBACK_DIR) --output-on-failure -j $(JOBS)

test: test-native test-win32

bench: win32 $(if $(SEPARATE_LOOPBACK),loopback)
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j $(JOBS)
	@echo "== core (native, one run; ratios side by side)"
	@python3 bench/report.py build/bench/bench/core_bench
	@echo "== parambridge.dll stripped (limit 400 KiB)"
	@i686-w64-mingw32-strip -o build/parambridge-stripped.dll $(WIN32_DIR)/parambridge.dll
	@stat -c '%s bytes' build/parambridge-stripped.dll
	@if [ -f bench/fetch_roundtrip.py ]; then echo "== fetch round trip on loopback"; python3 bench/fetch_roundtrip.py $(LOOPBACK_DIR); fi

fuzz: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)
	tools/run-fuzzers build/fuzz/fuzz

demo: loopback
	PB_DEMO_BUILD=$(LOOPBACK_DIR) tools/demo.sh

dist: win32
	tools/dist.sh

clean:
	rm -rf build

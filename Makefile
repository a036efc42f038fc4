# The front door. Every target installs what is missing first (make deps).
SHELL := /bin/bash
JOBS ?= $(shell nproc)
PRODUCT_SERVER_BASE_URL ?= http://127.0.0.1/parambridge/
WIN32_DIR := build/win32
WIN64_DIR := build/win64
# make demo ARCH=32 or ARCH=64 shows one DLL; by default every one this host
# can run (64 needs Wine's 64-bit loader, which make deps installs).
HOST_ARCHES := 32 $(if $(or $(wildcard /usr/lib/wine/wine64),$(shell command -v wine64)),64)
ARCH ?= $(HOST_ARCHES)

.PHONY: all deps dll dll64 native tsan win32 win64 test test-native test-win32 test-win64 bench fuzz demo dist clean

all: dll

deps:
	@tools/deps.sh

dll: deps
	cmake --preset win32 -DPRODUCT_SERVER_BASE_URL=$(PRODUCT_SERVER_BASE_URL) >/dev/null
	cmake --build --preset win32 -j $(JOBS) --target parambridge
	@echo "built $(WIN32_DIR)/parambridge.dll"

dll64: deps
	cmake --preset win64 -DPRODUCT_SERVER_BASE_URL=$(PRODUCT_SERVER_BASE_URL) >/dev/null
	cmake --build --preset win64 -j $(JOBS) --target parambridge
	@echo "built $(WIN64_DIR)/parambridge64.dll"

native: deps
	cmake --preset native >/dev/null
	cmake --build --preset native -j $(JOBS)

win32: deps
	cmake --preset win32 -DPRODUCT_SERVER_BASE_URL=$(PRODUCT_SERVER_BASE_URL) >/dev/null
	cmake --build --preset win32 -j $(JOBS)

win64: deps
	cmake --preset win64 -DPRODUCT_SERVER_BASE_URL=$(PRODUCT_SERVER_BASE_URL) >/dev/null
	cmake --build --preset win64 -j $(JOBS)

tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS)

# The portable core with ASan and UBSan, then again with ThreadSanitizer.
test-native: native tsan
	ctest --preset native -j $(JOBS)
	ctest --preset tsan -j $(JOBS)

test-win32: win32
	tools/wine-run cmd /c exit 0 </dev/null >/dev/null 2>&1
	# Windows under Wine and Xvfb: a test that fails is run once more, as a
	# window that appears late on a loaded machine is not a fault of the DLL.
	# ctest still reports which tests needed the second run.
	ctest --preset win32 -j $(JOBS) --repeat until-pass:2

# parambridge64.dll's suite under 64-bit Wine, in a prefix of its own on the
# same display: run after the 32-bit suite, never beside it, as both show
# windows on that display and post to port 80.
test-win64: win64
	tools/wine64-run cmd /c exit 0 </dev/null >/dev/null 2>&1
	ctest --preset win64 -j $(JOBS)

# One suite after the other, also under make -j.
test:
	$(MAKE) --no-print-directory test-native
	$(MAKE) --no-print-directory test-win32
	$(MAKE) --no-print-directory test-win64

bench: win32 win64
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j $(JOBS)
	@echo "== core (native, one run; ratios side by side)"
	@python3 bench/report.py build/bench/bench/core_bench
	@echo "== parambridge.dll stripped (limit 400 KiB)"
	@i686-w64-mingw32-strip -o build/parambridge-stripped.dll $(WIN32_DIR)/parambridge.dll
	@stat -c '%s bytes' build/parambridge-stripped.dll
	@echo "== parambridge64.dll stripped (limit 500 KiB)"
	@x86_64-w64-mingw32-strip -o build/parambridge64-stripped.dll $(WIN64_DIR)/parambridge64.dll
	@stat -c '%s bytes' build/parambridge64-stripped.dll
	@echo "== fetch round trip on loopback, parambridge.dll"
	@python3 bench/fetch_roundtrip.py $(WIN32_DIR)
	@echo "== fetch round trip on loopback, parambridge64.dll"
	@python3 bench/fetch_roundtrip.py $(WIN64_DIR)

fuzz: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)
	tools/run-fuzzers build/fuzz/fuzz

demo: deps
	@for a in $(ARCH); do \
	  case $$a in 32|64) ;; *) echo "make demo: ARCH is 32 or 64, not '$$a'" >&2; exit 2;; esac; \
	  $(MAKE) --no-print-directory win$$a >/dev/null && PB_DEMO_ARCH=$$a tools/demo.sh || exit 1; \
	done

dist: win32 win64
	tools/dist.sh

clean:
	rm -rf build

# The front door. Every target installs what is missing first (make deps).
SHELL := /bin/bash
JOBS ?= $(shell nproc)
# The DLLs post to PRODUCT_SERVER_BASE_URL. The Windows tests, the demo and
# the fetch benchmark post to the product server (parambridge-server, or the
# tests' stand-in where they inject faults) on loopback, so they use
# DLLs built for LOOPBACK_URL whatever the product's address is: the ones in
# build/win32 and build/win64 when the two agree (the default), else build
# trees of their own.
# PRODUCT_SERVER_PINS: the server's key pins (make pin prints one), which the
# loopback trees never take: they are keyed on their own URL and key.
LOOPBACK_URL := http://127.0.0.1/parambridge/
PRODUCT_SERVER_BASE_URL ?= $(LOOPBACK_URL)
PRODUCT_SERVER_PINS ?=
# The vendor's names: PRODUCT_NAME names the DLLs (<name>.dll, <name>64.dll),
# the kit and the archives; PRODUCT_VERSION is the version resource's
# ProductVersion (empty: the project's); PRODUCT_COMPANY and
# PRODUCT_COPYRIGHT fill the version resource.
PRODUCT_NAME ?= parambridge
PRODUCT_VERSION ?=
PRODUCT_COMPANY ?=
PRODUCT_COPYRIGHT ?=
# Quoted for the shell: a ';' separates pins.
PRODUCT_ARGS = -DPRODUCT_SERVER_BASE_URL='$(PRODUCT_SERVER_BASE_URL)' -DPRODUCT_SERVER_PINS='$(PRODUCT_SERVER_PINS)' \
  -DPRODUCT_NAME='$(PRODUCT_NAME)' -DPRODUCT_VERSION='$(PRODUCT_VERSION)' \
  -DPRODUCT_COMPANY='$(PRODUCT_COMPANY)' -DPRODUCT_COPYRIGHT='$(PRODUCT_COPYRIGHT)'
WIN32_DIR := build/win32
WIN64_DIR := build/win64
ifeq ($(PRODUCT_SERVER_BASE_URL)|$(PRODUCT_SERVER_PINS)|$(PRODUCT_NAME)|$(PRODUCT_VERSION),$(LOOPBACK_URL)||parambridge|)
LOOPBACK_DIR := $(WIN32_DIR)
LOOPBACK64_DIR := $(WIN64_DIR)
else
LOOPBACK_DIR := build/win32-loopback
LOOPBACK64_DIR := build/win64-loopback
endif
# Nonempty when the loopback DLLs have build trees of their own.
SEPARATE_LOOPBACK := $(filter-out $(WIN32_DIR),$(LOOPBACK_DIR))
# make demo ARCH=32 or ARCH=64 shows one DLL. By default: both where this
# host runs 32-bit x86 code; where it runs 64-bit code only, the 64-bit DLL
# under 64-bit Wine (ARCH=32 still runs, in the emulated guest).
# Only from the command line: an ARCH in the environment (x86_64, say) is
# not this.
ifneq ($(origin ARCH),command line)
ARCH = $(if $(shell tools/guest/runs-i386 --quiet && echo yes),32 64,64)
endif

.PHONY: all deps dll dll64 native tsan server server-deb win32 win64 loopback loopback64 test \
        test-native test-win32 run-win32 test-win64 test-release bench bench-server fuzz demo dist pin clean \
        dashboard-screenshots

all: dll

deps:
	@tools/deps.sh

dll: deps
	cmake --preset win32 $(PRODUCT_ARGS) >/dev/null
	cmake --build --preset win32 -j $(JOBS) --target parambridge parambridge_signed
	@echo "built $(WIN32_DIR)/$(PRODUCT_NAME).dll"

dll64: deps
	cmake --preset win64 $(PRODUCT_ARGS) >/dev/null
	cmake --build --preset win64 -j $(JOBS) --target parambridge parambridge_signed
	@echo "built $(WIN64_DIR)/$(PRODUCT_NAME)64.dll"

native: deps
	cmake --preset native >/dev/null
	cmake --build --preset native -j $(JOBS)

win32: deps
	cmake --preset win32 $(PRODUCT_ARGS) >/dev/null
	cmake --build --preset win32 -j $(JOBS)

win64: deps
	cmake --preset win64 $(PRODUCT_ARGS) >/dev/null
	cmake --build --preset win64 -j $(JOBS)

# The product server, optimised and without sanitizers: the binary that
# make server-deb packages, and that the Windows tests and the demo run on
# loopback (in the emulated guest too, which shares this folder at the same
# path and has its runtime libraries).
SERVER_DIR := build/server
SERVER_BIN := $(abspath $(SERVER_DIR)/server/parambridge-server)

server: deps
	cmake --preset server >/dev/null
	cmake --build --preset server -j $(JOBS)
	@echo "built $(SERVER_DIR)/server/parambridge-server"

# The Debian package (CPack): the binary, the systemd unit, the system user
# and its state folder (cmake/server-package.cmake). Built and checked
# (tests/package/check_deb.py), not installed.
server-deb: server
	rm -f $(SERVER_DIR)/deb/*.deb
	cd $(SERVER_DIR) && cpack -G DEB --config CPackConfig.cmake >/dev/null
	python3 tests/package/check_deb.py $(SERVER_DIR)/deb/parambridge-server_*_amd64.deb

# The DLLs, the Windows tests and the demo hosts built for LOOPBACK_URL.
# $(1): the preset, $(2): the build tree, $(3): the product's DLL, on which
# such a tree also runs the checks that need no server when the two differ.
define loopback_tree
	$(if $(SEPARATE_LOOPBACK),@echo "== the tests and the demo use a DLL built for $(LOOPBACK_URL) in $(2)")
	cmake --preset $(1) -B $(2) -DPRODUCT_SERVER_BASE_URL=$(LOOPBACK_URL) -DPRODUCT_SERVER_PINS= \
	  -DPRODUCT_NAME=parambridge -DPRODUCT_VERSION= -DPB_PRODUCT_SERVER_BIN=$(SERVER_BIN) \
	  $(if $(SEPARATE_LOOPBACK),-DPB_SHIPPED_DLL=$(abspath $(3)) -DPB_SHIPPED_PRODUCT='$(PRODUCT_NAME) $(PRODUCT_VERSION)') >/dev/null
	cmake --build $(2) -j $(JOBS)
endef

loopback: deps server
	$(call loopback_tree,win32,$(LOOPBACK_DIR),$(WIN32_DIR)/$(PRODUCT_NAME).dll)

loopback64: deps server
	$(call loopback_tree,win64,$(LOOPBACK64_DIR),$(WIN64_DIR)/$(PRODUCT_NAME)64.dll)

tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS)

# The portable core with ASan and UBSan, then again with ThreadSanitizer.
test-native: native tsan
	ctest --preset native -j $(JOBS)
	ctest --preset tsan -j $(JOBS)

# One run each: a test that fails has failed. With another product address
# the product's DLL is built too (make dll), though only the loopback one is
# tested. Built here; run where 32-bit x86 code runs: under Wine on this host,
# or, on a host that runs 64-bit code only (or with PB_GUEST=1), in an
# emulated x86-64 guest (tools/guest/), which has Wine but no compilers.
test-win32: server loopback $(if $(SEPARATE_LOOPBACK),dll)
	@tools/guest/on-i386 "the 32-bit suite" \
	  $(MAKE) --no-print-directory run-win32 LOOPBACK_DIR=$(LOOPBACK_DIR) JOBS=$(JOBS)

# The 32-bit suite of the tree already built; runs no compiler.
run-win32:
	tools/wine-run cmd /c exit 0 </dev/null >/dev/null 2>&1
	ctest --test-dir $(LOOPBACK_DIR) --output-on-failure -j $(JOBS)

# parambridge64.dll's suite under 64-bit Wine, in a prefix of its own on the
# same display: run after the 32-bit suite, never beside it, as both show
# windows on that display and post to port 80.
test-win64: server loopback64 $(if $(SEPARATE_LOOPBACK),dll64)
	tools/wine64-run cmd /c exit 0 </dev/null >/dev/null 2>&1
	ctest --test-dir $(LOOPBACK64_DIR) --output-on-failure -j $(JOBS)

# What ships: reproducible DLLs and zip, the zip holding the tested DLLs,
# signing that changes nothing else (tools/check-release). On the host.
test-release: $(if $(SEPARATE_LOOPBACK),dll dll64,loopback loopback64)
	tools/check-release $(WIN32_DIR) $(WIN64_DIR) $(if $(SEPARATE_LOOPBACK),$(LOOPBACK_DIR) $(LOOPBACK64_DIR))

# One suite after the other, also under make -j.
test:
	$(MAKE) --no-print-directory test-native
	$(MAKE) --no-print-directory test-win32
	$(MAKE) --no-print-directory test-win64
	$(MAKE) --no-print-directory test-release

# The 32-bit round trip runs where 32-bit code runs natively; a host that
# runs 64-bit code only says so in one line and measures the 64-bit one.
bench: win32 win64 $(if $(SEPARATE_LOOPBACK),loopback loopback64)
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j $(JOBS)
	@echo "== core (native, one run; ratios side by side)"
	@python3 bench/report.py build/bench/bench/core_bench
	@echo "== $(PRODUCT_NAME).dll as it ships, stripped (limit 400 KiB)"
	@stat -c '%s bytes' $(WIN32_DIR)/$(PRODUCT_NAME).dll
	@echo "== $(PRODUCT_NAME)64.dll as it ships, stripped (limit 500 KiB)"
	@stat -c '%s bytes' $(WIN64_DIR)/$(PRODUCT_NAME)64.dll
	@echo "== fetch round trip on loopback, parambridge.dll"
	@if tools/guest/runs-i386 --quiet; then python3 bench/fetch_roundtrip.py $(LOOPBACK_DIR); \
	else echo "not measured: this host runs 64-bit code only (or PB_GUEST=1; tools/guest/runs-i386 says why)," \
	  "and in the emulated guest every instruction is emulated, so its times compare with nothing;" \
	  "make bench on a host that runs 32-bit code measures this row"; fi
	@echo "== fetch round trip on loopback, parambridge64.dll"
	@python3 bench/fetch_roundtrip.py $(LOOPBACK64_DIR)

# The product server under terminals' load over https, beside nginx with a
# fixed reply, the Python stand-in and (when the server takes one) PostgreSQL:
# bench/server/run_bench.py, about 10 minutes on 2 cores. BENCH_SCALE=0.05
# (terminals, burst and idle connections scaled) and BENCH_ROUNDS=1 try it out.
bench-server: server
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j $(JOBS) --target pb-loadgen
	@ulimit -n $$(ulimit -Hn) && python3 bench/server/run_bench.py \
	  --loadgen build/bench/bench/server/pb-loadgen --server $(SERVER_BIN)

fuzz: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)
	tools/run-fuzzers build/fuzz/fuzz

# The 32-bit demo runs where 32-bit x86 code runs (here, or in the guest);
# the 64-bit one runs under 64-bit Wine on every x86-64 host.
demo: deps server
	@for a in $(ARCH); do \
	  case $$a in 32) dir=$(LOOPBACK_DIR); where="tools/guest/on-i386";; \
	    64) dir=$(LOOPBACK64_DIR); where=""; \
	        echo "The 64-bit demo runs under 64-bit Wine on this host.";; \
	    *) echo "make demo: ARCH is 32 or 64, not '$$a'" >&2; exit 2;; esac; \
	  $(MAKE) --no-print-directory loopback$${a#32} >/dev/null && \
	    PB_DEMO_ARCH=$$a PB_DEMO_BUILD=$$dir PB_SERVER_BIN=$(SERVER_BIN) $${where:+$$where "the 32-bit demo"} tools/demo.sh || exit 1; \
	done

# A release: the build's DLLs as they are (signed with SIGN_CERT and
# SIGN_KEY when given), refused for a loopback address unless DEMO_RELEASE=1.
# The configure step's warnings about the address and pins are said again.
dist: win32 win64
	@cmake $(PRODUCT_ARGS) -P cmake/product-server.cmake
	tools/dist.sh

# The dashboard's pictures in docs/dashboard.md: a demo database with three
# days of fetch history, served by the optimised server on loopback (its
# fetch port 80 under /tmp/parambridge-ports.lock) and shown in headless
# Chromium; writes docs/images/dashboard-*.png.
dashboard-screenshots: deps server
	/usr/bin/python3 tests/admin/screenshots.py --server $(SERVER_BIN) \
	  --work-dir $(SERVER_DIR)/dashboard-demo --out docs/images

# The pin of a running server's key or of a PEM certificate or key:
# make pin HOST=params.example.com, or make pin PEM=server.pem.
pin:
	@if [ -n "$(HOST)" ]; then tools/pin.sh --host '$(HOST)'; \
	elif [ -n "$(PEM)" ]; then tools/pin.sh --pem '$(PEM)'; \
	else echo "make pin HOST=host or make pin PEM=file.pem" >&2; exit 2; fi

clean:
	rm -rf build

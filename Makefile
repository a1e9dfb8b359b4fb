# Front door of the project: `make demo` runs the main job, `make test` builds and runs every
# suite. Both install what is missing first (scripts/install-deps.sh).
.PHONY: all deps demo bench bench-gate test test-host test-windows-build test-windows-image test-windows test-fuzz test-asan test-tsan tidy format format-check clean

all: test

deps:
	@scripts/install-deps.sh

build-host: deps
	cmake --preset host >/dev/null
	cmake --build --preset host

demo: build-host
	build/host/tools/conduit/conduit demo --out build/demo

# The audio path against bare baselines (docs/performance.md); BENCH_ARGS=--quick for a short run.
bench: build-host
	build/host/tools/bench/conduit-bench $(BENCH_ARGS)

# What a tick and a handshake cost, counted (callgrind, allocation and system-call counters)
# and held to their budgets, with the image that ships as the driver; fails when one is over
# (docs/performance.md).
bench-gate: build-host test-windows-build
	tools/bench/gate.py build/host/tools/bench/conduit-bench --image $(WINDOWS_BUILD)/driver/conduit.sys

# Every suite; the host suite runs last so that ctest's summary closes the output. The host
# suite includes the black-box suites against conduit.sys (label windows-image), registered
# because test-windows-build has built it by then.
test: deps test-windows-build test-fuzz test-windows-image test-host

test-host: build-host
	ctest --preset host

# The Windows cross build, the driver image checks, and a check that those checks refuse what is
# not a driver; the INF check and its refusals need no toolchain. The host suites then also run
# against this image (test-host comes after this target).
WINDOWS_BUILD := build/windows
test-windows-build: deps
	scripts/check-inf.py
	tests/windows/check-inf-rejects.py
	cmake --preset windows >/dev/null
	cmake --build --preset windows
	scripts/check-windows-image.py $(WINDOWS_BUILD)/driver/conduit.sys
	tests/windows/check-image-rejects.py $(WINDOWS_BUILD)/tests/windows/guarded-mapping-twin.exe
	tests/windows/check-guid-values.py
	tests/client/capi/check-abi.sh $(WINDOWS_BUILD)/client/capi/conduit-client.dll \
		client/capi/conduit-client.abi

# The image that ships, run by the host: the demo, bit-exact in both directions, in both modes.
test-windows-image: test-windows-build build-host
	build/host/tools/conduit/conduit demo --fast --image $(WINDOWS_BUILD)/driver/conduit.sys

# Optional: runs the Windows test programs and conduit.exe's command line under Wine, installing
# Wine (large) only here.
WINE := $(or $(shell command -v wine64 2>/dev/null),/usr/lib/wine/wine64)
test-windows: test-windows-build
	@if [ ! -x $(WINE) ]; then \
		echo "test-windows: installing Wine"; \
		sudo=""; [ "$$(id -u)" -eq 0 ] || sudo=sudo; \
		DEBIAN_FRONTEND=noninteractive $$sudo apt-get install -y -qq --no-install-recommends wine64; \
	fi
	WINEPREFIX=$(CURDIR)/$(WINDOWS_BUILD)/wine WINEDEBUG=-all $(WINE) \
		$(WINDOWS_BUILD)/tests/windows/guarded-mapping-twin.exe
	WINEPREFIX=$(CURDIR)/$(WINDOWS_BUILD)/wine WINEDEBUG=-all $(WINE) \
		$(WINDOWS_BUILD)/tests/windows/win32-backend-check.exe
	WINE="$(WINE)" WINEPREFIX=$(CURDIR)/$(WINDOWS_BUILD)/wine \
		tests/windows/check-conduit-exe.py $(WINDOWS_BUILD)/tools/conduit/conduit.exe

test-fuzz: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz
	ctest --preset fuzz

test-asan: deps
	cmake --preset host-asan >/dev/null
	cmake --build --preset host-asan
	ctest --preset host-asan

test-tsan: deps
	cmake --preset host-tsan >/dev/null
	cmake --build --preset host-tsan
	ctest --preset host-tsan

# clang-tidy over the driver with the host build's compile commands (.clang-tidy lists the checks
# and why the few left out are).
tidy: build-host
	run-clang-tidy -p build/host -quiet -j 2 '$(CURDIR)/driver/'

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

format-check:
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

clean:
	rm -rf build

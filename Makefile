# Front door of the project: `make demo` runs the main job, `make test` builds and runs every
# suite. Both install what is missing first (scripts/install-deps.sh).
.PHONY: all deps demo test test-host test-windows-build test-fuzz test-asan test-tsan format format-check clean

all: test

deps:
	@scripts/install-deps.sh

build-host: deps
	cmake --preset host >/dev/null
	cmake --build --preset host

demo: build-host
	build/host/tools/conduit/conduit demo

# Every suite; the host suite runs last so that ctest's summary closes the output.
test: deps test-windows-build test-fuzz test-host

test-host: build-host
	ctest --preset host

test-windows-build: deps
	cmake --preset windows >/dev/null
	cmake --build --preset windows

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

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

format-check:
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

clean:
	rm -rf build

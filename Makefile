# Convenience wrapper around the CMake presets. `make test` is the command
# CI runs; `make demo` builds and runs the demo server.
.PHONY: all build demo test asan tsan clean

all: build

build:
	cmake --preset default
	cmake --build --preset default

demo: build
	cd build && ./examples/vorbel_minimal minimal_server.conf

test:
	cmake --workflow --preset default

asan:
	cmake --workflow --preset asan

tsan:
	cmake --workflow --preset tsan

clean:
	rm -rf build build-asan build-tsan

# Convenience wrapper around the CMake presets. `make test` is the command
# CI runs; `make demo` builds and runs the demo server.
.PHONY: all build demo test asan tsan clean

all: build

build:
	cmake --preset default
	cmake --build --preset default

# The demo server alone is built, then run; DEMO_ARGS go to it, e.g.
# `make demo DEMO_ARGS=--fault` (see build/examples/vorbel_demo --help).
demo:
	cmake --preset default
	cmake --build --preset default --target vorbel_demo
	./build/examples/vorbel_demo $(DEMO_ARGS)

test:
	cmake --workflow --preset default

asan:
	cmake --workflow --preset asan

tsan:
	cmake --workflow --preset tsan

clean:
	rm -rf build build-asan build-tsan

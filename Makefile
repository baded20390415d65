# A thin layer over CMake. `make demo` builds and runs both programs on the
# bundled photograph; `make test` builds and runs every test.
BUILD ?= build
JOBS ?= 2

.PHONY: all build demo test sanitize bench clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	mkdir -p out
	$(BUILD)/lintrace/lintrace -i data/astronaut.pgm -o out/astronaut.list -s 1.0
	$(BUILD)/linpaint/linpaint -i out/astronaut.list -r 512 -c 512 -o out/astronaut-edges.pgm
	@echo "edges: out/astronaut.list   drawing: out/astronaut-edges.pgm"

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Every test again, built with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize:
	cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLINTRACE_SANITIZE=ON
	cmake --build build-sanitize -j $(JOBS)
	cd build-sanitize && ASAN_OPTIONS=allocator_may_return_null=1 ctest --output-on-failure -j $(JOBS)

# The benchmark (figures only): photographs of 1 to 64 megapixels, OpenCV beside where installed.
bench: build
	python3 bench/bench.py --build $(BUILD)

clean:
	rm -rf $(BUILD) build-sanitize build-fuzz out

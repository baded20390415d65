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

clean:
	rm -rf $(BUILD) out

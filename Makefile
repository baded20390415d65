# A thin layer over CMake. `make demo` builds and runs both programs on the
# bundled photograph; `make test` builds and runs every test.
BUILD ?= build
JOBS ?= 2

SHELL := /bin/bash
.PHONY: all configure programs build demo test sanitize fuzz bench bench-large clean

all: build

# `make test` needs the tests built; `make demo` goes on without GoogleTest.
# The image libraries' development packages are installed (or asked for) first.
REQUIRE_TESTS ?= OFF
# The Python module is built where pybind11 and numpy are found for Debian's
# /usr/bin/python3; its packages are installed (or asked for) first.
# LINTRACE_PYTHON=OFF builds without it.
LINTRACE_PYTHON ?= ON
configure:
	sh support/install-deps.sh $(if $(filter ON,$(REQUIRE_TESTS)),tests) $(if $(filter-out OFF,$(LINTRACE_PYTHON)),python)
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DLINTRACE_REQUIRE_TESTS=$(REQUIRE_TESTS) \
	  -DLINTRACE_PYTHON=$(LINTRACE_PYTHON)

# The two programs alone.
programs: configure
	cmake --build $(BUILD) -j $(JOBS) --target lintrace linpaint

# Everything, tests and benchmark tools included.
build: configure
	cmake --build $(BUILD) -j $(JOBS)

demo: programs
	mkdir -p out
	$(BUILD)/lintrace/lintrace -i data/astronaut.pgm -o out/astronaut.list -s 1.0
	$(BUILD)/linpaint/linpaint -i out/astronaut.list -r 512 -c 512 -o out/astronaut-edges.pgm
	@echo "The connectivity list: out/astronaut.list ($$(grep -c -- '^-1 -1$$' out/astronaut.list) edges)."
	@echo "The drawing of its edges of 5 points or more: out/astronaut-edges.pgm (512 x 512)."
	@if [ "$(LINTRACE_PYTHON)" != OFF ]; then \
	  cmake --build $(BUILD) -j $(JOBS) --target lintrace_python && \
	  echo "The Python module: PYTHONPATH=$(BUILD)/python /usr/bin/python3 -c 'import lintrace; help(lintrace)'"; fi

test: REQUIRE_TESTS = ON
test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Every test again, built with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize:
	sh support/install-deps.sh tests
	cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLINTRACE_SANITIZE=ON
	cmake --build build-sanitize -j $(JOBS)
	cd build-sanitize && ASAN_OPTIONS=allocator_may_return_null=1 ctest --output-on-failure -j $(JOBS)

# Fuzzing with libFuzzer (clang, and clang's runtime from libclang-rt-14-dev):
# every target runs FUZZ_SECONDS seconds from its seed corpus in fuzz/corpus;
# what it learns is kept in build-fuzz/corpus. `make fuzz FUZZ_SECONDS=3600`
# for a long run.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = images edge_lists detector lintrace_switches linpaint_switches
fuzz:
	sh support/install-deps.sh
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLINTRACE_FUZZ=ON -DBUILD_TESTING=OFF
	cmake --build build-fuzz -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	for target in $(FUZZ_TARGETS); do \
	  mkdir -p build-fuzz/corpus/$$target && \
	  build-fuzz/fuzz/fuzz_$$target -close_fd_mask=3 -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -artifact_prefix=build-fuzz/ build-fuzz/corpus/$$target fuzz/corpus/$$target 2>&1 \
	    | grep -E "number_of_executed_units|ERROR|SUMMARY|deadly|Test unit written" ; \
	  test $${PIPESTATUS[0]} -eq 0 || exit 1; \
	done

# The benchmark (figures only): photographs of 1 to 64 megapixels, OpenCV beside where installed;
# the Python module beside the program on 16 megapixels.
bench: build
	python3 bench/bench.py --build $(BUILD)
	if [ -d $(BUILD)/python/lintrace ]; then /usr/bin/python3 bench/python_bench.py --build $(BUILD); fi

# The large-image benchmark (figures only; minutes, not in `bench`): tiled BigTIFF
# mosaics of 64 and 1024 megapixels, made in $(TMPDIR) or /tmp, traced in the
# standard mode, the streaming mode and on Dask. BENCH_LARGE="--huge" adds
# the 16-gigapixel mosaic (streaming mode only; the mosaic takes 16 GiB of
# disk and its list 2.5 to 2.7 bytes a pixel more).
BENCH_LARGE ?=
bench-large: build
	/usr/bin/python3 bench/large_images.py --lintrace $(BUILD)/lintrace/lintrace --python $(BUILD)/python $(BENCH_LARGE)

clean:
	rm -rf $(BUILD) build-sanitize build-fuzz out

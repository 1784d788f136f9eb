# The two everyday commands:
#   make demo   build an index on generated data, search, save, load, report
#   make test   build and run every test
# Both install the Debian packages the build needs when they are missing.

BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

DEBIAN_PACKAGES := g++ cmake ninja-build libgtest-dev libgmock-dev libbenchmark-dev pkg-config \
                   libxxhash-dev libcli11-dev python3-numpy python3-pytest python3-distributed \
                   python3-venv python3-setuptools python3-wheel \
                   python3-pytest-timeout python3-pytest-rerunfailures
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: demo test test-asan test-tsan fuzz bench deps configure build clean

deps:
	@missing=""; for p in $(DEBIAN_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

# The builds are the presets of CMakePresets.json (default, asan, tsan,
# fuzz); BUILD and CMAKE_ARGS may redirect or extend them.
$(BUILD)/build.ninja: | deps
	cmake --preset default -B $(BUILD) $(CMAKE_ARGS)

configure: $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	./$(BUILD)/tools/korvane_demo

# CTest runs the C++ and C tests, the tool and install tests; pytest the
# Python package against the library just built.
PYTHON := /usr/bin/python3
test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	KORVANE_LIBRARY=$(abspath $(BUILD))/libkorvane.so $(PYTHON) -m pytest -q -p no:cacheprovider python/tests

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	cmake --preset asan -B $(ASAN_BUILD) $(CMAKE_ARGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

# The concurrent tests under ThreadSanitizer: batch insertion on 0, 1, 2
# and 8 threads, batch search on several threads, and four threads
# searching one index with their own contexts. (The large-batch and
# allocation-failure cases are left to the other builds: they are slow here
# and exercise no concurrency the selected ones do not.)
test-tsan: deps
	cmake --preset tsan -B $(TSAN_BUILD) $(CMAKE_ARGS)
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target batch_test
	TSAN_OPTIONS=halt_on_error=1 ./$(TSAN_BUILD)/tests/batch_test \
	  --gtest_filter='AddBatch.SameIndexForEveryThreadCount:BatchSearchTest.*'

# The libFuzzer targets (clang 16; see docs/reliability.md for running them).
fuzz: deps
	cmake --preset fuzz $(CMAKE_ARGS)
	cmake --build --preset fuzz

bench: build
	for b in $(BUILD)/bench/*_bench; do $$b; done

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) build-fuzz

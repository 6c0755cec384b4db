# The commands a user needs; everything else is CMake presets (CMakePresets.json).
JOBS ?= 2
CTEST_JOBS ?= 2

.PHONY: deps demo test unit asan tsan tidy bench fuzz install-check format format-check

deps:
	@scripts/install-deps

## make demo: install what is missing, build the tool and walk the whole road on the bundled
## sample set; everything it writes goes to tavrin-demo-out/.
demo: deps
	cmake --preset default
	cmake --build --preset default --target tavrin_cli -j $(JOBS)
	build/default/cli/tavrin demo --out tavrin-demo-out

## make test: install what is missing, configure, build and run the whole suite.
test: deps
	cmake --preset default
	cmake --build --preset default -j $(JOBS)
	ctest --preset default -j $(CTEST_JOBS)

## make unit: the tests labelled unit (no sockets, no tavrin binary), which run offline.
unit: deps
	cmake --preset default
	cmake --build --preset default -j $(JOBS)
	ctest --preset unit -j $(CTEST_JOBS)

## make asan: the suite under AddressSanitizer and UndefinedBehaviorSanitizer.
asan: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(CTEST_JOBS)

## make tsan: the tests that use threads under ThreadSanitizer (clang); only their programs
## are built. Not memory_test: it replaces operator new, as TSan's runtime does.
TSAN_TARGETS = core_test vectorstore_test quellin_test client_test openai_test palisk_test \
  labeling_test
tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS) --target $(TSAN_TARGETS)
	ctest --preset tsan -j $(CTEST_JOBS)

## make tidy: clang-tidy (.clang-tidy) on every source of the build, from the compile commands
## of the default preset; the generated character-name table is built first.
tidy: deps
	cmake --preset default
	cmake --build --preset default --target tavrin_core -j $(JOBS)
	run-clang-tidy-14 -p build/default -quiet -j $(JOBS) \
	  '$(CURDIR)/(tavrin|quellin|cli|tests|fuzz|examples|python)/'

## make bench: build the benchmarks in Release and run each beside its Python baseline.
bench: deps
	cmake --preset bench
	cmake --build --preset bench -j $(JOBS)
	bench/run build/bench

## make fuzz: build the libFuzzer targets; FUZZ_SECONDS each (default 60).
fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	fuzz/run build/fuzz $${FUZZ_SECONDS:-60}

## make install-check: install to a temporary prefix, build examples/consumer against it and
## import the installed Python package (from outside the tree).
install-check: deps
	cmake --preset default
	cmake --build --preset default -j $(JOBS)
	rm -rf build/install-check
	cmake --install build/default --prefix build/install-check/prefix
	cmake -S examples/consumer -B build/install-check/consumer -G Ninja \
	  -DCMAKE_PREFIX_PATH=$(CURDIR)/build/install-check/prefix
	cmake --build build/install-check/consumer
	build/install-check/consumer/build_and_check build/install-check/stores
	cd /tmp && PYTHONPATH=$(CURDIR)/build/install-check/prefix/lib/python3.11/dist-packages \
	  /usr/bin/python3 -c 'import tavrin.brollin, tavrin.olvane, tavrin.palisk, tavrin.tessick, tavrin.prompts, tavrin.labeling, quellin'

format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

format-check:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run --Werror

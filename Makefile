# The commands a user needs; everything else is CMake presets (CMakePresets.json).
JOBS ?= 2
CTEST_JOBS ?= 2

.PHONY: deps test asan bench fuzz format format-check

deps:
	@scripts/install-deps

## make test: install what is missing, configure, build and run the whole suite.
test: deps
	cmake --preset default
	cmake --build --preset default -j $(JOBS)
	ctest --preset default -j $(CTEST_JOBS)

## make asan: the suite under AddressSanitizer and UndefinedBehaviorSanitizer.
asan: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(CTEST_JOBS)

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

format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

format-check:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run --Werror

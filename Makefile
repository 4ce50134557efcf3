# The README's commands. CMake presets do the real work.
JOBS ?= $(shell nproc)

.PHONY: run build test fuzz bench clean

run:
	scripts/install-deps host
	cmake --preset host
	cmake --build --preset host --target ticklow -j $(JOBS)
	@# The tool exits with 1 once its output is written, 0 if the write failed.
	build/host/ticklow 31; [ $$? -eq 1 ]

build: build-win32 build-host build-posix build-sanitize

# One tree per preset: build-host (the tool without a C library where the
# platform allows), build-posix (the tool on the C library, the build for
# every other host), build-win32, and build-sanitize (the host tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the fuzzer, with clang).
build-%:
	cmake --preset $*
	cmake --build --preset $* -j $(JOBS)

# The host tree's end-to-end tests drive build/win32/ticklow.exe too, so the
# Windows build comes first.
test:
	scripts/install-deps
	$(MAKE) build
	ctest --preset win32 -j $(JOBS)
	ctest --preset host -j $(JOBS)
	ctest --preset posix -j $(JOBS)
	ctest --preset sanitize -j $(JOBS)

# Fuzzes argument reading and the counter line for FUZZ_SECONDS, from the
# corpus in tests/fuzz/corpus; what breaks an invariant is added to it.
FUZZ_SECONDS ?= 60
fuzz:
	scripts/install-deps sanitize
	cmake --preset sanitize
	cmake --build --preset sanitize --target ticklow_fuzz -j $(JOBS)
	scripts/fuzz build/sanitize/tests/ticklow_fuzz $(FUZZ_SECONDS) build/sanitize/fuzz

# Measures the tool against /bin/true, date, its C-library build and a
# do-nothing process, on Linux and under Wine; writes bench/results.md.
bench:
	scripts/install-deps bench
	cmake --preset win32
	cmake --build --preset win32 -j $(JOBS) --target ticklow_win32 floor_win32 ticklow_crt
	cmake --preset host
	cmake --build --preset host -j $(JOBS) --target ticklow floor_linux ticklow_micro_bench
	cmake --preset posix
	cmake --build --preset posix -j $(JOBS) --target ticklow
	python3 bench/run.py

clean:
	rm -rf build

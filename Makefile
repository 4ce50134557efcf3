# The README's commands. CMake presets do the real work.
JOBS ?= $(shell nproc)
# Where a compiler cache is installed, the build trees use it; every tree of
# this checkout, and the mutants' scratch copy inside it, lies under this base.
export CCACHE_BASEDIR := $(CURDIR)
# One name for this run, shared by every tree it configures: a Wine that hangs
# in one tree's probe is not waited for again in the next.
export TICKLOW_PROBE_RUN ?= $(shell date +%s.%N)

.PHONY: run build test mutants install dist fuzz bench clean

# Only what the tool itself needs: no test is configured, and no Wine started.
run:
	scripts/install-deps tool
	cmake --preset host -DTICKLOW_BUILD_TESTS=OFF
	cmake --build --preset host --target ticklow -j $(JOBS)
	@# The tool exits with 1 once its output is written, 0 if the write failed.
	build/host/ticklow 31; [ $$? -eq 1 ]

# The host tree's end-to-end tests drive the Windows executables too, so the
# Windows builds, from the project's list of them, come first.
WINDOWS_PRESETS := $(shell awk '!/^\#/ && NF { print $$1 }' cmake/windows-builds.txt)
PRESETS = $(WINDOWS_PRESETS) host posix i686-linux aarch64-linux sanitize

build: $(addprefix build-,$(PRESETS))

# One tree per preset: build-host (the tool without a C library where the
# platform allows), build-posix (the tool on the C library, the build for
# every other host), build-win32, build-win64 and build-winarm64 (the Windows
# executables for 32-bit x86, x64 and ARM64), build-i686-linux and
# build-aarch64-linux
# (static, on the POSIX layer, run under qemu-user where the host cannot run
# them), and build-sanitize (the host tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the fuzzer, with clang).
build-%:
	cmake --preset $*
	cmake --build --preset $* -j $(JOBS)

# Every tree built and tested, whatever failed before it, so that one failure
# never hides another; then what each tree ran, why anything was skipped, and
# which trees failed, and how long each phase took (scripts/timed; the gate
# gathers them all in $TICKLOW_PHASES and prints them at its end). The host
# tree's tests start the Windows trees' programs: those trees come first.
test:
	@[ -n "$$TICKLOW_PHASES" ] || { mkdir -p build && : >build/phases.txt; }; \
	scripts/timed installs scripts/install-deps || exit 1; \
	status=0; \
	scripts/test-trees $(WINDOWS_PRESETS) host -- $(filter-out $(WINDOWS_PRESETS) host,$(PRESETS)) || \
	  status=$$?; \
	[ -n "$$TICKLOW_PHASES" ] || { echo "make test: phases:"; sed 's/^/    /' build/phases.txt; }; \
	exit $$status

# Plants each fault kept in tests/mutants in a scratch copy of the tree and
# checks that a test catches it; ends on "N killed, M survived".
mutants:
	scripts/install-deps
	scripts/mutants

# The host tool, its manual page, the README and the licence, under PREFIX.
PREFIX ?= /usr/local
install:
	scripts/install-deps tool
	cmake --preset host -DTICKLOW_BUILD_TESTS=OFF
	cmake --build --preset host --target ticklow -j $(JOBS)
	cmake --install build/host --prefix $(PREFIX)

# The release archives, the winget and Scoop manifests and their checksums
# in dist/, time-stamped with the last commit's time; RELEASE_URL is where
# the manifests say the zips are downloaded from. With SIGN_PKCS12 and
# SIGN_PASSWORD_FILE, each ticklow.exe is Authenticode-signed first;
# SIGN_TIMESTAMP names a timestamp server. DIST_CONFIGURE is passed to each
# tree's configure step (the release checks configure no tests).
dist:
	scripts/install-deps dist
	for preset in $(WINDOWS_PRESETS); do \
	  cmake --preset $$preset $(DIST_CONFIGURE) && \
	  cmake --build --preset $$preset --target ticklow_win32 -j $(JOBS) || exit 1; \
	done
	cmake --preset host $(DIST_CONFIGURE)
	cmake --build --preset host --target ticklow -j $(JOBS)
	scripts/dist $(if $(RELEASE_URL),--url $(RELEASE_URL)) \
	  $(if $(SIGN_PKCS12),--sign-pkcs12 $(SIGN_PKCS12)) \
	  $(if $(SIGN_PASSWORD_FILE),--sign-password-file $(SIGN_PASSWORD_FILE)) \
	  $(if $(SIGN_TIMESTAMP),--timestamp $(SIGN_TIMESTAMP))

# Fuzzes argument reading and the counter line for FUZZ_SECONDS, from the
# corpus in tests/fuzz/corpus; what breaks an invariant is added to it.
FUZZ_SECONDS ?= 60
fuzz:
	scripts/install-deps sanitize
	cmake --preset sanitize
	cmake --build --preset sanitize --target ticklow_fuzz -j $(JOBS)
	scripts/fuzz build/sanitize/tests/ticklow_fuzz $(FUZZ_SECONDS) build/sanitize/fuzz

# Measures the tool against /bin/true, date, its C-library build and a
# do-nothing process, on Linux and under each Wine of cmake/windows-builds.txt
# that runs here, and counts each ticklow.exe's instructions on the CPU
# emulator; writes bench/results.md.
bench:
	scripts/install-deps bench
	for preset in $(WINDOWS_PRESETS); do \
	  cmake --preset $$preset && \
	  cmake --build --preset $$preset --target ticklow_bench -j $(JOBS) || exit 1; \
	done
	cmake --preset host
	cmake --build --preset host -j $(JOBS) --target ticklow floor_linux ticklow_micro_bench \
	  ticklow_emulate
	cmake --preset posix
	cmake --build --preset posix -j $(JOBS) --target ticklow
	python3 bench/run.py

clean:
	rm -rf build dist

# The README's commands. CMake presets do the real work.
JOBS ?= $(shell nproc)

.PHONY: run build build-host build-win32 test clean

run:
	scripts/install-deps host
	cmake --preset host
	cmake --build --preset host --target ticklow -j $(JOBS)
	@# The tool exits with 1 once its output is written, 0 if the write failed.
	build/host/ticklow 31; [ $$? -eq 1 ]

build: build-win32 build-host

build-host:
	cmake --preset host
	cmake --build --preset host -j $(JOBS)

build-win32:
	cmake --preset win32
	cmake --build --preset win32 -j $(JOBS)

# The host tree's end-to-end tests drive build/win32/ticklow.exe too, so the
# Windows build comes first.
test:
	scripts/install-deps
	$(MAKE) build
	ctest --preset win32 -j $(JOBS)
	ctest --preset host -j $(JOBS)

clean:
	rm -rf build

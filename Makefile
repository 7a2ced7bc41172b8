# The two commands: `make package` builds the driver package into out/package/, `make test`
# builds and runs every test (host variants debug, asan, tsan, and the image checks).
BUILD := build
VARIANTS := debug asan tsan
JOBS ?= $(shell nproc)

.PHONY: package test deps-package deps-test clean $(VARIANTS:%=test-%)

package:
	scripts/ensure-deps.sh package
	cmake -S . -B $(BUILD)/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD)/windows -j $(JOBS)
	cmake --install $(BUILD)/windows --prefix out/package

test: package
	scripts/ensure-deps.sh test
	scripts/run-tests.sh $(BUILD) $(VARIANTS)

$(VARIANTS:%=test-%): package
	scripts/ensure-deps.sh test
	scripts/run-tests.sh $(BUILD) $(@:test-%=%)

clean:
	rm -rf $(BUILD) out

# The two commands: `make package` builds the driver package into out/package/, `make test`
# builds and runs every test (host variants debug, asan, tsan, and the image checks). `make bench`
# measures the driver in an optimised host build beside a socat pseudo-terminal pair.
BUILD := build
VARIANTS := debug asan tsan
JOBS ?= $(shell nproc)

.PHONY: package submission test bench deps-package deps-test clean $(VARIANTS:%=test-%)

package:
	scripts/ensure-deps.sh package
	cmake -S . -B $(BUILD)/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD)/windows -j $(JOBS)
	cmake --install $(BUILD)/windows --prefix out/package
	scripts/package.sh out/package

# The cabinet for the attestation signing service (docs/signing.md): the package signed with the
# SIGN_PFX certificate, refused at once without one.
submission:
	scripts/submission.sh --check
	$(MAKE) package
	scripts/submission.sh out/package out/submission/vcombus.cab

test: package
	scripts/ensure-deps.sh test
	scripts/run-tests.sh $(BUILD) $(VARIANTS)

$(VARIANTS:%=test-%): package
	scripts/ensure-deps.sh test
	scripts/run-tests.sh $(BUILD) $(@:test-%=%)

bench:
	scripts/ensure-deps.sh test
	cmake -S . -B $(BUILD)/host-release -DVCB_VARIANT=release >/dev/null
	cmake --build $(BUILD)/host-release -j $(JOBS) --target vcb_bench
	$(BUILD)/host-release/tests/vcb_bench --out=out/bench

clean:
	rm -rf $(BUILD) out

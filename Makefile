# Two entry points for a fresh Debian 12 machine: `make run` and `make test`; `make package`
# builds the Debian package and `make install-package` installs it with what it needs.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
# Tests never touch the user's home or real cameras; see tests/run-under-xvfb.sh.
CTEST_FLAGS ?= --output-on-failure -j$(JOBS) --timeout 600
# apt-get as root directly, otherwise through sudo (many car computers have no sudo).
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)
VERSION := $(shell sed -En 's/^project.quillmar VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
DEB = $(abspath $(BUILD))/quillmar_$(VERSION)_$(shell dpkg --print-architecture).deb

.PHONY: deps configure build run test package install-package bench asan tsan clean

deps:
	@bash scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

# Without a camera on the network the simulated one is used; set QUILLMAR_CAMERAS=real
# (or any other value) to look for real cameras.
run: build
	QUILLMAR_CAMERAS=$${QUILLMAR_CAMERAS:-simulated} ./$(BUILD)/app/quillmar

test: build
	QUILLMAR_BUILD_DIR=$(abspath $(BUILD)) bash tests/run-under-xvfb.sh ctest --test-dir $(BUILD) $(CTEST_FLAGS)

package: build
	cmake --build $(BUILD) --target package

install-package: package
	$(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y $(DEB)

bench: build
	bash tests/run-under-xvfb.sh bash bench/run-all.sh $(BUILD)

asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=Debug -DQUILLMAR_SANITIZE=address,undefined"

# GLib's recursive locks trip TSan's deadlock detector inside the toolkit; data races are
# still reported.
tsan:
	TSAN_OPTIONS="detect_deadlocks=0 $${TSAN_OPTIONS:-}" $(MAKE) test BUILD=build-tsan CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=Debug -DQUILLMAR_SANITIZE=thread"

clean:
	rm -rf build build-asan build-tsan

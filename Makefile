# Videomill: `make run` builds and starts the application, `make test` builds
# and runs every test. Both install the needed Debian packages first.
BUILD_DIR ?= build
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
JOBS ?= $(shell nproc)

.PHONY: all bootstrap configure build run test format demo bench clean

all: build

bootstrap:
	@bash scripts/bootstrap.sh

configure: bootstrap
	@cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS) > /dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	$(BUILD_DIR)/bin/videomill

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 600

bench: build
	@for b in $(BUILD_DIR)/bench/bench_*; do [ -x "$$b" ] && "$$b"; done; true

demo: build
	@mkdir -p out
	@ffmpeg -y -hide_banner -loglevel error -f lavfi -i testsrc2=size=640x360:rate=25:duration=5 \
		-f lavfi -i sine=frequency=440:duration=5 -c:v libx264 -c:a aac -shortest \
		$(BUILD_DIR)/demo-sample.mp4
	$(BUILD_DIR)/bin/videomill-cli convert $(BUILD_DIR)/demo-sample.mp4 --dest out

format:
	@find src tests tools -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR)

# Set-up, build, demo and tests. `make demo` and `make test` work on a fresh
# machine: they create the virtual environment with Python 3.13, install the
# package with its dependencies and run.

PYTHON313 ?= $(shell for p in $$(ls -d $$(pyenv root 2>/dev/null)/versions/3.13*/bin/python3.13 2>/dev/null) $$(command -v python3.13); do $$p -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null && { echo $$p; break; }; done)
VENV := .venv
PY := $(abspath $(VENV))/bin/python
PYTEST := $(abspath $(VENV))/bin/pytest
# -noreset: Xvfb otherwise resets whenever its last client leaves, and a program
# connecting during that reset is turned away ("connection closed by server").
XVFB := $(shell if [ -z "$$DISPLAY" ]; then echo "xvfb-run -a -s '-screen 0 1280x1024x24 -noreset'"; fi)
# setuptools and wheel: pynput needs evdev on Linux, published only as source,
# and the package is installed without build isolation.
# build: make wheel's front-end (without isolation, on these same tools).
BUILD_DEPS := scikit-build-core cmake ninja setuptools wheel "numpy>=2.0,<3" "build>=1.2"
# The test extra of pyproject.toml (mypy checks the examples against the type stub;
# Playwright drives Debian's chromium, never a browser of its own download;
# nbclient runs a notebook on an ipykernel kernel), and the web, video and batch
# extras the tests use.
TEST_DEPS := "pytest>=8" "hypothesis>=6" "mypy>=1.10" "playwright>=1.40" "nbclient>=0.10" "ipykernel>=6.29" \
	"aiohttp>=3.9,<4" "av>=19,<20" "dask[distributed]>=2024.1"
# The venv's own tools (cmake, ninja) come first, never a global install.
export PATH := $(abspath $(VENV))/bin:$(PATH)

.PHONY: sysdeps venv install build demo test test-dev bench sanitize clean stub screenshots verify-opencv wheel

# Debian packages: Xvfb, xdotool, ImageMagick, fonts, OpenCV's GUI libraries, the toolchain.
sysdeps:
	@if command -v dpkg >/dev/null 2>&1; then bash tools/system-packages.sh; fi

$(VENV)/.ready: Makefile
	@test -x $(PY) || test -n "$(PYTHON313)" || { echo "Python 3.13 not found (PATH or pyenv)"; exit 1; }
	test -x $(PY) || $(PYTHON313) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(BUILD_DEPS) $(TEST_DEPS)
	touch $@

venv: $(VENV)/.ready

# pip install .[web,video,batch] (the package, its native core, its runtime
# dependencies, the web front-end's, PyAV for H.264 recordings and Dask's
# for the batch example)
install: venv
	$(PY) -m pip install -q --no-build-isolation ".[web,video,batch]"

# On a display the demo opens its window; without one it runs under Xvfb and
# saves a screenshot of a frame (demo-screenshot.png).
DEMO_SHOT := $(shell if [ -z "$$DISPLAY" ]; then echo "KELVRA_DEMO_SCREENSHOT=$(CURDIR)/demo-screenshot.png"; fi)
# No sound device: SDL's dummy audio driver, so the mixer still opens.
DEMO_AUDIO := $(shell if [ ! -e /dev/snd ] && [ -z "$$SDL_AUDIODRIVER" ]; then echo "SDL_AUDIODRIVER=dummy"; fi)
demo: sysdeps install
	cd examples && $(DEMO_SHOT) $(DEMO_AUDIO) $(XVFB) $(PY) demo.py

test: sysdeps install
	cd tests && SDL_AUDIODRIVER=dummy $(XVFB) $(PYTEST) -q -p no:cacheprovider .

# The opencv-python releases of the dependency range. verify-opencv installs
# each next to the venv (.verify-opencv/RELEASE) and runs the differential
# tests with it, after `kelvracv info`; OPENCV_RELEASES="..." picks some.
OPENCV_RELEASES ?= 4.10.0.84 4.11.0.86 4.12.0.88 4.13.0.92 4.14.0.94 5.0.0.93 5.1.0.95
verify-opencv: sysdeps install
	$(XVFB) bash tools/verify_opencv.sh $(PY) $(OPENCV_RELEASES)

# A wheel and an sdist of the package in dist/, the wheel built from the sdist
# (so the sdist is known to hold everything); pip install dist/kelvracv-*.whl
# installs it with its dependencies, "dist/kelvracv-...whl[web]" with aiohttp.
wheel: sysdeps venv
	rm -rf dist
	$(PY) -m build --no-isolation --outdir dist .

# Developer loop: in-place build into src/kelvracv/, tests against the tree.
build: venv
	cmake -S . -B build -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build
	@# A new file renamed over the old one: a process running from the tree keeps its copy.
	for f in build/_kelvra_core*.so; do cp "$$f" "src/kelvracv/.$${f##*/}.new" && mv -f "src/kelvracv/.$${f##*/}.new" "src/kelvracv/$${f##*/}" || exit 1; done

test-dev: build
	cd tests && PYTHONPATH=$(CURDIR)/src SDL_AUDIODRIVER=dummy $(XVFB) $(PYTEST) -q -p no:cacheprovider .

# The type stub src/kelvracv/_kelvra_core.pyi, generated from the module's own
# signatures and the entries of docs/reference.md, and tests/public_api.json,
# the public surface the tests check (commit both).
stub: build
	PYTHONPATH=$(CURDIR)/src KELVRACV_HEADLESS=1 PYGAME_HIDE_SUPPORT_PROMPT=1 $(PY) tools/gen_stub.py

# The gallery's screenshots in docs/img/, each example run headless (commit the PNGs).
screenshots: build
	PYTHONPATH=$(CURDIR)/src $(PY) tools/screenshots.py

bench: build
	for b in bench/bench_*.py; do PYTHONPATH=$(CURDIR)/src SDL_AUDIODRIVER=dummy $(XVFB) $(PY) $$b || exit 1; done

clean:
	rm -rf build build-asan _build .verify-opencv dist src/kelvracv/_kelvra_core*.so

# AddressSanitizer + UndefinedBehaviorSanitizer build of the core, tests run under it
# (their wall-clock limits ten times as long: tests/conftest.py, TIME_SCALE).
SAN_PKG := build-asan/pkg
sanitize: venv
	cmake -S . -B build-asan -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) -DKELVRA_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build-asan
	rm -rf $(SAN_PKG) && mkdir -p $(SAN_PKG) && cp -r src/kelvracv $(SAN_PKG)/ && rm -f $(SAN_PKG)/kelvracv/_kelvra_core*.so
	cp build-asan/_kelvra_core*.so $(SAN_PKG)/kelvracv/
	cd tests && PYTHONPATH=$(abspath $(SAN_PKG)) SDL_AUDIODRIVER=dummy KELVRACV_TEST_TIME_SCALE=10 \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  $(XVFB) $(PYTEST) -q -p no:cacheprovider -x .

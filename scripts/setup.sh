#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine for kelvo: the Debian packages that building, running,
# testing and benchmarking need, then .venv with kelvo installed. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  # build
  g++ meson ninja-build pkg-config python3-dev python3-venv python3-pip python3-mesonpy
  pybind11-dev libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libyuv-dev
  # run: GStreamer and its plugins
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-libav gstreamer1.0-rtsp
  gstreamer1.0-x python3-numpy
  # test servers, tests and benchmarks
  libgstrtspserver-1.0-dev gir1.2-gst-rtsp-server-1.0 gir1.2-gstreamer-1.0
  gir1.2-gst-plugins-base-1.0 python3-gi python-gi-dev python3-pytest
  libgtest-dev libgmock-dev
  # benchmarks: the readers kelvo is measured against, and the plots
  python3-opencv python3-av python3-matplotlib
  # watch --http: Prometheus metrics; its browser test (headless Chromium through Selenium)
  python3-prometheus-client chromium chromium-driver python3-selenium fonts-dejavu-core
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [ ! -x .venv/bin/python ]; then
  /usr/bin/python3 -m venv --system-site-packages .venv
fi
# meson must run under Debian's Python; a persistent build folder keeps rebuilds incremental.
# meson-python reads the install plan before it rebuilds: bring an existing build folder up
# to date first, so that files added since the last install are part of this one.
if [ -f build/pip/build.ninja ]; then ninja -C build/pip >/dev/null || exit 1; fi
mkdir -p build/pip  # meson-python does not make the folder itself
PATH="/usr/bin:$PATH" .venv/bin/python -m pip install --quiet --no-build-isolation --no-deps \
  --config-settings=builddir=build/pip .
.venv/bin/python -P -c "import kelvo, kelvo.glib_runtime; print('setup: kelvo', kelvo.__version__, 'installed in .venv')"

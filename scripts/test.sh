#!/usr/bin/env bash
# Builds what the tests need and runs them: the C++ unit tests (GoogleTest), then the Python
# tests (pytest, against kelvo installed in .venv). The last line gives the counts of both.
set -uo pipefail
cd "$(dirname "$0")/.."

if [ ! -x .venv/bin/python ]; then
  echo "test: .venv is missing; run scripts/setup.sh first" >&2
  exit 2
fi
mkdir -p build
export GST_REGISTRY_FORK=no

# C++ unit tests.
if [ ! -f build/tests/build.ninja ]; then
  /usr/bin/python3 -m mesonbuild.mesonmain setup build/tests -Dtests=true \
    -Dbuildtype=debugoptimized >/dev/null || exit 1
fi
ninja -C build/tests tests/cpp/kelvo_tests || exit 1
rm -f build/gtest.xml build/pytest.xml
build/tests/tests/cpp/kelvo_tests --gtest_brief=1 --gtest_output=xml:build/gtest.xml
cpp_status=$?

# Python tests against the installed package (-P keeps the source tree off sys.path).
# meson-python reads the install plan before it rebuilds: bring an existing build folder up
# to date first, so that files added since the last install are part of this one.
if [ -f build/pip/build.ninja ]; then ninja -C build/pip >/dev/null || exit 1; fi
mkdir -p build/pip  # meson-python does not make the folder itself
PATH="/usr/bin:$PATH" .venv/bin/python -m pip install --quiet --no-build-isolation --no-deps \
  --config-settings=builddir=build/pip . || exit 1
.venv/bin/python -P -m pytest tests/python -p no:cacheprovider --junitxml=build/pytest.xml "$@"
py_status=$?

/usr/bin/python3 scripts/summarize_tests.py build/gtest.xml build/pytest.xml
summary_status=$?
if [ $cpp_status -ne 0 ] || [ $py_status -ne 0 ] || [ $summary_status -ne 0 ]; then
  exit 1
fi

#!/usr/bin/env bash
# Runs the C++ unit tests under AddressSanitizer+UndefinedBehaviorSanitizer, then under
# ThreadSanitizer. Each run has its own build folder; both must be clean.
set -uo pipefail
cd "$(dirname "$0")/.."
export GST_REGISTRY_FORK=no
status=0
for kind in address,undefined thread; do
  dir="build/sanitize-${kind%%,*}"
  if [ ! -f "$dir/build.ninja" ]; then
    /usr/bin/python3 -m mesonbuild.mesonmain setup "$dir" -Dtests=true -Dbuildtype=debug \
      -Db_sanitize="$kind" -Db_lundef=false >/dev/null || exit 1
  fi
  ninja -C "$dir" tests/cpp/kelvo_tests || exit 1
  echo "sanitize: $kind"
  ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ignore_noninstrumented_modules=1 suppressions=$PWD/tests/cpp/tsan.supp" \
  LSAN_OPTIONS="suppressions=$PWD/tests/cpp/lsan.supp" \
    "$dir/tests/cpp/kelvo_tests" --gtest_brief=1 "$@" || status=1
done
exit $status

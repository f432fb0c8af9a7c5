#!/usr/bin/env bash
# Every test: the C++ core (normal, ThreadSanitizer, AddressSanitizer with
# UBSan), the Python behaviour against the staged package (also on the debug
# and on a free-threaded interpreter), the free-threaded compile, and the
# wheel that pip builds.
set -euo pipefail
. "$(dirname "$0")/common.sh"

step() { printf '\n==> %s\n' "$*"; }

step "build"
build_main

step "C++ tests"
ctest --test-dir "$top/build" -j "$jobs" --output-on-failure

step "Python tests"
set +e
stage_python python3 -m pytest -q -p no:cacheprovider "$top/tests/python"
rc=$?
set -e
[ $rc -eq 0 ] || exit $rc

step "Python tests against CPython's debug build"
# Its refcount and thread-state assertions are the closest check of the
# binding layer available here.
if command -v python3.14d >/dev/null; then
    configure_build build-dbg -DPython_EXECUTABLE="$(command -v python3.14d)" \
        -DKORVANE_TESTS=OFF -DCMAKE_BUILD_TYPE=Debug
    cmake --build "$top/build-dbg" -j "$jobs"
    rm -rf "$top/build-dbg/stage"
    cmake --install "$top/build-dbg" --prefix "$top/build-dbg/stage" >/dev/null
    PYTHONPATH="$top/build-dbg/stage" PYTHONDONTWRITEBYTECODE=1 \
        python3.14d -m pytest -q -p no:cacheprovider "$top/tests/python"
else
    echo "python3.14d not found: skipped"
fi

step "Python tests on a free-threaded interpreter, the lock off"
# Building the interpreter needs Debian's apt and root (as in the build root).
if command -v apt-get >/dev/null && [ "$(id -u)" = 0 ]; then
    bash "$top/tools/free_threaded.sh"
else
    echo "no apt-get as root to build a free-threaded interpreter: skipped"
fi

step "C++ tests under ThreadSanitizer"
configure_build build-tsan -DKORVANE_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$top/build-tsan" -j "$jobs" --target korvane_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$top/tests/tsan.supp" \
    ctest --test-dir "$top/build-tsan" -j "$jobs" --output-on-failure

step "C++ tests under AddressSanitizer and UBSan"
configure_build build-asan -DKORVANE_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug
cmake --build "$top/build-asan" -j "$jobs"
ASAN_OPTIONS="detect_leaks=0" UBSAN_OPTIONS="print_stacktrace=1" \
    ctest --test-dir "$top/build-asan" -j "$jobs" --output-on-failure

step "free-threaded ABI compile"
configure_build build-ft -DKORVANE_FREE_THREADED=ON -DKORVANE_TESTS=OFF
cmake --build "$top/build-ft" -j "$jobs" --target _korvane

step "wheel built by pip"
rm -rf "$top/build/wheel" "$top/build/venv"
python3 -m pip wheel --no-build-isolation --no-deps -q -w "$top/build/wheel" "$top" >/dev/null
python3 -m venv --system-site-packages "$top/build/venv"
"$top/build/venv/bin/pip" install -q --no-deps --no-index "$top"/build/wheel/*.whl
(cd /tmp && "$top/build/venv/bin/python" -c 'import korvane, korvane.aio, korvane.tools.list_ports; print("wheel:", korvane.__version__)')

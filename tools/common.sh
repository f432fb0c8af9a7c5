# Shared by the tools/ scripts; they run inside the build environment.
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# KORVANE_JOBS caps the parallel jobs (several builds sharing one machine).
jobs=${KORVANE_JOBS:-$(nproc 2>/dev/null || echo 4)}

# configure_build DIR [cmake options...]
configure_build() {
    local dir=$1; shift
    if [ ! -f "$top/$dir/build.ninja" ]; then
        cmake -S "$top" -B "$top/$dir" -G Ninja "$@" >/dev/null
    fi
}

# The normal build, installed into build/stage: the tests import the package
# from there, never from the source tree.
build_main() {
    configure_build build
    cmake --build "$top/build" -j "$jobs" "$@"
    rm -rf "$top/build/stage"
    cmake --install "$top/build" --prefix "$top/build/stage" >/dev/null
}

stage_python() {
    PYTHONPATH="$top/build/stage" PYTHONDONTWRITEBYTECODE=1 "$@"
}

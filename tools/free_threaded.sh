#!/usr/bin/env bash
# The Python tests on a free-threaded CPython. None is packaged, so one is
# built once from Debian's source of the newest version it serves and kept
# in $ft_dir, outside the checkout, with the build root. The product targets
# 3.14: an older interpreter is allowed for this step alone.
set -euo pipefail
. "$(dirname "$0")/common.sh"

ft_dir=/var/cache/korvane-ft
prefix=$ft_dir/python
stamp_text="ft-v1"

mkdir -p "$ft_dir"
# Several checkouts share the build root: one builds, the others wait.
exec 9>"$ft_dir/lock"
flock 9

# An apt of our own, reading deb-src entries made from the root's own
# sources, so the root's lists and caches stay as they are.
ft_apt() {
    local apt=$ft_dir/apt
    apt-get -q -o Dir::Etc::SourceList="$apt/sources.list" \
        -o Dir::Etc::SourceParts="$apt/sources.list.d" \
        -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache" \
        -o Acquire::Languages=none -o Acquire::Check-Valid-Until=false "$@"
}

write_src_sources() {
    local apt=$ft_dir/apt f
    rm -rf "$apt/sources.list.d"
    mkdir -p "$apt/sources.list.d" "$apt/lists/partial" "$apt/cache/archives/partial"
    : > "$apt/sources.list"
    if [ -f /etc/apt/sources.list ]; then
        sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' /etc/apt/sources.list > "$apt/sources.list"
    fi
    for f in /etc/apt/sources.list.d/*.list; do
        if [ -f "$f" ]; then sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$f" >> "$apt/sources.list"; fi
    done
    for f in /etc/apt/sources.list.d/*.sources; do
        if [ -f "$f" ]; then sed 's/^Types:.*/Types: deb-src/' "$f" > "$apt/sources.list.d/$(basename "$f")"; fi
    done
}

build_interpreter() {
    echo "free-threaded: building the interpreter (once)"
    DEBIAN_FRONTEND=noninteractive apt-get -qq -o DPkg::Lock::Timeout=300 install -y \
        --no-install-recommends make xz-utils zlib1g-dev >/dev/null \
        || { apt-get -qq update && DEBIAN_FRONTEND=noninteractive apt-get -qq -o DPkg::Lock::Timeout=300 \
                 install -y --no-install-recommends make xz-utils zlib1g-dev >/dev/null; }
    write_src_sources
    ft_apt -qq update
    local src=$ft_dir/src pkg tarball
    rm -rf "$src" "$prefix"
    mkdir -p "$src"
    for pkg in python3.14 python3.13; do
        if (cd "$src" && ft_apt -qq source --download-only "$pkg" >/dev/null 2>&1); then break; fi
        echo "free-threaded: no source of $pkg served"
    done
    tarball=$(ls "$src"/python3.1[0-9]_*.orig.tar.* 2>/dev/null | head -n 1)
    [ -n "$tarball" ] || { echo "free-threaded: no CPython source found" >&2; exit 1; }
    echo "free-threaded: $(basename "$tarball")"
    mkdir -p "$src/tree"
    tar -xf "$tarball" -C "$src/tree" --strip-components=1
    local log=$ft_dir/build.log
    if ! (
        cd "$src/tree"
        ./configure --disable-gil --without-ensurepip --disable-test-modules --prefix="$prefix"
        make -j "$jobs"
        make install COMPILEALL_OPTS="-j$jobs"
    ) >"$log" 2>&1; then
        tail -n 30 "$log" >&2
        echo "free-threaded: building the interpreter failed (log: $log)" >&2
        exit 1
    fi
    rm -rf "$src"
    local python site
    python=$(ls "$prefix"/bin/python3.1[0-9]t | head -n 1)
    site=$("$python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
    # Debian's pytest is pure Python; nothing compiled for the system's
    # interpreter is taken from there (its suffixes do not match this one).
    echo /usr/lib/python3/dist-packages > "$site/debian-dist-packages.pth"
    printf '%s\n' "$stamp_text" > "$ft_dir/stamp"
}

if [ "$(cat "$ft_dir/stamp" 2>/dev/null)" != "$stamp_text" ] || ! ls "$prefix"/bin/python3.1[0-9]t >/dev/null 2>&1; then
    build_interpreter
fi
python=$(ls "$prefix"/bin/python3.1[0-9]t | head -n 1)
version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
echo "free-threaded: $("$python" -VV)"

configure_build build-ftrun -DPython_EXECUTABLE="$python" -DKORVANE_PYTHON_VERSION="$version" \
    -DKORVANE_TESTS=OFF
cmake --build "$top/build-ftrun" -j "$jobs" --target _korvane
rm -rf "$top/build-ftrun/stage"
cmake --install "$top/build-ftrun" --prefix "$top/build-ftrun/stage" >/dev/null

export PYTHONPATH="$top/build-ftrun/stage" PYTHONDONTWRITEBYTECODE=1
check='import sys, korvane, korvane.aio; sys.exit("the interpreter lock came back" if sys._is_gil_enabled() else 0)'
(cd /tmp && env -u PYTHON_GIL "$python" -c "$check" && PYTHON_GIL=0 "$python" -c "$check")
echo "free-threaded: the lock stays off after import"

PYTHON_GIL=0 "$python" -m pytest -q -p no:cacheprovider "$top/tests/python"

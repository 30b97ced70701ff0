#!/usr/bin/env bash
# Installs what building vedov needs on a Debian machine (12 or 13): missing system packages, a
# recent CMake, and the Python packages of the extras named as arguments (test, examples, dask). With
# the test extra it prints the sanitized builds' compiler (clang++-N) on standard output, its only
# output there.
set -euo pipefail
exec 3>&1 1>&2

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
lists_updated=false
update_lists() {
    if ! $lists_updated; then
        $sudo apt-get update -qq
        lists_updated=true
    fi
}

packages=(g++ make pkg-config libtbb-dev libyaml-dev libgtest-dev)
# Virtual environments (the wheel's build tools); Debian's python3 has them in a package of its own.
if ! python3 -c "import ensurepip" 2>/dev/null; then packages+=(python3-venv); fi
if [[ " $* " == *" test "* ]]; then
    # The sanitized builds and the fuzzer: clang 14 cannot compile the C++20 library headers in
    # use, 16 to 19 can (Debian 12 offers 16, Debian 13 17 to 19). The newest of these the package
    # lists offer is taken, with its runtimes (sanitizers, libFuzzer) and the symbolizer that makes
    # reports readable.
    offered() { apt-cache show --no-all-versions "$@" >/dev/null 2>&1; }
    clang_version=""
    for attempt in lists updated; do
        for version in 19 18 17 16; do
            if offered "clang-$version" "libclang-rt-$version-dev" "llvm-$version"; then
                clang_version=$version
                break 2
            fi
        done
        update_lists
    done
    if [ -z "$clang_version" ]; then
        echo "setup: the package lists offer no clang from 16 to 19 with its runtimes"
        exit 1
    fi
    packages+=("clang-$clang_version" "libclang-rt-$clang_version-dev" "llvm-$clang_version")
    # The clean Debian root file system the wheel is tried on (scripts/clean_machine.sh).
    packages+=(debootstrap)
fi
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    update_lists
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi

export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1
# The build needs CMake 3.26 or newer; Debian 12's own is older, PyPI's is not.
cmake_version=$(cmake --version 2>/dev/null | sed -n '1s/^cmake version //p')
if [ "$(printf '%s\n' 3.26 "$cmake_version" | sort -V | head -n 1)" != 3.26 ]; then
    python3 -m pip install -q "cmake>=3.26"
fi

extras=("$@")
if ((${#extras[@]})); then
    # Only the optional dependencies; the module itself is built by the caller.
    python3 - "${extras[@]}" <<'PY' | xargs -r python3 -m pip install -q
import sys, tomllib
extras = tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]
for name in sys.argv[1:]:
    for requirement in extras[name]:
        print(requirement)
PY
fi

if [ -n "${clang_version:-}" ]; then echo "clang++-$clang_version" >&3; fi

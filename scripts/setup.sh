#!/usr/bin/env bash
# Installs what building vedov needs on a Debian machine: missing system packages, a recent CMake,
# and the Python packages of the extras named as arguments (test, examples, dask).
set -euo pipefail

packages=(g++ make pkg-config libtbb-dev libyaml-dev libgtest-dev)
if [[ " $* " == *" test "* ]]; then
    # The sanitized builds and the fuzzer: Debian 12's clang 14 cannot compile the C++20 library
    # headers in use, clang 16 can; its runtimes (sanitizers, libFuzzer) and the symbolizer that
    # makes reports readable come in the other two packages.
    packages+=(clang-16 libclang-rt-16-dev llvm-16)
fi
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
if ((${#missing[@]})); then
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    echo "setup: installing ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi

export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1
# The build needs CMake 3.26 or newer; Debian 12's own is older, PyPI's is not.
if ! cmake -P /dev/stdin <<<'if(CMAKE_VERSION VERSION_LESS 3.26)
message(FATAL_ERROR old)
endif()' >/dev/null 2>&1; then
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

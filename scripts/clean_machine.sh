#!/usr/bin/env bash
# Tries the wheel on a clean machine: a minimal Debian 13 root file system (debootstrap, from
# Debian's packages: python3 and python3-venv, no compiler, no CMake, none of our libraries) where
# an unprivileged user installs the wheel with pip into a virtual environment holding NumPy,
# Dask/distributed and the test tools from PyPI, then runs the tests marked `wheel`.
#
#   clean_machine.sh prepare       makes the root and its environment, once (kept in
#                                  build/clean-machine until the recipe below changes)
#   clean_machine.sh run WHEEL     installs WHEEL there and runs the tests (prepares first if needed)
#
# Needs root (debootstrap, chroot, mounts); the mounts live in a private mount namespace, so none
# outlives the script.
set -euo pipefail
cd "$(dirname "$0")/.."

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
suite=trixie
mirror=${VEDOV_DEBIAN_MIRROR:-http://deb.debian.org/debian}
base=build/clean-machine
root=$base/$suite
home=/home/tester
# NumPy (vedovx's dependency) and, for the tests, what they import, at the test extra's versions.
read -r -a requirements <<<"$(python3 - <<'PY'
import re, tomllib
wanted = {"numpy", "pytest", "pyyaml", "scipy", "dask", "distributed"}
extra = tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"]
print(" ".join(r for r in extra if re.match(r"[A-Za-z0-9_.-]+", r)[0].lower() in wanted))
PY
)"
recipe="debootstrap --variant=minbase --include=python3,python3-venv $suite; pip: ${requirements[*]}"

# Runs a command in the root as the unprivileged user (uid 1000), with the root's own /proc and a
# /dev/shm for multiprocessing, and a clean environment: this machine's pip settings stay outside,
# only its way to the network comes in (name servers, proxies, the certificate authorities it
# trusts, which may include a proxy's own).
in_root() {
    local target=$1
    shift
    $sudo cp -L /etc/resolv.conf "$target/etc/resolv.conf"
    $sudo cp -L "${PIP_CERT:-${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}}" \
        "$target/etc/ssl/certs/host-ca-certificates.crt"
    local network=(PIP_CERT=/etc/ssl/certs/host-ca-certificates.crt)
    for name in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY; do
        if [ -n "${!name:-}" ]; then network+=("$name=${!name}"); fi
    done
    $sudo unshare --mount --propagation private -- sh -ec '
        target=$1
        shift
        mount -t proc proc "$target/proc"
        mount -t tmpfs -o mode=1777 shm "$target/dev/shm"
        exec chroot --userspec=1000:1000 "$target" "$@"' \
        sh "$target" /usr/bin/env -i HOME=$home PATH=/usr/bin:/bin LANG=C.UTF-8 \
        PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_CACHE_DIR=1 "${network[@]}" "$@"
}

prepare() {
    mkdir -p "$base"
    exec 9>"$base/lock"
    flock 9 # one at a time: the test command prepares in the background
    if [ "$(cat "$root.recipe" 2>/dev/null)" = "$recipe" ] && [ -d "$root" ]; then return; fi
    echo "clean machine: making a Debian $suite root file system in $root"
    local new=$root.new
    $sudo rm -rf "$new" "$root" "$root.recipe"
    $sudo debootstrap --variant=minbase --include=python3,python3-venv "$suite" "$new" "$mirror" \
        >"$base/debootstrap.log" 2>&1 || {
        tail -n 30 "$base/debootstrap.log"
        exit 1
    }
    $sudo chroot "$new" useradd --uid 1000 --user-group --create-home --shell /bin/sh tester
    in_root "$new" python3 -m venv $home/venv
    in_root "$new" $home/venv/bin/python -m pip install -q "${requirements[@]}"
    $sudo mv "$new" "$root"
    echo "$recipe" >"$root.recipe"
}

run() {
    local wheel=$1
    prepare
    # The wheel, and a copy of the checkout's files for the tests (nothing built, nothing
    # installed from it), in the user's home.
    local copy=$root$home/checkout
    $sudo rm -rf "$copy" "$root$home/wheelhouse"
    $sudo mkdir -p "$copy" "$root$home/wheelhouse"
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git ls-files -z | $sudo tar -c --null -T - | $sudo tar -x -C "$copy"
    else
        $sudo tar -c --exclude=./build --exclude=./dist . | $sudo tar -x -C "$copy"
    fi
    $sudo cp "$wheel" "$root$home/wheelhouse/"
    $sudo chown -R 1000:1000 "$copy" "$root$home/wheelhouse"
    in_root "$root" sh -ec '
        cd "$HOME/checkout"
        "$HOME/venv/bin/python" -m pip install -q --no-deps --force-reinstall "$HOME"/wheelhouse/*.whl
        "$HOME/venv/bin/python" -m pip check
        echo "clean machine: $(. /etc/os-release; echo "$PRETTY_NAME"), Python $("$HOME/venv/bin/python" -c "import platform; print(platform.python_version())"), no compiler: $(command -v cc g++ cmake || echo none)"
        exec "$HOME/venv/bin/python" -m pytest -q -p no:cacheprovider -m wheel tests/python'
}

case "${1:-}" in
prepare) prepare ;;
run) run "$2" ;;
*)
    echo "usage: $0 prepare | run WHEEL" >&2
    exit 2
    ;;
esac

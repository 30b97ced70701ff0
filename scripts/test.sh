#!/usr/bin/env bash
# Runs every test of vedov on a fresh machine: installs what is missing, builds and runs the C++
# tests, checks an editable install of that build, builds the self-contained wheel and installs it,
# runs the Python tests (large documents included) and type-checks the examples against its stubs,
# soaks it in random requests for a minute,
# and tries the wheel on a clean Debian 13 machine; then runs the C++ and Python tests again
# against an address- and undefined-behaviour-sanitized build (the document fuzzer for a minute
# meanwhile), and the parallel evaluator's tests under the thread sanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

# The examples' packages too: the demo's test runs it, and mypy checks it. Setup names the clang of
# the sanitized builds, the newest the machine's package lists offer.
clang=$(bash scripts/setup.sh test examples)
jobs=$(nproc)
# The interpreter itself (not a wrapper script): the sanitizer runtime is preloaded into it alone.
python=$(python3 -c 'import sys; print(sys.executable)')
# Every build is a developer build: warnings are errors, and the sources' layout is checked with
# the clang-format the test extra installed beside the interpreter.
developer=(-DVEDOV_DEVELOPER=ON
    "-DVEDOV_CLANG_FORMAT=$("$python" -c 'import sysconfig; print(sysconfig.get_path("scripts"))')/clang-format")
llvm_bin=$(dirname "$(readlink -f "$(command -v "$clang")")")
export ASAN_SYMBOLIZER_PATH="$llvm_bin/llvm-symbolizer"
export TSAN_OPTIONS="external_symbolizer_path=$llvm_bin/llvm-symbolizer"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
section() { printf '\n== %s (%ds)\n' "$1" "$SECONDS"; }
export PIP_ROOT_USER_ACTION=ignore

# The clean machine the wheel is tried on (a Debian root file system with its Python packages) is
# made meanwhile, mostly from the network; once made it is kept in build/clean-machine.
mkdir -p build
bash scripts/clean_machine.sh prepare >build/clean-machine.log 2>&1 &
clean_machine=$!

section "release build: C++ tests ($("$clang" --version | head -1) for the sanitized builds)"
cmake -S . -B build/tests -DCMAKE_BUILD_TYPE=Release -DVEDOV_BUILD_TESTS=ON "${developer[@]}"
cmake --build build/tests -j"$jobs"
ctest --test-dir build/tests --output-on-failure -j"$jobs"

section "editable install of that build"
# pip install -e . in an environment of its own, in the build directory above with its options
# and generator, so that nothing is compiled again.
editable=build/editable
if [ ! -x "$editable/bin/python" ]; then "$python" -m venv --system-site-packages "$editable"; fi
"$editable/bin/python" -m pip install -q "scikit-build-core>=0.10" pytest numpy
CMAKE_GENERATOR=${CMAKE_GENERATOR:-Unix Makefiles} CMAKE_BUILD_PARALLEL_LEVEL=$jobs \
    "$editable/bin/python" -m pip install -q --no-build-isolation -e . -Cbuild-dir=build/tests \
    -Ccmake.define.VEDOV_BUILD_TESTS=ON "${developer[@]/#-D/-Ccmake.define.}"
"$editable/bin/python" -m pytest -q -p no:cacheprovider tests/python/test_packaging.py

section "the self-contained wheel, installed: Python tests"
wheel=$(bash scripts/wheel.sh "${developer[@]/#-D/-Ccmake.define.}")
"$python" -m pip install -q --force-reinstall --no-deps "$wheel"
"$python" -m pytest -q --slow --durations=10 tests/python

section "soak: random systems and requests for 60 s, compared bit for bit, memory flat; mypy meanwhile"
# The soak runs for its minute whatever else runs, so the type check takes its time beside it.
"$python" -m mypy --strict examples/ src/vedovx/ >build/mypy.log 2>&1 &
mypy=$!
"$python" bench/soak.py --minutes 1
if ! wait "$mypy"; then
    cat build/mypy.log
    exit 1
fi
cat build/mypy.log

section "the wheel on a clean Debian 13 machine: its tests"
if ! wait "$clean_machine"; then
    tail -n 40 build/clean-machine.log
    exit 1
fi
bash scripts/clean_machine.sh run "$wheel"

section "address and undefined-behaviour sanitizers: C++ tests"
cmake -S . -B build/asan -DCMAKE_CXX_COMPILER="$clang" -DCMAKE_BUILD_TYPE=Release \
    -DVEDOV_SANITIZE=address,undefined -DVEDOV_FUZZ=ON "${developer[@]}"
cmake --build build/asan -j"$jobs"
ctest --test-dir build/asan --output-on-failure -j"$jobs"

section "address and undefined-behaviour sanitizers: Python tests, and the document fuzzer for 60 s meanwhile"
# The fuzzer and the tests each keep one CPU busy, so they run side by side.
# Any crash, sanitizer report, leak or input slower than a second stops the fuzzer with a failure
# and leaves the input in build/asan/fuzz-findings; add it to tests/fuzz/regressions/document with
# the fix.
mkdir -p build/asan/fuzz-corpus build/asan/fuzz-findings
seeds=(tests/fuzz/corpus/document tests/data)
if [ -d tests/fuzz/regressions/document ]; then seeds+=(tests/fuzz/regressions/document); fi
fuzz_log=build/asan/fuzz.log
build/asan/tests/fuzz/document_fuzz -max_total_time=60 -timeout=1 -rss_limit_mb=2048 \
    -max_len=16384 -dict=tests/fuzz/document.dict -print_final_stats=1 \
    -artifact_prefix=build/asan/fuzz-findings/ build/asan/fuzz-corpus "${seeds[@]}" \
    >"$fuzz_log" 2>&1 &
fuzzer=$!
# Every interpreter allocation goes through the sanitizer (PYTHONMALLOC=malloc), so that misuse of
# Python objects is caught too. Leak reports are written to files and sorted afterwards: the
# interpreter's own leaks at exit are ignored, those with vedov's code on the stack fail the run.
# The tests of the pure-Python layers above the compiled parts (study, fit, figures, examples,
# clusters of worker processes) run once, above: their compiled calls are those the others make.
reports=build/asan/python-reports
rm -rf "$reports" && mkdir -p "$reports"
PYTHONMALLOC=malloc PYTHONPATH="$PWD/build/asan/python" \
    LD_PRELOAD="$("$clang" -print-file-name=libclang_rt.asan-x86_64.so)" \
    ASAN_OPTIONS="detect_leaks=1:log_path=$PWD/$reports/asan" LSAN_OPTIONS=exitcode=0 \
    UBSAN_OPTIONS="$UBSAN_OPTIONS:log_path=$PWD/$reports/ubsan" \
    "$python" -m pytest -q -p no:cacheprovider -m "not python_layer" tests/python
"$python" tests/sanitizers/check_reports.py "$reports" "$PWD"
if ! wait "$fuzzer"; then
    tail -n 80 "$fuzz_log"
    exit 1
fi
grep -E "^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::" "$fuzz_log"

section "thread sanitizer: parallel evaluator tests"
cmake -S . -B build/tsan -DCMAKE_CXX_COMPILER="$clang" -DCMAKE_BUILD_TYPE=Release \
    -DVEDOV_SANITIZE=thread -DVEDOV_BUILD_MODULE=OFF "${developer[@]}"
cmake --build build/tsan -j"$jobs" --target vedov_cpp_tests
ctest --test-dir build/tsan --output-on-failure -j"$jobs"

section "all tests passed"

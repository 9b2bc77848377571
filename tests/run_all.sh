#!/usr/bin/env bash
# The test command. Installs what the tests need (tests/install_test_tools.sh),
# builds every test twice, plainly in build/ and with clang, AddressSanitizer
# and UndefinedBehaviorSanitizer in build-fuzz/, with the cross-compiled
# trees of build/ beside them, then runs both suites side by side, each with
# as many tests at once as there are processors; the sanitized one includes
# the image engine's fuzzer, running for DORVANE_FUZZ_SECONDS (default 30).
# A skipped test fails the command unless DORVANE_ALLOW_SKIPS=1, with one
# exception: on a machine that cannot run 32-bit x86 programs the 32-bit
# Windows build's Wine suites are not run (the build itself is checked), and
# the summary says so.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

# One probe decides, for the whole run, whether 32-bit x86 programs run here;
# it starts its program from build/, where the tests' programs run too.
mkdir -p build
probe_status=0
probe=$(tests/support/runs_x86_32.sh build) || probe_status=$?
echo "32-bit x86 programs on this machine: $probe"
case $probe_status in
  0) runs_x86_32=ON ;;
  1) runs_x86_32=OFF ;;
  *) echo "The probe cannot tell whether this machine runs 32-bit x86 programs; mend that first." >&2; exit 1 ;;
esac
export DORVANE_RUNS_X86_32=$runs_x86_32

tests/install_test_tools.sh

# The two trees are configured side by side. The sanitized one, which no one
# edits in, compiles as one unit per target, in less time.
mkdir -p build-fuzz
# Line tables only (-g1): backtraces and the sanitizers' reports keep their
# lines, and the trees compile in less time.
line_tables="-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "$line_tables" \
      -DDORVANE_RUNS_X86_32=$runs_x86_32 >build/configure.log 2>&1 &
configured=$!
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo "$line_tables" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_UNITY_BUILD=ON \
      -DDORVANE_FUZZ=ON -DDORVANE_FUZZ_SECONDS="${DORVANE_FUZZ_SECONDS:-30}" >build-fuzz/configure.log 2>&1 ||
  { cat build-fuzz/configure.log; exit 1; }
wait $configured || { cat build/configure.log; exit 1; }
cat build/configure.log build-fuzz/configure.log

# Builds the tree $1 on every processor; what the build says goes to
# $1/build.log.
build_tree() { cmake --build "$1" -j"$jobs" >"$1/build.log" 2>&1; }

# Runs the suite in $1 and writes what ctest says to $1/ctest.log. ctest
# counts a skipped test as no failure; here it is one, unless allowed or it
# is a 32-bit suite on a machine that cannot run it: their names go to
# $1/not-run.txt.
run_tests() {
  local results="$PWD/$1/ctest-results.xml" status=0
  ctest --test-dir "$1" -j"$jobs" --output-on-failure --no-tests=error --output-junit "$results" "${@:2}" \
    >"$1/ctest.log" 2>&1 || status=$?
  local skipped allowed name
  skipped=$(grep -o '<testcase name="[^"]*"[^>]*status="notrun"' "$results" | sed -E 's/<testcase name="([^"]*)".*/\1/' || true)
  allowed=$(ctest --test-dir "$1" -N -L cannot_run_x86_32 | sed -nE 's/^ *Test +#[0-9]+: (.*)$/\1/p')
  : >"$1/not-run.txt"
  for name in $skipped; do
    if grep -qx "$name" <<<"$allowed"; then
      echo "$name" >>"$1/not-run.txt"
    elif [ "${DORVANE_ALLOW_SKIPS:-}" != 1 ]; then
      echo "Tests in $1 were skipped (listed above); DORVANE_ALLOW_SKIPS=1 allows it." >>"$1/ctest.log"
      status=1
    fi
  done
  return $status
}

# Every tree is built at once, so that no processor waits for the last
# unit of one: the two native trees, and the three cross-compiled ones (both
# Windows builds and the 32-bit x86 Linux build), which need nothing of them,
# by their ctest fixtures, which the suite then takes as they are. The
# cross-compiled trees are built one after the other (each on every
# processor): the machine is busy anyway, and fewer compilers at once spend
# less time contending for two processors and their caches. Each suite
# starts once its trees are built: the sanitized one, whose fuzzer runs for
# a fixed time, first.
ctest --test-dir build -L cross_build -j1 >build/cross-build.log 2>&1 & cross=$!
build_tree build & plain_build=$!
status=0
sanitized=""
if build_tree build-fuzz; then
  run_tests build-fuzz & sanitized=$!
else
  status=1
fi
cat build-fuzz/build.log
wait $plain_build || status=1
cat build/build.log
# The cross builds passed or the run fails here: the suite neither runs
# them again nor lets its fixtures add them back.
wait $cross || { cat build/cross-build.log; status=1; }
plain=""
[ $status -ne 0 ] || { run_tests build -LE cross_build -FS "^(windows_x86_64|windows_i686|linux_i686)$" & plain=$!; }
[ -z "$plain" ] || { wait $plain || status=1; cat build/ctest.log; }
[ -z "$sanitized" ] || { wait $sanitized || status=1; cat build-fuzz/ctest.log; }
[ $status -eq 0 ] || exit 1

not_run=$(cat build/not-run.txt build-fuzz/not-run.txt)
if [ -n "$not_run" ]; then
  echo "Every test passed; not run, because this machine cannot run 32-bit x86 programs (${probe#no: }):" $not_run
fi

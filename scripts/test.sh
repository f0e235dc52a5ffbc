#!/usr/bin/env bash
# Runs every test suite: the native suites (plain, thread sanitizer, address+undefined sanitizer),
# the Python suite on every CPython 3.11+ found on this machine, the replica suite, the extra passes
# (uvloop, development mode, sanitizer build of the module, stress, cron fuzzing), and a
# manylinux wheel of the newest interpreter, built and tested as users get it.
#
# The work runs in four lanes side by side: compiling in one lane overlaps the mostly waiting
# tests of the others. Each phase's output goes to build/test-logs/<phase>.log; when the phase
# ends its summary lines (all of it, if it failed) are printed in one piece. A summary of every
# phase closes the run, and the script fails if any phase did.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh
TYVO_EXTRA_VENV=build/venv-3.11 source scripts/test-extra.sh   # the extra passes' phases

# scikit-build-core gives `cmake --version` (through pyenv's shim, a shell script) 10 s to answer,
# four times that on CI: on a machine this busy the shorter limit can run out, failing a build.
export CI=${CI:-true}

logs=build/test-logs
rm -rf "$logs"
mkdir -p "$logs"
began=$SECONDS

native_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DTYVO_PYTHON=OFF -DTYVO_TESTS=ON -DTYVO_WERROR=ON "$@" >/dev/null
  # Not niced: the native lane is a long chain (three builds, then fuzzing), and niced on a machine
  # that the other lanes keep busy, its first build waited so long that the chain ended last.
  cmake --build "$dir" >/dev/null
  ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
}

install_module() {
  local version=$1 interpreter=$2 venv="build/venv-$1"
  "$interpreter" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
  TYVO_WERROR=${TYVO_WERROR:-ON} TYVO_TEST_HOOKS=ON "$venv/bin/python" -m pip install -q ".[test,redis,postgres]"
}

interpreter_suite() {
  local venv="build/venv-$1"
  (cd tests/python && "../../$venv/bin/python" -m pytest -q -p no:cacheprovider -n "$pytest_workers")
}

replica_suite() {
  # tyvo_replicas against real Redis and PostgreSQL servers that the tests start; one
  # interpreter is enough, as the module is pure Python. One worker: several tests give the store
  # a 300 ms budget, which a fresh connection to a busy PostgreSQL can miss on a loaded machine.
  local venv="build/venv-$1"
  (cd tests/replicas && "../../$venv/bin/python" -m pytest -q -p no:cacheprovider .)
}

# Runs one phase of a lane: its output to its log; then, under a lock so that lanes never
# interleave, the log's summary lines if it passed (pytest's and ctest's final lines among them),
# or the whole log if it failed. Returns the phase's status; later phases that need it check it.
run_phase() {
  local name=$1; shift
  local log="$logs/$name.log" start=$SECONDS status cpu TIMEFORMAT='%U %S'
  # The processor time a phase took, its children's included: what it costs the run whatever
  # the other lanes were doing meanwhile.
  { time { ( set -euo pipefail; "$@" ) >"$log" 2>&1; }; } 2>"$log.cpu"
  status=$?
  cpu=$(awk '{ printf "%.0f", $1 + $2 }' "$log.cpu" 2>/dev/null)
  echo "$name|$status|$((SECONDS - start))|${cpu:-0}" >>"$logs/results"
  {
    flock 9
    if [[ $status -eq 0 ]]; then
      echo "== $name: passed in $((SECONDS - start)) s (at $((SECONDS - began)) s)"
    else
      echo "== $name: FAILED (status $status) after $((SECONDS - start)) s"
    fi
    if [[ $status -eq 0 ]]; then
      grep -E ' passed| failed|^==|^stat::|^replayed' "$log" | sed "s/^/   | /" || tail -n 5 "$log"
    else
      sed "s/^/   | /" "$log"
    fi
  } 9>"$logs/.print"
  return $status
}

native_lane() {
  run_phase "native tests" native_suite build/native
  run_phase "native tests, thread sanitizer" native_suite build/native-tsan -DTYVO_SANITIZE=thread
  run_phase "native tests, address+undefined sanitizer" native_suite build/native-asan -DTYVO_SANITIZE=address,undefined
  run_phase "fuzz the cron parser, search and zone-file reader" fuzz_cron
}

# The first interpreter carries the replica suite and the extra passes. The replica suite mostly
# waits on its servers and timers, so it runs beside the others rather than before them.
first_interpreter_lane() {
  local version=$1 interpreter=$2
  run_phase "install for CPython $version" install_module "$version" "$interpreter" || return
  run_phase "replica tests: CPython $version" replica_suite "$version" &
  run_phase "python tests: CPython $version" interpreter_suite "$version"
  run_phase "python tests on uvloop" uvloop_suite
  run_phase "python tests in development mode" development_mode_suite
  run_phase "python tests against the address+undefined sanitizer build" sanitized_suite
  run_phase "stress" stress
  wait
}

other_interpreters_lane() {
  local version interpreter
  while read -r version interpreter; do
    run_phase "install for CPython $version" install_module "$version" "$interpreter" &&
      run_phase "python tests: CPython $version" interpreter_suite "$version"
  done
}

# The newest interpreter is tested through its manylinux wheel, installed in a fresh environment
# outside the tree: the build users get, compiled with warnings as errors like the others.
wheel_lane() {
  run_phase "manylinux wheel: CPython $1, built and tested" bash scripts/build-wheels.sh --python "$1" --check
}

# CPython 3.14 and 3.15 come from a Debian unstable chroot (scripts/sid-pythons.sh), made while the
# other lanes run. Each version gets the Python and replica suites from a source install, and its
# debug build (python3.Xd) the reference-leak gate.
sid() { bash scripts/sid-pythons.sh "$@"; }

sid_install() {
  local python=$1 venv="build/sid-venv-$1"
  sid run "$python" -m venv "$venv"
  sid run "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
  sid run env TYVO_WERROR=ON TYVO_TEST_HOOKS=ON "$venv/bin/python" -m pip install -q ".[test,redis,postgres]"
}

sid_suite() {
  local python=$1 suite=$2; shift 2
  sid run sh -c 'cd "tests/$1" && venv=$2 && shift 2 && exec "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"' \
    sh "$suite" "$PWD/build/sid-venv-$python" "$@"
}

# The leak gate needs the stores' clients and the integrations, not the suites' tools.
sid_install_debug() {
  local python=$1 venv="build/sid-venv-$1"
  sid run "$python" -m venv "$venv"
  sid run "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
  # Unoptimised, with assertions: quicker to compile, and the checks a debug build is for.
  sid run env TYVO_WERROR=ON "$venv/bin/python" -m pip install -q -C cmake.build-type=Debug \
    ".[redis,postgres,prometheus,otel]" "opentelemetry-sdk>=1.20"
}

leak_gate() {
  sid run "build/sid-venv-$1/bin/python" -u tests/leaks/leak_gate.py --stores
}

sid_release_lane() {
  local version=$1
  run_phase "install for CPython $version (sid)" sid_install "python$version" || return
  run_phase "replica tests: CPython $version (sid)" sid_suite "python$version" replicas &
  run_phase "python tests: CPython $version (sid)" sid_suite "python$version" python -n "$pytest_workers"
  wait
}

sid_debug_lane() {
  local version=$1
  run_phase "install for CPython $version debug build (sid)" sid_install_debug "python${version}d" &&
    run_phase "reference-leak gate: CPython $version debug build (sid)" leak_gate "python${version}d"
}

# Once the chroot is there, its four builds and their suites run side by side: the suites mostly
# wait, which leaves the processors to the builds.
sid_lane() {
  run_phase "Debian sid chroot with CPython 3.14 and 3.15" sid make || return
  sid_release_lane 3.14 &
  sid_release_lane 3.15 &
  sid_debug_lane 3.14 &
  sid_debug_lane 3.15 &
  wait
}

# aarch64 under emulation (qemu-user-static): one wheel, the cheapest to make, cross-built for the
# first interpreter and run through the smoke set in an arm64 Debian root, its tyvo_cron compared
# with the first interpreter's x86_64 build (which the first lane installs meanwhile; waited for).
# The whole Python suite under emulation is for by-hand runs (README).
arm64_lane() {
  local version=$1 reference="$PWD/build/venv-$1/bin/python" waited=0
  run_phase "arm64 Debian root with CPython $version" bash scripts/arm64-pythons.sh make "$version" || return
  run_phase "aarch64 wheel: CPython $version, built" \
    bash scripts/build-wheels.sh --arch aarch64 --python "$version" --out build/dist-aarch64 || return
  # Until the first lane's install has ended, whichever way (a failed one fails the comparison).
  until "$reference" -c 'import tyvo_cron' 2>/dev/null || grep -qs "^install for CPython $version|" "$logs/results" ||
        ((waited > 1800)); do
    sleep 5; ((waited += 5))
  done
  run_phase "aarch64 wheel: CPython $version, smoke set under emulation" env TYVO_CRON_REFERENCE="$reference" \
    bash scripts/arm64-smoke.sh "$version" "$(ls build/dist-aarch64/tyvo-*-cp${version/./}-*_aarch64.whl)"
}

mapfile -t found < <(pythons)
[[ ${#found[@]} -gt 0 ]] || { echo "no CPython 3.11+ found"; exit 1; }
read -r first_version first_interpreter <<<"${found[0]}"
read -r newest_version _ <<<"${found[-1]}"
others=("${found[@]:1}")
# With two or more interpreters the newest one runs as a wheel only; with one, as both.
[[ ${#found[@]} -gt 1 ]] && unset 'others[-1]'

# TYVO_LANES=sid runs the sid chroot's lane alone (to try 3.14 and 3.15 without the rest).
if [[ ${TYVO_LANES:-all} == sid ]]; then
  sid_lane
else
  native_lane &
  first_interpreter_lane "$first_version" "$first_interpreter" &
  printf '%s\n' "${others[@]}" | grep . | other_interpreters_lane &
  wheel_lane "$newest_version" &
  sid_lane &
  arm64_lane "$first_version" &
  wait
fi

echo "== summary after $((SECONDS - began)) s (wall time and processor time of each phase)"
status=0
total_cpu=0
while IFS='|' read -r name code seconds cpu; do
  printf '   %-62s %s %5d s %6d s cpu\n' "$name" "$([[ $code -eq 0 ]] && echo passed || echo FAILED)" "$seconds" "$cpu"
  [[ $code -eq 0 ]] || status=1
  total_cpu=$((total_cpu + cpu))
done <"$logs/results"
echo "   processor time of all phases: $total_cpu s"
exit $status

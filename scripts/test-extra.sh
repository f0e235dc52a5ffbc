#!/usr/bin/env bash
# Runs the extra test passes: the Python suite on uvloop, under Python's development mode and
# against an address+undefined-behaviour sanitizer build of the module; a bounded fuzz run of the
# cron parser and search; and the stress script with its CI counts. Every phase runs; the script
# fails if any of them did. About four minutes on a 2-core machine.
#
# scripts/test.sh sources this file for its phase functions and runs them against its own 3.11
# environment (TYVO_EXTRA_VENV), instead of building the module once more.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

venv=${TYVO_EXTRA_VENV:-build/venv-extra}
# The suites' tests run in fresh interpreters and mostly wait, so several share the machine well.
pytest_workers=${TYVO_PYTEST_WORKERS:-4}
failed=()

phase() {
  local name=$1; shift
  echo "== extra: $name"
  local began=$SECONDS status
  # Not inside an `if`: there bash would ignore the subshell's `set -e`.
  ( set -euo pipefail; "$@" )
  status=$?
  if [[ $status -eq 0 ]]; then
    echo "== extra: $name passed in $((SECONDS - began)) s"
  else
    echo "== extra: $name FAILED (status $status) after $((SECONDS - began)) s"
    failed+=("$name")
  fi
}

python_suite() {
  (cd tests/python && "../../$venv/bin/python" -m pytest -q -p no:cacheprovider -n "$pytest_workers" "$@")
}

prepare_venv() {
  [[ -x "$venv/bin/python" ]] || python3 -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
  TYVO_WERROR=${TYVO_WERROR:-ON} TYVO_TEST_HOOKS=ON "$venv/bin/python" -m pip install -q ".[test]"
}

uvloop_suite() {
  # The suite honours TYVO_TEST_LOOP; make sure it really gets uvloop before trusting a green run.
  local loop
  loop=$(cd tests/python && TYVO_TEST_LOOP=uvloop "../../$venv/bin/python" -c \
    'from conftest import run_python; print(run_python("import asyncio; print(type(asyncio.new_event_loop()).__module__)").stdout.strip())')
  [[ "$loop" == uvloop ]] || { echo "scenarios run on '$loop', not uvloop"; return 1; }
  TYVO_TEST_LOOP=uvloop python_suite
}

development_mode_suite() {
  PYTHONDEVMODE=1 python_suite
}

sanitized_suite() {
  local build=build/python-asan logs
  cmake -S . -B "$build" -G Ninja -DTYVO_PYTHON=ON -DTYVO_WERROR=ON -DTYVO_TEST_HOOKS=ON -DTYVO_SANITIZE=address,undefined \
    -DPython_EXECUTABLE="$PWD/$venv/bin/python" >/dev/null
  cmake --build "$build" --target tyvo tyvo_cron >/dev/null
  logs=$(mktemp -d)
  local status=0
  (
    # Python itself is not instrumented: the sanitizer runtime must be loaded first, and libstdc++
    # with it, or the runtime cannot intercept C++ exceptions. CPython leaks at exit by design.
    export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
    export PYTHONMALLOC=malloc PYTHONPATH="$PWD/$build"
    export ASAN_OPTIONS="detect_leaks=0:log_path=$logs/asan"
    export UBSAN_OPTIONS="print_stacktrace=1:log_path=$logs/ubsan"
    for name in tyvo tyvo_cron; do
      module=$("$venv/bin/python" -c "import $name; print($name.__file__)")
      [[ "$module" == "$PWD/$build/"* ]] || { echo "the suite would test $module, not the sanitized build"; exit 1; }
    done
    python_suite
  ) || status=$?
  # Child interpreters report to the log files too, whatever their exit status was.
  if compgen -G "$logs/*" >/dev/null; then
    echo "sanitizer reports:"; head -n 40 "$logs"/*
    status=1
  fi
  rm -rf "$logs"
  return $status
}

fuzz_cron() {
  local build=build/fuzz
  cmake -S tests/fuzz -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  cmake --build "$build" >/dev/null
  mkdir -p "$build/corpus"
  # New inputs go to the scratch corpus (first directory); the kept corpus is only read.
  "$build/cron_fuzz" -max_total_time=30 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build/" "$build/corpus" tests/fuzz/corpus 2>"$build/fuzz.log" ||
    { tail -n 60 "$build/fuzz.log"; return 1; }
  grep -E "^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)" "$build/fuzz.log"
  "$build/cron_fuzz" -timeout=10 -artifact_prefix="$build/" tests/fuzz/corpus/* 2>"$build/replay.log" ||
    { tail -n 60 "$build/replay.log"; return 1; }
  echo "replayed $(ls tests/fuzz/corpus | wc -l) kept inputs"
  # The zone-file reader, seeded with the system database's files.
  mkdir -p "$build/tzif-corpus"
  "$build/tzif_fuzz" -max_total_time=10 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build/" "$build/tzif-corpus" /usr/share/zoneinfo/Europe /usr/share/zoneinfo/Pacific \
    2>"$build/tzif.log" || { tail -n 60 "$build/tzif.log"; return 1; }
  grep -E "^stat::(number_of_executed_units|new_units_added)" "$build/tzif.log"
}

stress() {
  "$venv/bin/python" scripts/stress.py --timeout 180
  # Again with the pool held to one worker: no job, paused or back to back, may keep it.
  taskset -c "$(taskset -pc $$ | sed 's/.*: //; s/[,-].*//')" \
    "$venv/bin/python" scripts/stress.py --only-lifecycles --lifecycle-seconds 20 --timeout 120
}

[[ "${BASH_SOURCE[0]}" == "$0" ]] || return 0   # sourced: the functions only

phase "prepare $venv" prepare_venv
if [[ ${#failed[@]} -eq 0 ]]; then
  phase "python suite on uvloop" uvloop_suite
  phase "python suite in development mode" development_mode_suite
  phase "python suite against the address+undefined sanitizer build" sanitized_suite
  phase "stress" stress
fi
phase "fuzz the cron parser, search and zone-file reader" fuzz_cron

if [[ ${#failed[@]} -gt 0 ]]; then
  echo "== extra: failed: ${failed[*]}"
  exit 1
fi
echo "== extra: every phase passed"

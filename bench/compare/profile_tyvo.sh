#!/usr/bin/env bash
# Profiles tyvo under the comparison's workloads, to see where its time and memory go.
# Needs the CPython 3.11 venv and the unstripped module that
# `PYTHONS=3.11 BUILD_ONLY=1 bash bench/run_compare.sh` leaves, plus perf (Debian's linux-perf) and
# valgrind; the gil mode also needs that interpreter's libpython with its symbols (pyenv's has them).
#
#   bash bench/compare/profile_tyvo.sh cpu        # perf: CPU per run, 100 jobs, zero interval
#   bash bench/compare/profile_tyvo.sh pipeline   # uprobes: timeline of each run's steps, 10,000 jobs
#   bash bench/compare/profile_tyvo.sh memory     # massif: live heap per job, 20,000 hourly jobs
#   bash bench/compare/profile_tyvo.sh gil [tyvo|asyncio] [asyncio|uvloop]
#                                                 # uprobes on CPython 3.11's lock: waits and forced
#                                                 # hand-overs per burst of 10,000 jobs, loop vs workers
set -euo pipefail
export PYTHONDONTWRITEBYTECODE=1
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
python=$root/build/venv-bench-3.11/bin/python  # the CPython 3.11 venv of run_compare.sh
module_dir=$(dirname "$(ls "$root"/build/bench-src/build/cp311*/tyvo.cpython-*.so | head -1)")
module=$(ls "$module_dir"/tyvo.cpython-*.so)
out=$root/build/bench-profile
mkdir -p "$out"
export PYTHONPATH=$module_dir  # the unstripped build of the installed module: symbols for perf

# Address of a function in the module, for a uprobe (C++ names do not survive perf probe's syntax).
address_of() { nm -C "$module" | grep -F " $1" | grep -v '\.cold' | head -1 | cut -d' ' -f1; }

# uprobes need tracefs; the probes of one group are removed again on exit (only ours: others may
# be profiling alongside).
mount_tracefs() {
  mounted=""
  if ! mountpoint -q /sys/kernel/tracing; then
    mount -t tracefs nodev /sys/kernel/tracing
    mounted=yes
  fi
  probe_group=$1
  trap cleanup EXIT
}
cleanup() {
  perf probe -q -d "$probe_group" || true
  if [[ -n $mounted ]]; then umount /sys/kernel/tracing || true; fi
}

case ${1:-cpu} in
  cpu)
    perf record -q -F 1000 --call-graph dwarf,16384 -o "$out/cpu.data" -- \
      "$python" "$here/cpu_per_run.py" tyvo 0 --warmup 0.5 --seconds 2
    perf script -i "$out/cpu.data" 2>/dev/null > "$out/cpu.txt"
    "$python" "$here/perf_summary.py" cpu "$out/cpu.txt"
    ;;
  pipeline)
    mount_tracefs "probe_tyvo:*"
    probes=(completer "tyvo::py::(anonymous namespace)::task_completer_call("
            resume "tyvo::(anonymous namespace)::job_loop("
            sleep "tyvo::rt::Sleep::await_suspend("
            handover "tyvo::py::hand_over"
            task "tyvo::py::(anonymous namespace)::ensure_future_call(")
    for ((i = 0; i < ${#probes[@]}; i += 2)); do
      address=$(address_of "${probes[i + 1]}")
      if [[ -z $address ]]; then echo "(no ${probes[i + 1]} in this build: no '${probes[i]}' column)"; continue; fi
      perf probe -q -x "$module" -a "${probes[i]}=0x$address"
    done
    perf record -q -k CLOCK_MONOTONIC -e 'probe_tyvo:*' -o "$out/pipeline.data" -- \
      "$python" "$here/lateness.py" tyvo 10000 --seconds 4 >/dev/null
    perf script -i "$out/pipeline.data" -F tid,time,event 2>/dev/null > "$out/pipeline.txt"
    "$python" "$here/perf_summary.py" pipeline "$out/pipeline.txt"
    ;;
  memory)
    PYTHONMALLOC=malloc valgrind -q --tool=massif --threshold=0.5 --massif-out-file="$out/massif.out" \
      "$python" "$here/scale.py" tyvo 20000 --idle 0 --settle 0.5 >/dev/null
    "$python" "$here/perf_summary.py" massif "$out/massif.out" 20000
    ;;
  gil)
    contestant=${2:-tyvo}
    loop=${3:-asyncio}
    libpython=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("LIBDIR") + "/" + sysconfig.get_config_var("INSTSONAME"))')
    probes=$("$python" "$here/perf_summary.py" gil-probes "$libpython")
    mount_tracefs "tyvo_gil:*"
    perf probe -q -d "tyvo_gil:*" 2>/dev/null || true
    for probe in $probes; do perf probe -q -x "$libpython" -a "$probe"; done
    perf record -q -k CLOCK_MONOTONIC -e 'tyvo_gil:*' -o "$out/gil.data" -- \
      "$python" "$here/lateness.py" "$contestant" 10000 --seconds 4 --loop "$loop" > "$out/gil-lateness.json"
    perf script -i "$out/gil.data" -F pid,tid,time,event 2>/dev/null > "$out/gil.txt"
    echo "lateness.py $contestant 10000 --seconds 4 --loop $loop on $("$python" -V): $(cat "$out/gil-lateness.json")"
    "$python" "$here/perf_summary.py" gil "$out/gil.txt"
    ;;
  *)
    echo "usage: $0 cpu|pipeline|memory|gil" >&2
    exit 2
    ;;
esac

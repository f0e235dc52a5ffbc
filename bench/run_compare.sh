#!/usr/bin/env bash
# Compares tyvo with APScheduler 3 and a plain asyncio loop on one machine and interpreter, and
# writes bench/results.md. About 8 minutes on a 2-core box once tyvo is built.
#
#   bash bench/run_compare.sh              # tyvo as of the last commit
#   TYVO_FROM_WORKTREE=1 bash bench/run_compare.sh   # tyvo as it is in the working tree
#   ROUNDS=5 bash bench/run_compare.sh     # more rounds (default 3)
#   BUILD_ONLY=1 bash bench/run_compare.sh # install and build, measure nothing (for profiling)
#
# By default tyvo is built from a snapshot of HEAD, so that unfinished edits lying in a shared
# working tree neither break the build nor leak into the figures. The snapshot, the venv and
# the native build are reused until the committed sources change.
set -euo pipefail
export PYTHONDONTWRITEBYTECODE=1  # keep __pycache__ out of bench/compare
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
venv=build/venv-bench
rounds=${ROUNDS:-3}
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

if [[ ! -x $venv/bin/python ]]; then
  echo "== creating $venv"
  "$python" -m venv "$venv"
fi
if ! "$venv/bin/python" -c 'import apscheduler, croniter' 2>/dev/null; then
  echo "== installing APScheduler 3 and croniter"
  "$venv/bin/python" -m pip install -q "apscheduler<4" croniter
fi

if [[ ${TYVO_FROM_WORKTREE:-0} == 1 ]]; then
  source_dir=$PWD
  native=build/bench-native-worktree
  stamp="worktree $(date +%s)"  # the working tree has no fingerprint worth trusting: always rebuild
  label="working tree at $(git rev-parse --short HEAD)$(git diff --quiet HEAD -- src || echo ' with uncommitted changes in src/')"
else
  source_dir=build/bench-src
  native=build/bench-native
  stamp=$(git rev-parse HEAD:src HEAD:CMakeLists.txt HEAD:pyproject.toml HEAD:tools HEAD:bench/CMakeLists.txt \
          HEAD:bench/native_cron.cpp | sha1sum | cut -d' ' -f1)
  label="commit $(git rev-parse --short HEAD)"
  if [[ "$(cat "$source_dir/.bench-stamp" 2>/dev/null)" != "$stamp" ]]; then
    echo "== taking a snapshot of HEAD into $source_dir"
    rm -rf "$source_dir"
    mkdir -p "$source_dir"
    git archive HEAD | tar -x -C "$source_dir"
    echo "$stamp" > "$source_dir/.bench-stamp"
  fi
fi

if [[ "$(cat "$venv/.tyvo-stamp" 2>/dev/null)" != "$stamp" ]]; then
  echo "== building and installing tyvo from $source_dir"
  "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$source_dir"
  echo "$stamp" > "$venv/.tyvo-stamp"
fi

echo "== building the native cron benchmark in $native"
cmake -S "$source_dir" -B "$native" "${generator[@]}" -DTYVO_PYTHON=OFF -DTYVO_BENCH=ON \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$native" --target native_cron cron-next >/dev/null

[[ ${BUILD_ONLY:-0} == 1 ]] && exit 0

echo "== running the workloads ($rounds rounds)"
"$venv/bin/python" bench/compare/run_all.py --native-build "$native" --rounds "$rounds" \
  --out bench/results.md --raw build/bench-compare/raw.json --source "$label" \
  --command "${ROUNDS:+ROUNDS=$rounds }${TYVO_FROM_WORKTREE:+TYVO_FROM_WORKTREE=1 }bash bench/run_compare.sh"

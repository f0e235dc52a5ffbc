#!/usr/bin/env bash
# Compares tyvo with APScheduler 3 and a plain asyncio loop on one machine, on every interpreter
# and event loop asked for, and writes bench/results.md. About 25 minutes on a 2-core box for the
# default 2 interpreters x 2 loops x 3 rounds, once tyvo is built.
#
#   bash bench/run_compare.sh                       # tyvo as of the last commit
#   TYVO_FROM_WORKTREE=1 bash bench/run_compare.sh  # tyvo as it is in the working tree
#   ROUNDS=5 bash bench/run_compare.sh              # more rounds (default 3; 100,000 jobs: ROUNDS_100K=2)
#   PYTHONS="3.11" LOOPS=asyncio bash bench/run_compare.sh   # fewer configurations
#   PYTHONS="/usr/bin/python3.12 3.13" ...          # an interpreter by path or by pyenv version
#   QUICK=1 bash bench/run_compare.sh               # one short round, small N: checks the tooling,
#                                                   # writes build/bench-compare/results-quick.md
#   BUILD_ONLY=1 bash bench/run_compare.sh          # install and build, measure nothing (for profiling)
#
# By default tyvo is built from a snapshot of HEAD, so that unfinished edits lying in a shared
# working tree neither break the build nor leak into the figures. The snapshot, the venvs (one
# per interpreter, build/venv-bench-X.Y) and the native build are reused until the committed
# sources change.
set -euo pipefail
export PYTHONDONTWRITEBYTECODE=1  # keep __pycache__ out of bench/compare
cd "$(dirname "$0")/.."

pythons=${PYTHONS:-${PYTHON:-3.11 3.13}}
loops=${LOOPS:-asyncio uvloop}
rounds=${ROUNDS:-3}
quick=${QUICK:-0}
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

# A version like 3.11 means the newest pyenv 3.11.x (else python3.11 on PATH); anything with a
# slash is a path; anything else a command on PATH.
resolve_python() {
  if [[ $1 == */* ]]; then echo "$1"; return; fi
  if [[ ! $1 =~ ^[0-9]+\.[0-9]+$ ]]; then
    command -v "$1" || { echo "no interpreter '$1' on PATH" >&2; exit 1; }
    return
  fi
  local root version
  root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
  version=$(ls -d "$root"/versions/"$1".* 2>/dev/null | sort -V | tail -1)
  if [[ -n $version && -x $version/bin/python$1 ]]; then echo "$version/bin/python$1"
  elif command -v "python$1" >/dev/null; then command -v "python$1"
  else echo "no interpreter for '$1' (pyenv or PATH)" >&2; exit 1
  fi
}

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

configs=()
for wanted in $pythons; do
  python=$(resolve_python "$wanted")
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  venv=build/venv-bench-$version
  if [[ ! -x $venv/bin/python ]]; then
    echo "== creating $venv from $python"
    "$python" -m venv "$venv"
  fi
  if ! "$venv/bin/python" -c 'import apscheduler, croniter, uvloop' 2>/dev/null; then
    echo "== installing APScheduler 3, croniter and uvloop into $venv"
    "$venv/bin/python" -m pip install -q "apscheduler<4" croniter uvloop
  fi
  if [[ "$(cat "$venv/.tyvo-stamp" 2>/dev/null)" != "$stamp" ]]; then
    echo "== building and installing tyvo from $source_dir into $venv"
    "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$source_dir"
    echo "$stamp" > "$venv/.tyvo-stamp"
  fi
  for loop in $loops; do
    configs+=(--config "$version:$loop=$PWD/$venv/bin/python")
  done
done

echo "== building the native cron benchmark in $native"
cmake -S "$source_dir" -B "$native" "${generator[@]}" -DTYVO_PYTHON=OFF -DTYVO_BENCH=ON \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$native" --target native_cron cron-next >/dev/null

[[ ${BUILD_ONLY:-0} == 1 ]] && exit 0

shown="${ROUNDS:+ROUNDS=$rounds }${PYTHONS:+PYTHONS=\"$pythons\" }${LOOPS:+LOOPS=\"$loops\" }"
shown+="${TYVO_FROM_WORKTREE:+TYVO_FROM_WORKTREE=1 }"
if [[ $quick == 1 ]]; then
  out=build/bench-compare/results-quick.md
  echo "== QUICK: one short round with small N, into $out (a check of the tooling, not figures)"
  extra=(--quick)
  shown="QUICK=1 $shown"
else
  out=bench/results.md
  extra=(--rounds "$rounds" --rounds-100k "${ROUNDS_100K:-2}")
fi
echo "== running the workloads on $((${#configs[@]} / 2)) configurations"
mkdir -p build/bench-compare
"${configs[1]#*=}" bench/compare/run_all.py --native-build "$native" "${configs[@]}" "${extra[@]}" \
  --out "$out" --raw build/bench-compare/raw.json --source "$label" \
  --command "${shown}bash bench/run_compare.sh"

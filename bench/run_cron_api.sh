#!/usr/bin/env bash
# tyvo_cron beside croniter and cronsim, per call of next(), on each interpreter asked for; each
# library in a venv of its own on the same interpreter. Writes bench/cron-api-results.md.
#
#   bash bench/run_cron_api.sh                  # CPython 3.11 and 3.13 (pyenv), about 3 minutes
#   PYTHONS="3.12" bash bench/run_cron_api.sh   # other interpreters, by pyenv version
#
# tyvo is installed from the working tree into build/venv-X.Y (the test venv) if it lacks
# tyvo_cron; croniter and cronsim (the latest on PyPI) into build/venv-cronapi-X.Y-<name>.
set -euo pipefail
export PYTHONDONTWRITEBYTECODE=1
cd "$(dirname "$0")/.."

pythons=${PYTHONS:-3.11 3.13}
out=build/bench-cron-api
mkdir -p "$out"

interpreter() {
  local root
  root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
  ls -d "$root"/versions/"$1".*/bin/python 2>/dev/null | sort -V | tail -1
}

for version in $pythons; do
  python=$(interpreter "$version")
  [[ -n "$python" ]] || { echo "no CPython $version under pyenv" >&2; exit 1; }
  tyvo_venv=build/venv-$version
  [[ -x $tyvo_venv/bin/python ]] || "$python" -m venv "$tyvo_venv"
  if ! "$tyvo_venv/bin/python" -c 'import tyvo_cron' 2>/dev/null; then
    echo "== installing tyvo into $tyvo_venv"
    "$tyvo_venv/bin/python" -m pip install -q .
  fi
  for library in croniter cronsim; do
    venv=build/venv-cronapi-$version-$library
    [[ -x $venv/bin/python ]] || "$python" -m venv "$venv"
    "$venv/bin/python" -c "import $library" 2>/dev/null || "$venv/bin/python" -m pip install -q "$library"
  done
  for engine in tyvo_cron croniter cronsim; do
    venv=$tyvo_venv
    [[ $engine == tyvo_cron ]] || venv=build/venv-cronapi-$version-$engine
    echo "== CPython $version: $engine"
    nice "$venv/bin/python" bench/cron_api.py "$engine" >"$out/$version-$engine.json"
  done
done
python3 bench/cron_api_report.py "$out" "bash bench/run_cron_api.sh" $pythons >bench/cron-api-results.md
cat bench/cron-api-results.md

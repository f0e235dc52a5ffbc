#!/usr/bin/env bash
# Runs every test suite: the native suites (plain, thread sanitizer, address+undefined sanitizer),
# the Python suite on every CPython 3.11+ found on this machine, then the extra passes (uvloop,
# development mode, sanitizer build of the module, stress, cron fuzzing).
set -euo pipefail
cd "$(dirname "$0")/.."

native_suite() {
  local dir=$1; shift
  echo "== native tests: $dir $*"
  cmake -S . -B "$dir" -G Ninja -DTYVO_PYTHON=OFF -DTYVO_TESTS=ON -DTYVO_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" >/dev/null
  ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
}

pythons() {
  local seen="" candidate version
  for candidate in python3 python3.11 python3.12 python3.13 python3.14 \
                   "$(pyenv root 2>/dev/null)"/versions/3.1[1-9]*/bin/python; do
    command -v "$candidate" >/dev/null 2>&1 || continue
    version=$("$candidate" -c 'import sys; print("%d.%d" % sys.version_info[:2]) if sys.version_info >= (3, 11) else None' 2>/dev/null) || continue
    [[ -z "$version" || "$version" == None || " $seen " == *" $version "* ]] && continue
    seen="$seen $version"
    echo "$version $(command -v "$candidate")"
  done
}

python_suite() {
  local version=$1 interpreter=$2 venv="build/venv-$1"
  echo "== python tests: CPython $version"
  "$interpreter" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
  TYVO_WERROR=${TYVO_WERROR:-ON} "$venv/bin/python" -m pip install -q ".[test]"
  (cd tests/python && "../../$venv/bin/python" -m pytest -q -p no:cacheprovider)
}

replica_suite() {
  # tyvo_replicas against real Redis and PostgreSQL servers that the tests start; one
  # interpreter is enough, as the module is pure Python.
  local version=$1 venv="build/venv-$1"
  echo "== replica tests: CPython $version"
  TYVO_WERROR=${TYVO_WERROR:-ON} "$venv/bin/python" -m pip install -q ".[test,redis,postgres]"
  (cd tests/replicas && "../../$venv/bin/python" -m pytest -q -p no:cacheprovider .)
}

native_suite build/native
native_suite build/native-tsan -DTYVO_SANITIZE=thread
native_suite build/native-asan -DTYVO_SANITIZE=address,undefined
while read -r version interpreter; do
  python_suite "$version" "$interpreter"
done < <(pythons)
read -r replica_version _ < <(pythons)
replica_suite "$replica_version"
bash scripts/test-extra.sh

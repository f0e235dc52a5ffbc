#!/usr/bin/env bash
# CPython 3.14 and 3.15 (release and debug builds) without a container engine: a Debian unstable
# chroot under build/sid, made with debootstrap from the mirror apt already uses, then reused.
#
#   bash scripts/sid-pythons.sh make          # make the chroot unless a complete one is there
#   bash scripts/sid-pythons.sh run CMD...    # run CMD inside it, from the source tree
#
# `run` shows the source tree inside the chroot at the path it has outside (so paths that builds
# record, and tools under build/, mean the same on both sides) and starts CMD there. /proc, /dev and the
# tree are mounted in a mount namespace of the command's own, so they are never visible outside
# it, two runs at once never unmount each other's, and whatever happens they are gone when the
# command ends; a trap also unmounts them on the way out. Redis and PostgreSQL are installed inside,
# so the replica suite starts its servers there; loopback is shared with the machine.
set -euo pipefail
script=$(realpath "$0")
cd "$(dirname "$script")/.."
source scripts/debian-root.sh

root=$PWD/build/sid
# What the suites, the builds and the debug interpreters need; a change here remakes the chroot.
base_packages=python3.14,python3.14-dev,python3.14-venv,python3.14-dbg,python3.15,python3.15-dev,python3.15-venv,python3.15-dbg,g++,cmake,ninja-build,git,ca-certificates,tzdata
service_packages="redis-server postgresql faketime strace"
recipe="$base_packages $service_packages"

# pip inside needs this machine's resolver and CA bundle (the bundle may hold a local authority).
copy_network_files() {
  local target=$1
  cp -L /etc/resolv.conf "$target/etc/resolv.conf"
  mkdir -p "$target/etc/ssl/certs"
  cp -L /etc/ssl/certs/ca-certificates.crt "$target/etc/ssl/certs/ca-certificates.crt"
}

# What the builds and suites inside need of the environment outside.
root_environment=(SSL_CERT_FILE=/etc/ssl/certs/ca-certificates.crt PIP_DISABLE_PIP_VERSION_CHECK=1
                  DEBIAN_FRONTEND=noninteractive ${TYVO_WERROR:+TYVO_WERROR=$TYVO_WERROR} ${TYVO_ZIG:+TYVO_ZIG=$TYVO_ZIG})

run_in() {
  local target=$1; shift
  unshare --mount --propagation private -- bash "$script" __inside "$target" "$@"
}

make_chroot() {
  if [[ -f "$root/.recipe" && "$(cat "$root/.recipe")" == "$recipe" ]]; then
    copy_network_files "$root"
    echo "sid chroot: reusing $root"
    return
  fi
  local partial=$root.partial mirror began=$SECONDS
  mirror=$(debian_mirror)
  mkdir -p build
  rm -rf --one-file-system "$root" "$partial"
  echo "sid chroot: debootstrap from $mirror into $partial"
  # In a mount namespace of its own too: what debootstrap mounts cannot outlive it. Not niced: the
  # lane of 3.14 and 3.15 waits on it, and it mostly waits on the network and the disk anyway.
  unshare --mount --propagation private -- \
    debootstrap --variant=minbase --include="$base_packages" sid "$partial" "$mirror" >build/sid-debootstrap.log 2>&1 ||
    { tail -n 40 build/sid-debootstrap.log; return 1; }
  copy_network_files "$partial"
  # The servers are for the tests to start, never for the packages' scripts; no default cluster.
  printf '#!/bin/sh\nexit 101\n' >"$partial/usr/sbin/policy-rc.d"
  chmod 755 "$partial/usr/sbin/policy-rc.d"
  mkdir -p "$partial/etc/postgresql-common"
  echo "create_main_cluster = false" >"$partial/etc/postgresql-common/createcluster.conf"
  run_in "$partial" sh -c "apt-get install -y -qq --no-install-recommends $service_packages" >>build/sid-debootstrap.log 2>&1 ||
    { tail -n 40 build/sid-debootstrap.log; return 1; }
  copy_network_files "$partial"   # installing may have rewritten the bundle
  echo "$recipe" >"$partial/.recipe"
  mv "$partial" "$root"
  echo "sid chroot: made in $((SECONDS - began)) s: $(chroot "$root" python3.14 -VV | head -n 1); $(chroot "$root" python3.15 -VV | head -n 1)"
}

case ${1:-} in
  make) make_chroot ;;
  run) shift; [[ -f "$root/.recipe" ]] || { echo "no chroot at $root: run '$0 make' first" >&2; exit 1; }
       run_in "$root" "$@" ;;
  __inside) shift; inside "$@" ;;
  *) echo "usage: $0 make | run CMD..." >&2; exit 2 ;;
esac

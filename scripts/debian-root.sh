# Shared by sid-pythons.sh and arm64-pythons.sh, which source it: where Debian's packages come
# from, and how a command runs inside a Debian root made under build/.

# The first Debian mirror apt is set up with (deb822 sources first, then the one-line format).
debian_mirror() {
  local mirror
  mirror=$(grep -hsE '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{print $2}' | grep -E '/debian/?$' | head -n 1)
  [[ -n "$mirror" ]] || mirror=$(grep -hsE '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list |
                                 awk '{print $2}' | grep -E '/debian/?$' | head -n 1)
  echo "${mirror:-http://deb.debian.org/debian}"
}

# Runs a command inside the root `$1`, from the source tree, which shows inside at the path it has
# outside; the environment is a clean one plus the settings in the array `root_environment`. Meant
# for a private mount namespace (unshare --mount): it mounts /proc, /dev and the tree, and unmounts
# them on the way out.
inside() {
  target=$1; shift   # global: the trap runs after this function has returned
  unmount() {
    local point
    for point in "$target$PWD" "$target/dev" "$target/proc"; do
      mountpoint -q "$point" && { umount -R "$point" 2>/dev/null || umount -R -l "$point"; }
    done
    return 0
  }
  trap unmount EXIT
  mkdir -p "$target$PWD"
  mount -t proc proc "$target/proc"
  mount --rbind /dev "$target/dev"
  mount --bind "$PWD" "$target$PWD"
  local status=0
  env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    ${CI:+CI=$CI} "${root_environment[@]}" chroot "$target" /bin/sh -c 'cd "$0" && exec "$@"' "$PWD" "$@" || status=$?
  return $status
}

# Lists every CPython 3.11+ on this machine, one "<major.minor> <path>" line each, the first found
# per version: python3 on PATH first, then python3.x, then pyenv's builds. Sourced by the scripts.
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

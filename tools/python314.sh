#!/usr/bin/env bash
# Prints the path of a CPython 3.14 interpreter with development headers,
# setting one up first when needed.
#
# Order of preference:
#   1. $PYTHON, when it is CPython 3.14 with Python.h;
#   2. a prefix already unpacked in the cache directory;
#   3. a new self-contained prefix unpacked from Debian unstable's binary
#      packages.  A private apt configuration keeps the system's own apt
#      state untouched; the mirror is read from the machine's apt sources.
#
# Set VORL_PY_DEBUG=1 to get the debug interpreter (python3.14d) instead.
# Everything except the final path goes to stderr.
set -euo pipefail

cache_root="${VORL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vorlstore}"
prefix="$cache_root/py314"
stamp="$prefix/.complete-v5"
packages=(python3.14-dev python3.14-dbg python3-pytest python3-hypothesis python3-msgpack
          python3-pip python3-scikit-build-core python3-build python3-mypy
          python3-lmdb python3.14-gdbm
          python3-dask python3-distributed python3-pandas python3-pyarrow python3-numpy
          python3-tqdm python3-nanobind nanobind-dev
          python3-fsspec python3-boto3 python3-botocore
          python3-moto python3-flask python3-flask-cors python3-werkzeug)
want_debug="${VORL_PY_DEBUG:-0}"
exe_name=python3.14
[ "$want_debug" = 1 ] && exe_name=python3.14d

log() { echo "python314: $*" >&2; }

is_usable() {
  local py="$1"
  [ -x "$py" ] || command -v "$py" >/dev/null 2>&1 || return 1
  "$py" - <<'PY' >/dev/null 2>&1
import sys, sysconfig, os
assert sys.implementation.name == "cpython" and sys.version_info[:2] == (3, 14)
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
PY
}

if [ -n "${PYTHON:-}" ] && [ "$want_debug" != 1 ] && is_usable "$PYTHON"; then
  command -v "$PYTHON"
  exit 0
fi

if [ -f "$stamp" ] && is_usable "$prefix/usr/bin/$exe_name"; then
  echo "$prefix/usr/bin/$exe_name"
  exit 0
fi

mirror_from_apt() {
  local uri=""
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources)
  fi
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' /etc/apt/sources.list)
  fi
  [ -n "$uri" ] || { log "no Debian mirror found in the apt sources"; exit 1; }
  echo "${uri%/}"
}

if ! command -v patchelf >/dev/null 2>&1; then
  log "installing patchelf"
  if [ "$(id -u)" = 0 ]; then apt-get install -y -q patchelf >&2 || { apt-get update -q >&2 && apt-get install -y -q patchelf >&2; }
  else sudo apt-get install -y -q patchelf >&2; fi
fi

# One setup at a time; a second caller waits and then finds the prefix ready.
mkdir -p "$cache_root"
exec 9>"$cache_root/.setup.lock"
flock 9
if [ -f "$stamp" ] && is_usable "$prefix/usr/bin/$exe_name"; then
  echo "$prefix/usr/bin/$exe_name"
  exit 0
fi

log "setting up CPython 3.14 in $prefix"
# The new prefix is unpacked beside the old one and swapped in whole, so a
# test still running on the old prefix never sees a half-unpacked tree.
final="$prefix"
prefix="$final.new"
work="$cache_root/apt"
rm -rf "$prefix" "$work"
mkdir -p "$prefix" "$work"/{etc,state/lists/partial,cache/archives/partial}
: > "$work/status"
mirror=$(mirror_from_apt)
echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror sid main" > "$work/etc/sources.list"
cat > "$work/apt.conf" <<CONF
Dir "$work/";
Dir::State "$work/state";
Dir::State::status "$work/status";
Dir::Cache "$work/cache";
Dir::Etc "$work/etc";
Dir::Etc::sourcelist "$work/etc/sources.list";
Dir::Etc::sourceparts "-";
Dir::Etc::preferences "$work/etc/preferences";
Dir::Etc::preferencesparts "-";
Dir::Etc::trustedparts "/etc/apt/trusted.gpg.d";
APT::Install-Recommends "false";
APT::Install-Suggests "false";
APT::Architecture "amd64";
Acquire::Check-Valid-Until "false";
Acquire::Languages "none";
CONF
export APT_CONFIG="$work/apt.conf"
apt-get update -q >&2
apt-get --download-only -y -q install "${packages[@]}" >&2

for deb in "$work"/cache/archives/*.deb; do
  case "$(basename "$deb")" in
    libc6-dev_*|linux-libc-dev_*|libc-dev-bin_*) continue ;;
  esac
  dpkg -x "$deb" "$prefix"
done

# Paths written into binaries name the final prefix, where they will run.
libdir="$final/usr/lib/x86_64-linux-gnu"
# One patchelf call per change: newer patchelf releases write a broken
# interpreter when the loader and the run path are set in one call.
for exe in python3.14 python3.14d; do
  [ -f "$prefix/usr/bin/$exe" ] || continue
  patchelf --set-interpreter "$libdir/ld-linux-x86-64.so.2" "$prefix/usr/bin/$exe"
  patchelf --force-rpath --set-rpath "$libdir" "$prefix/usr/bin/$exe"
done
# A library with a RUNPATH of its own (pyarrow's extension modules, for one)
# ignores the interpreter's run path for its direct dependencies; give it the
# prefix's library directory too, so that no environment variable is needed
# and system tools started from Python never see the prefix's libraries.
while IFS= read -r -d '' lib; do
  runpath=$(patchelf --print-rpath "$lib" 2>/dev/null) || continue
  case ":$runpath:" in ""|"::"|*":$libdir:"*) continue ;; esac
  patchelf --set-rpath "$runpath:$libdir" "$lib"
done < <(find "$prefix/usr/lib" -name '*.so*' -type f -print0)
# Debian's pyconfig.h is a multiarch wrapper; put the real header in its place
# so that builds using only <prefix>/usr/include/python3.14* find it.
for flavour in python3.14 python3.14d; do
  real="$prefix/usr/include/x86_64-linux-gnu/$flavour/pyconfig.h"
  [ -f "$real" ] && cp "$real" "$prefix/usr/include/$flavour/pyconfig.h"
done
rm -rf "$work" "$final.old"
[ -d "$final" ] && mv "$final" "$final.old"
mv "$prefix" "$final"
rm -rf "$final.old"
prefix="$final"

is_usable "$prefix/usr/bin/$exe_name" || { log "the unpacked interpreter does not work"; exit 1; }
# The new prefix holds everything an older one did: scripts of an earlier
# revision that look for their own stamp keep using it rather than rebuilding.
touch "$prefix"/.complete-v{4,5}
log "ready: $prefix/usr/bin/$exe_name"
echo "$prefix/usr/bin/$exe_name"

#!/usr/bin/env bash
# Prints the path of a CPython interpreter of the given version with
# development headers, setting one up first when needed.
#
#   bash tools/python.sh 3.11   Debian 12's own python3.11 (its apt packages are
#                               installed when missing), in a private virtual
#                               environment that adds the build tools Debian 12
#                               lacks (unpacked from Debian unstable; pure Python)
#   bash tools/python.sh 3.13   a self-contained prefix unpacked from Debian
#   bash tools/python.sh 3.15   unstable's binary packages: interpreter, headers,
#                               msgpack, pytest, hypothesis, build tools
#   bash tools/python.sh 3.14   the same, with every optional dependency
#                               (tools/python314.sh holds its package list)
#
# $PYTHON is used instead when it is that version with Python.h.  Set
# VORL_PY_DEBUG=1 for the debug interpreter (python3.Xd) of an unpacked prefix.
# Prefixes live in ${VORL_CACHE:-~/.cache/vorlstore}/pyXY.  A private apt
# configuration keeps the system's own apt state untouched; the mirror is read
# from the machine's apt sources.  Everything except the final path goes to
# stderr.
set -euo pipefail

if [ -z "${packages+set}" ]; then  # run directly rather than from python314.sh
  version="${1:?usage: tools/python.sh 3.X}"
  [ "$version" = 3.14 ] && exec bash "$(dirname "$0")/python314.sh"
  cache_root="${VORL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vorlstore}"
  prefix="$cache_root/py${version/./}"
  stamp="$prefix/.complete-v2"
  want_debug="${VORL_PY_DEBUG:-0}"
  exe_name=python$version
  [ "$want_debug" = 1 ] && exe_name=python${version}d
  if [ "$version" = 3.11 ]; then
    # Pure-Python build tools (and a hypothesis) newer than Debian 12's;
    # fetched without their dependencies, which Debian 12 provides.
    packages=(python3-scikit-build-core python3-packaging python3-pathspec python3-pyproject-metadata
              python3-build python3-pyproject-hooks python3-nanobind nanobind-dev robin-map-dev
              python3-auditwheel python3-pyelftools python3-hypothesis python3-sortedcontainers)
    stamp="$prefix/.complete-v3"
  else
    packages=(python$version-dev python3-pytest python3-hypothesis python3-msgpack python3-pip
              python3-scikit-build-core python3-build python3-nanobind nanobind-dev)
  fi
fi
tag="py${version/./}"
log() { echo "$tag: $*" >&2; }

is_usable() {
  local py="$1"
  [ -x "$py" ] || command -v "$py" >/dev/null 2>&1 || return 1
  "$py" - "$version" <<'PY' >/dev/null 2>&1
import sys, sysconfig, os
assert sys.implementation.name == "cpython" and "%d.%d" % sys.version_info[:2] == sys.argv[1]
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
PY
}

# Installs Debian packages of the machine's own release that are missing.
# Never under a private apt configuration: that would replace the C library.
apt_install() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  [ "${#missing[@]}" = 0 ] && return 0
  [ -z "${APT_CONFIG:-}" ] || { log "APT_CONFIG is set; not installing ${missing[*]}"; exit 1; }
  log "installing ${missing[*]}"
  local sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo
  # Other checkouts may be installing at the same time.
  $sudo apt-get install -y -q -o DPkg::Lock::Timeout=300 "${missing[@]}" >&2 ||
    { $sudo apt-get update -q >&2 && $sudo apt-get install -y -q -o DPkg::Lock::Timeout=300 "${missing[@]}" >&2; }
}

if [ -n "${PYTHON:-}" ] && [ "$want_debug" != 1 ] && is_usable "$PYTHON"; then
  command -v "$PYTHON"
  exit 0
fi

if [ "$version" = 3.11 ]; then
  apt_install python3.11-dev python3.11-venv python3-pip python3-msgpack python3-pytest python3-hypothesis
  final="$prefix/venv/bin/python3.11"
else
  final="$prefix/usr/bin/$exe_name"
fi
# Debian compiles a package's modules when it installs it; an unpacked prefix
# has none compiled, and where PYTHONDONTWRITEBYTECODE is set every process
# would compile what it imports again (0.6 s for the command line's).
precompile() {
  [ -f "$prefix/.compiled" ] && return 0
  local dirs=("$prefix/usr/lib/python3/dist-packages")
  [ "$version" = 3.11 ] || dirs+=("$prefix/usr/lib/python$version")
  "$final" -m compileall -q -j 0 -x '/(tests?|idle_test|lib2to3)/' "${dirs[@]}" >/dev/null 2>&1 || true
  touch "$prefix/.compiled"
}

if [ -f "$stamp" ] && is_usable "$final"; then
  precompile
  echo "$final"
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

apt_install patchelf

# One setup at a time; a second caller waits and then finds the prefix ready.
mkdir -p "$cache_root"
exec 9>"$cache_root/.setup.lock"
flock 9
if [ -f "$stamp" ] && is_usable "$final"; then
  echo "$final"
  exit 0
fi

log "setting up $prefix"
# The new prefix is unpacked beside the old one and swapped in whole, so a
# test still running on the old prefix never sees a half-unpacked tree.
# Paths written into files name the final prefix, where they will be used.
home="$prefix"
prefix="$home.new"
work="$cache_root/apt-$tag"
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
# Only inside this subshell: apt-get install must never see it.
(
  export APT_CONFIG="$work/apt.conf"
  apt-get update -q >&2
  if [ "$version" = 3.11 ]; then
    cd "$work/cache/archives" && apt-get download -q "${packages[@]}" >&2
  else
    apt-get --download-only -y -q install "${packages[@]}" >&2
  fi
)

for deb in "$work"/cache/archives/*.deb; do
  case "$(basename "$deb")" in
    libc6-dev_*|linux-libc-dev_*|libc-dev-bin_*) continue ;;
  esac
  dpkg -x "$deb" "$prefix"
done
rm -rf "$work"

if [ "$version" != 3.11 ]; then
  libdir="$home/usr/lib/x86_64-linux-gnu"
  # One patchelf call per change: newer patchelf releases write a broken
  # interpreter when the loader and the run path are set in one call.
  for exe in python$version python${version}d; do
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
  # so that builds using only <prefix>/usr/include/python3.X* find it.
  for flavour in python$version python${version}d; do
    real="$prefix/usr/include/x86_64-linux-gnu/$flavour/pyconfig.h"
    [ -f "$real" ] && cp "$real" "$prefix/usr/include/$flavour/pyconfig.h"
  done
fi

rm -rf "$home.old"
[ -d "$home" ] && mv "$home" "$home.old"
mv "$prefix" "$home"
rm -rf "$home.old"
prefix="$home"
if [ "$version" = 3.11 ]; then
  /usr/bin/python3.11 -m venv --without-pip --system-site-packages "$prefix/venv"
  # Ahead of Debian 12's own site packages, whose packaging is too old for
  # the newer build tools.
  echo "$prefix/usr/lib/python3/dist-packages" > "$prefix/venv/lib/python3.11/site-packages/vorl-tools.pth"
fi
is_usable "$final" || { log "the interpreter does not work"; exit 1; }
# The prefix holds everything an earlier revision's did: scripts that look
# for an older stamp keep using it rather than setting up again.
precompile
for ((i = 1; i <= ${stamp##*-v}; i++)); do touch "$prefix/.complete-v$i"; done
log "ready: $final ($(du -sh "$prefix" | cut -f1))"
echo "$final"

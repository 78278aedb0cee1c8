#!/usr/bin/env bash
# What the Windows build needs, installed when missing (as root).
#
#   tools/windows-deps.sh SOURCE_DIR           the cross compiler and the sources
#   tools/windows-deps.sh --test SOURCE_DIR    the same, and Wine to run the suites
#
# SOURCE_DIR receives the Zstandard sources (SOURCE_DIR/zstd), taken from
# Debian's libzstd source package through an apt list of our own, made from
# the archives this machine already installs binary packages from.
#
# With --test the last line printed is the Windows build the suites can run
# as here: "i686" when Wine's 32-bit half (wine32, an i386 package) could be
# installed, "x86_64" when it could not and Wine's 64-bit half runs the suites
# built for 64-bit Windows instead.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

test=0
if [ "${1:-}" = "--test" ]; then test=1; shift; fi
src=${1:?usage: windows-deps.sh [--test] SOURCE_DIR}

"$here/apt-install.sh" g++-mingw-w64-i686-posix googletest python3 xz-utils

if [ ! -f "$src/zstd/lib/zstd.h" ]; then
  apt_dir=$src/apt
  mkdir -p "$apt_dir/lists/partial" "$src/zstd"
  # deb-src lines for the Debian archives the machine's binary packages come
  # from, so the sources follow the machine's own mirror.
  apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Created-By: Packages' \
      "Architecture: $(dpkg --print-architecture)" 'Origin: Debian' | sort -u | sed 's/^/deb-src /' \
      >"$apt_dir/sources.list"
  if [ ! -s "$apt_dir/sources.list" ]; then
    echo "No Debian archive in this machine's apt sources (run apt-get update first?)" >&2
    exit 1
  fi
  opts=(-o "Dir::Etc::SourceList=$(realpath "$apt_dir/sources.list")" -o Dir::Etc::SourceParts=/nonexistent
        -o "Dir::State::Lists=$(realpath "$apt_dir/lists")" -o APT::Sandbox::User=root)
  # As for binary packages, one index that fails to refresh does not decide:
  # the download below does.
  apt-get -qq "${opts[@]}" update >/dev/null 2>&1 || echo "apt-get update (sources) did not complete; trying anyway"
  # The newest source first, then each archive's own: an archive may list a
  # source it does not serve.
  fetched=0
  for which in libzstd $(awk '{print "libzstd/" $3}' "$apt_dir/sources.list"); do
    if (cd "$apt_dir" && apt-get -qq "${opts[@]}" source --download-only "$which" >fetch.log 2>&1); then
      fetched=1; break
    fi
  done
  [ $fetched = 1 ] || { cat "$apt_dir/fetch.log" >&2; exit 1; }
  tar -xf "$(ls "$apt_dir"/libzstd_*.orig.tar.* | head -n 1)" --strip-components=1 -C "$src/zstd"
fi

[ $test = 1 ] || exit 0

"$here/apt-install.sh" fonts-wine xvfb

if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
  "$here/apt-install.sh" wine
  echo i686
  exit 0
fi

# Wine's 32-bit half needs the i386 architecture, and its libraries at the
# same versions as their amd64 twins, which an index caught mid-sync cannot
# always offer. Try; on failure leave the machine's architectures as they were.
added=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  if [ "$(id -u)" = 0 ]; then dpkg --add-architecture i386; added=1; fi
fi
if "$here/apt-install.sh" --try wine wine32:i386; then
  echo i686
  exit 0
fi
if [ $added = 1 ] && [ -z "$(dpkg-query -W -f='${binary:Package}\n' '*:i386' 2>/dev/null)" ]; then
  dpkg --remove-architecture i386 || true
fi
echo "wine32 cannot be installed here: the suites are built for 64-bit Windows and run under wine64"
"$here/apt-install.sh" wine wine64 g++-mingw-w64-x86-64-posix
echo x86_64

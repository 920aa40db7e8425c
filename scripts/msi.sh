#!/usr/bin/env bash
# Writes the Windows installer build-win/brisvale-opc.msi: builds the Windows target first (build-win, as
# scripts/test.sh configures it) unless BRISVALE_MSI_BIN names a folder that holds the built files already.
#   BRISVALE_MSI_VERSION  the package's version (default: the server's major.minor, and the commit count as build,
#                         so that every newer build upgrades the one before it in place; a rebuild of the same
#                         version replaces it too)
#   BRISVALE_MSI_OUTPUT   where to write the package (default build-win/brisvale-opc.msi)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/setup.sh

version=${BRISVALE_MSI_VERSION:-}
if [ -z "$version" ]; then
  # The server's own version ({major, minor, ...} of its vendor information; if none is found, the check below says
  # so) and the commit count.
  read -r major minor < <(sed -nE 's/.*kVendorInfo = \{([0-9]+), *([0-9]+),.*/\1 \2/p' host/class_factory.cpp) || true
  # Only the whole history counts every commit: a shallow clone counts its depth, and a package from it would not
  # upgrade one built before from a full clone.
  if [ "$(git rev-parse --is-shallow-repository 2>/dev/null)" != false ]; then
    echo "msi: the package's version counts the commits, and $here is no full git clone (shallow or none):" \
      "git fetch --unshallow, or set BRISVALE_MSI_VERSION" >&2
    exit 1
  fi
  version=$major.$minor.$(git rev-list --count HEAD)
fi
# Windows Installer's limits; a package upgrades every one of this product up to the next version, not included.
if ! [[ $version =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)$ ]] ||
  ((10#${BASH_REMATCH[1]} > 255 || 10#${BASH_REMATCH[2]} > 255 || 10#${BASH_REMATCH[3]} >= 65535)); then
  echo "msi: the version must be three numbers, as 1.0.42 (up to 255.255.65534), not <$version>" >&2
  exit 1
fi
upgrade_below=$((10#${BASH_REMATCH[1]})).$((10#${BASH_REMATCH[2]})).$((10#${BASH_REMATCH[3]} + 1))

bin=${BRISVALE_MSI_BIN:-}
if [ -z "$bin" ]; then
  bin=$here/build-win
  export WINEPREFIX=$bin/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY
  mkdir -p "$bin"
  if [ ! -f "$bin/build.ninja" ]; then
    cmake -S . -B "$bin" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Debug \
      >"$bin.configure.log" 2>&1 || { cat "$bin.configure.log"; exit 1; }
  fi
  # All of it: the server, and both proxy/stubs, which are separate targets.
  cmake --build "$bin" -j "$(nproc)"
fi

missing=()
for f in brisvale-opc.exe brisvale-opc-ps.dll brisvale-opc-ps32.dll; do
  [ -f "$bin/$f" ] || missing+=("$bin/$f")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "msi: missing from the Windows build: ${missing[*]}" >&2
  exit 1
fi

output=${BRISVALE_MSI_OUTPUT:-$here/build-win/brisvale-opc.msi}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# One component per document: a document added to docs/ is installed without a change here.
ls docs/*.md |
  wixl-heat -p docs/ --directory-ref DocsFolder --var var.DocsDir --component-group Docs --win64 >"$work/docs.wxs"
# wixl takes sources by paths relative to the folder it runs in. It leaves out what it does not support with no
# more than a warning: a package without it would be wrong.
if ! wixl -a x64 -D Version="$version" -D UpgradeBelow="$upgrade_below" -D BinDir="$(realpath --relative-to=. "$bin")" \
       -D SourceDir=. -D DocsDir=docs -D Win64=yes -o "$work/brisvale-opc.msi" \
       installer/brisvale-opc.wxs "$work/docs.wxs" \
       2>"$work/wixl.err" || [ -s "$work/wixl.err" ]; then
  cat "$work/wixl.err" >&2
  echo "msi: wixl failed or warned; no package written" >&2
  exit 1
fi
mkdir -p "$(dirname "$output")"
mv "$work/brisvale-opc.msi" "$output"
echo "msi: wrote $output (version $version)"

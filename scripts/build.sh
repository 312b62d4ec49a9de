#!/usr/bin/env bash
# Installs what is missing, builds the plug-in in Release and installs the
# VST3 bundle in the per-user folder, where Linux hosts look for it.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/deps.sh"

export CCACHE_SLOPPINESS=pch_defines,time_macros
# Paths under the checkout's parent are hashed relative, so several checkouts
# side by side share one compiler cache.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$(dirname "$root")}"
export CCACHE_NOHASHDIR=1
build="$root/build/release"
cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
cmake --build "$build" --target Kestrune_VST3

bundle="$build/Kestrune_artefacts/Release/VST3/Kestrune.vst3"
dest="$HOME/.vst3"
mkdir -p "$dest"
rm -rf "$dest/Kestrune.vst3.new"
cp -R "$bundle" "$dest/Kestrune.vst3.new"
rm -rf "$dest/Kestrune.vst3"
mv "$dest/Kestrune.vst3.new" "$dest/Kestrune.vst3"

echo "Installed $dest/Kestrune.vst3"

#!/bin/sh
# pkgconfig.sh BUILD-DIR SOURCE.c CC
set -e
build=$1 src=$2 cc=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --component Unspecified --prefix "$scratch/prefix" >/dev/null
pc=$(find "$scratch/prefix" -name libnli.pc)
[ -n "$pc" ] || { echo "libnli.pc was not installed"; exit 1; }
export PKG_CONFIG_PATH=$(dirname "$pc")
flags=$(pkg-config --cflags --libs libnli)
"$cc" -std=c99 -Wall -Wextra -pedantic -Werror "$src" $flags -o "$scratch/program"
libdir=$(pkg-config --variable=libdir libnli)
# A run with nothing to find: the program must load the installed library and scan loopback.
NLI_BROADCAST_ADDRESS=127.0.0.1:9 LD_LIBRARY_PATH="$libdir" "$scratch/program" | tail -n 1 |
    grep -q "0 modules found"
echo "built and ran against $(dirname "$pc")"

#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds the example host against it twice, through
# the CMake package and through pkg-config, then runs both on the sample scene: the installed
# headers, library, package files and run paths serve a host outside the build tree.
#   install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$source/examples" -B "$work/example" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/example" >/dev/null
mkdir "$work/a" "$work/b"
"$work/example/reduce_file" "$source/data/spider.obj" "$work/a/out.obj"
libdir=$(dirname "$(find "$work/prefix" -name kestovar.pc)")/..
PKG_CONFIG_PATH="$libdir/pkgconfig" c++ -std=c++20 "$source/examples/reduce_file.cpp" -o "$work/pc_host" \
  $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs kestovar) -Wl,-rpath,"$libdir"
"$work/pc_host" "$source/data/spider.obj" "$work/b/out.obj"
cmp "$work/a/out.obj" "$work/b/out.obj"
grep -q '^f ' "$work/a/out.obj"
# The installed tool finds the installed library, and the installed plug-ins when they were built.
output="$work/tool.obj"
compgen -G "$work/prefix/*/kestovar/Plugins/*.tepz" >/dev/null && output="$work/tool.stl"
"$work/prefix/bin/kestovar" reduce "$source/data/spider.obj" -o "$output" --ratio 0.5 -q
test -s "$output"
echo "install test: ok"

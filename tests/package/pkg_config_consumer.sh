#!/bin/sh
# Builds and runs the C consumer with nothing but the compiler and what pkg-config says about the
# installed package: pkg_config_consumer.sh PKG_CONFIG CC PREFIX main.c WORKDIR.
# The installed tree is also copied to another place first, so the test shows that velmora.pc
# follows the package to wherever it lies.
set -eu
pkg_config=$1 cc=$2 prefix=$3 source=$4 work=$5

rm -rf "$work"
mkdir -p "$work"
cp -R "$prefix" "$work/moved"
n=0
for root in "$prefix" "$work/moved"; do
  n=$((n + 1))
  pcdir=$(dirname "$(find "$root" -name velmora.pc | head -n 1)")
  [ -n "$pcdir" ] || { echo "no velmora.pc under $root"; exit 1; }
  export PKG_CONFIG_PATH="$pcdir"
  libdir=$("$pkg_config" --variable=libdir velmora)
  includedir=$("$pkg_config" --variable=includedir velmora)
  # Every path must lie inside the tree that holds the file.
  for dir in "$libdir" "$includedir"; do
    [ -d "$dir" ] || { echo "velmora.pc names $dir, which does not exist"; exit 1; }
    case "$(cd "$dir" && pwd -P)" in
      "$(cd "$root" && pwd -P)"/*) ;;
      *) echo "velmora.pc under $root names $dir, outside its tree"; exit 1 ;;
    esac
  done
  # shellcheck disable=SC2046 # the flags are meant to split
  "$cc" -o "$work/consumer$n" "$source" $("$pkg_config" --cflags velmora) \
    $("$pkg_config" --libs velmora) -Wl,-rpath,"$libdir"
  "$work/consumer$n"
done

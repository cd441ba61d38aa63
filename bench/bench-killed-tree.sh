#!/usr/bin/env bash
# tests/killed_tree.sh at full size: 5 kill -9 at random points of a tree run (-r) over 5,000
# folders, then one more run, which must leave no hidden page anywhere in the tree.
#
# Environment: FOLIMBRA_INDEX=path (skip its build), FOLDERS (default 5000), KILLS (default 5),
# TREE_ROOT (where the tree is made; default bench/data, this machine's disk).
set -euo pipefail

bench_dir=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$bench_dir")
# shellcheck source=release-index.sh
. "$bench_dir/release-index.sh"
index=$(release_index "$source_dir")
mkdir -p "${TREE_ROOT:=$bench_dir/data}"
FOLDERS=${FOLDERS:-5000} KILLS=${KILLS:-5} RANDOM_POINTS=1 TREE_ROOT=$TREE_ROOT \
    "$source_dir/tests/killed_tree.sh" "$index"
echo "tree on $(stat -f -c %T "$TREE_ROOT"); machine: $(nproc) cores," \
    "load $(cut -d' ' -f1-3 /proc/loadavg)"

# shellcheck shell=bash
# Sourced by the benchmarks: prints the folimbra-index to time, $FOLIMBRA_INDEX or a Release
# build of the checkout made in build/bench-release; always an absolute path, since benchmarks
# change folder.
release_index() {
    local source_dir=$1 build_dir=$1/build/bench-release
    if [[ -n ${FOLIMBRA_INDEX:-} ]]; then
        realpath "$FOLIMBRA_INDEX"
        return
    fi
    cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_TESTING=OFF -DFOLIMBRA_BENCH=OFF >/dev/null
    cmake --build "$build_dir" --target folimbra-index >/dev/null
    echo "$build_dir/cli/folimbra-index"
}

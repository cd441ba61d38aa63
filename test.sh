#!/usr/bin/env bash
# Installs what is missing, builds and runs every test; then runs them all once more in a build
# with AddressSanitizer and UndefinedBehaviorSanitizer, the ones that start threads of their own in
# a build with ThreadSanitizer, and runs each fuzz target for a while.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/packages.sh
. "$here/scripts/packages.sh"
ensure_packages "${FOLIMBRA_BUILD_PACKAGES[@]}" "${FOLIMBRA_TEST_PACKAGES[@]}"

# The tests whose names match $tests, all of them when it is empty.
run_suite()
{
    local build="$1" tests="$2"
    shift 2
    cmake -S "$here" -B "$build" -G Ninja -DFOLIMBRA_WERROR=ON -DFOLIMBRA_BENCH=OFF "$@" >/dev/null
    cmake --build "$build"
    ctest --test-dir "$build" --output-on-failure ${tests:+-R "$tests"}
}

echo "== Pruebas"
run_suite "$here/build/test" "" -DCMAKE_BUILD_TYPE=Debug
echo "== Pruebas con AddressSanitizer y UndefinedBehaviorSanitizer"
run_suite "$here/build/sanitize" "" -DCMAKE_BUILD_TYPE=Debug -DFOLIMBRA_SANITIZE=ON
# Qt is not built with ThreadSanitizer: only the tests whose threads are the project's own (the
# thumbnails and the window hand work to Qt's thread pool, which it sees as racing).
echo "== Pruebas con ThreadSanitizer"
run_suite "$here/build/thread" 'tst_listing|tst_platform|tst_cli|tst_messages' -DCMAKE_BUILD_TYPE=Debug \
    -DFOLIMBRA_SANITIZE_THREAD=ON

# Each target starts from a copy of its committed seeds, so what a run finds stays in the build.
run_fuzzers()
{
    local build="$here/build/fuzz" target corpus log
    local targets=(fuzz_getfileext fuzz_htmltext fuzz_filenames fuzz_windows1252 fuzz_perendat
        fuzz_sortkeys fuzz_quickdeflate fuzz_thumbnails)
    CC=clang CXX=clang++ cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DFOLIMBRA_WERROR=ON -DFOLIMBRA_BENCH=OFF -DBUILD_TESTING=OFF -DFOLIMBRA_FUZZ=ON >/dev/null
    cmake --build "$build" --target "${targets[@]}"
    for target in "${targets[@]}"; do
        corpus="$build/fuzz/corpus/$target"
        log="$build/fuzz/$target.log"
        rm -rf "$corpus"
        mkdir -p "$corpus"
        cp "$here/fuzz/corpus/$target"/* "$corpus"/
        if ! "$build/fuzz/$target" -max_total_time=20 -artifact_prefix="$build/fuzz/$target-" \
            "$corpus" >"$log" 2>&1; then
            tail -n 30 "$log"
            echo "$target: falló (registro: $log)"
            return 1
        fi
        echo "$target: $(grep '^Done' "$log")"
    done
}

echo "== Fuzzing, 20 s por objetivo"
if ensure_packages "${FOLIMBRA_FUZZ_PACKAGES[@]}" && command -v clang++ >/dev/null; then
    run_fuzzers
else
    echo "No hay clang: se omite el fuzzing."
fi
echo "== Paquete Debian"
"$here/scripts/package.sh"

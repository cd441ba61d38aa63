#!/usr/bin/env bash
# Installs what is missing, builds and runs every test once, in a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, with the Debian package built beside them; the ones that start
# threads of their own again in a build with ThreadSanitizer; then each fuzz target for a while.
#   ./test.sh           # all of it, as CI runs it
#   ./test.sh --quick   # the debug build's tests without the slow checks of the whole system
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
quick=false
case ${1:-} in
'') ;;
--quick) quick=true ;;
*)
    echo "Uso: ./test.sh [--quick]" >&2
    exit 2
    ;;
esac
# shellcheck source=scripts/packages.sh
. "$here/scripts/packages.sh"
if $quick; then
    ensure_packages "${FOLIMBRA_BUILD_PACKAGES[@]}" "${FOLIMBRA_TEST_PACKAGES[@]}"
else
    # What the first build needs, and what configuring it looks for; the rest comes beside it.
    ensure_packages "${FOLIMBRA_BUILD_PACKAGES[@]}" ccache xvfb xdotool
fi

# Builds that share sources share their compiled objects too, from one run to the next.
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
jobs=$(nproc)
# The full passes compile a few sources as one, which halves a fresh machine's build, and parse
# the common headers once; the quick pass (and run.sh) compiles each file alone, so a missing
# include still shows there. Clang takes no header precompiled for other flags: not for fuzzing.
unity=-DCMAKE_UNITY_BUILD=ON
full=("$unity" -DFOLIMBRA_PRECOMPILED_HEADERS=ON)
# Sanitizer reports need only line tables, which are a little quicker to make than the full
# debug information.
lines=-DCMAKE_CXX_FLAGS_DEBUG=-g1

# beside LOG COMMAND...: runs the command (or function) in the background at a lower priority,
# its output in LOG, while the next pass goes on; join_beside waits for it.
beside()
{
    beside_log=$1
    shift
    (
        renice -n 10 "$BASHPID" >/dev/null
        "$@"
    ) >"$beside_log" 2>&1 &
    beside_pid=$!
    trap 'kill "$beside_pid" 2>/dev/null || true' EXIT
}
# join_beside MESSAGE: where the command failed, its log and MESSAGE, and the run stops.
join_beside()
{
    if ! wait "$beside_pid"; then
        cat "$beside_log"
        echo "$1 (registro: ${beside_log#"$here"/})"
        exit 1
    fi
    trap - EXIT
}

# configure BUILD OPTIONS...
configure()
{
    local build="$1"
    shift
    cmake -S "$here" -B "$build" -G Ninja -DFOLIMBRA_WERROR=ON -DFOLIMBRA_BENCH=OFF \
        "${launcher[@]}" "$@" >/dev/null
}

if $quick; then
    echo "== Pruebas rápidas"
    configure "$here/build/test" -DCMAKE_BUILD_TYPE=Debug
    cmake --build "$here/build/test"
    ctest --test-dir "$here/build/test" --output-on-failure -j "$jobs" \
        -E 'fault_sweep|watch_soak|watch_limits|browser_|e2e_|concurrent_runs'
    exit 0
fi

echo "== Pruebas con AddressSanitizer y UndefinedBehaviorSanitizer"
configure "$here/build/sanitize" -DCMAKE_BUILD_TYPE=Debug -DFOLIMBRA_SANITIZE=ON "$lines" "${full[@]}"
# The other passes' packages install while the first build compiles.
mkdir -p "$here/build"
beside "$here/build/packages.log" ensure_packages "${FOLIMBRA_TEST_PACKAGES[@]}" \
    "${FOLIMBRA_PACKAGE_PACKAGES[@]}" "${FOLIMBRA_FUZZ_PACKAGES[@]}"
cmake --build "$here/build/sanitize"
join_beside "apt-get: no se instalaron los paquetes de las pruebas"
grep '^Instalando' "$here/build/packages.log" || true
# Many of the whole-system checks wait on a watch, a browser or a window: the package builds
# meanwhile, at a lower priority, and says how it went once the tests are done.
beside "$here/build/package.log" "$here/scripts/package.sh"
ctest --test-dir "$here/build/sanitize" --output-on-failure -j "$jobs"
echo "== Paquete Debian"
join_beside "scripts/package.sh: falló"
tail -n 5 "$here/build/package.log"
# Each target starts from a copy of its committed seeds, so what a run finds stays in the build.
fuzz_one()
{
    local build="$1" target="$2"
    local corpus="$build/fuzz/corpus/$target" log="$build/fuzz/$target.log"
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
}

fuzz_build="$here/build/fuzz"
fuzz_targets=(fuzz_getfileext fuzz_htmltext fuzz_filenames fuzz_windows1252 fuzz_perendat
    fuzz_sortkeys fuzz_quickdeflate fuzz_thumbnails fuzz_videoframe)
build_fuzzers()
{
    CC=clang CXX=clang++ configure "$fuzz_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DBUILD_TESTING=OFF -DFOLIMBRA_FUZZ=ON "$unity"
    cmake --build "$fuzz_build" --target "${fuzz_targets[@]}"
}

# Half as many targets again as cores at a time: on two cores the nine run in three rounds of
# 20 s, not five (the last with one core idle), each on two thirds of a core.
run_fuzzers()
{
    local target failed=0 running=0 together=$((jobs + (jobs + 1) / 2))
    for target in "${fuzz_targets[@]}"; do
        if ((running == together)); then
            wait -n || failed=1
            running=$((running - 1))
        fi
        fuzz_one "$fuzz_build" "$target" &
        running=$((running + 1))
    done
    while ((running > 0)); do
        wait -n || failed=1
        running=$((running - 1))
    done
    return $failed
}

# Qt is not built with ThreadSanitizer: only the tests whose threads are the project's own (the
# thumbnails and the window hand work to Qt's thread pool, which it sees as racing).
echo "== Pruebas con ThreadSanitizer"
thread_tests=(tst_listing tst_platform tst_cli tst_messages)
configure "$here/build/thread" -DCMAKE_BUILD_TYPE=Debug -DFOLIMBRA_SANITIZE_THREAD=ON "$lines" \
    "${full[@]}"
cmake --build "$here/build/thread" --target "${thread_tests[@]}"
# These few tests leave a core to spare: the fuzz targets build on it.
fuzzing=false
if command -v clang++ >/dev/null; then
    fuzzing=true
    beside "$here/build/fuzz-build.log" build_fuzzers
fi
ctest --test-dir "$here/build/thread" --output-on-failure -j "$jobs" \
    -R "^($(IFS='|'; echo "${thread_tests[*]}"))\$"

echo "== Fuzzing, 20 s por objetivo"
if $fuzzing; then
    join_beside "No se pudieron compilar los objetivos de fuzzing"
    run_fuzzers
else
    echo "No hay clang: se omite el fuzzing."
fi

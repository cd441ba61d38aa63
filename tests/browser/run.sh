#!/usr/bin/env bash
# Runs one browser check with the machine's node and Chromium. The npm packages of
# package-lock.json are installed once into MODULES_DIR (in the build folder) and again only when
# the lock file changes. Skips (77) when node, npm or Chromium is missing, but fails under CI=true;
# a browser that is there and cannot start always fails the check.
# Usage: run.sh MODULES_DIR CHECK.mjs [ARGUMENT]...
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
prefix=$1
check=$2
shift 2
chromium=${FOLIMBRA_CHROMIUM:-/usr/bin/chromium}
for tool in node npm "$chromium"; do
    if ! command -v "$tool" >/dev/null; then
        # In CI a missing browser is a fault of the machine, not a reason to pass.
        if [ "${CI:-}" = true ]; then
            echo "FAIL: $tool is missing and CI=true"
            exit 1
        fi
        echo "SKIP: $tool is missing (scripts/packages.sh installs it)"
        exit 77
    fi
done

mkdir -p "$prefix" && prefix=$(cd "$prefix" && pwd) || exit 1
(
    # Checks run side by side share the folder: one installs, the others wait for it.
    flock 9 || exit 1
    if ! cmp -s "$here/package-lock.json" "$prefix/package-lock.json" \
        || [ ! -d "$prefix/node_modules/puppeteer-core" ]; then
        cp "$here/package.json" "$here/package-lock.json" "$prefix/" || exit 1
        PUPPETEER_SKIP_DOWNLOAD=1 npm ci --prefix "$prefix" --no-audit --no-fund --loglevel=error \
            || { rm -f "$prefix/package-lock.json"; exit 1; }
    fi
) 9>"$prefix/.lock" || { echo "FAIL: npm ci could not install the browser check's packages"; exit 1; }

FOLIMBRA_BROWSER_MODULES=$prefix/node_modules FOLIMBRA_CHROMIUM=$chromium \
    exec node "$here/$check" "$@"

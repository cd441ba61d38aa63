#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks that each program's --help, its bash, zsh
# and fish completions and its English and Spanish manual pages name the same options, and that
# the completions are valid for their shells (a shell that is missing is left out).
# Usage: option_sets.sh BUILD_DIR
# shellcheck disable=SC2317 # the from_ functions are called by a name put together below
set -uo pipefail

build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null || exit 1
share=$prefix/share

failed=0
fail() { echo "FAIL: $*"; failed=1; }

from_help() { "$prefix/bin/$1" --help | grep -E '^ +(-[[:alpha:]], )?--' | grep -Eo -- '-(-[a-z-]+|[[:alpha:]])\b'; }
from_bash()
{
    bash -c '. "$1"; COMP_WORDS=(x -); COMP_CWORD=1; "$2"; printf "%s\n" "${COMPREPLY[@]}"' \
        _ "$share/bash-completion/completions/$1" "_${1//-/_}"
}
# Each option line is ('(EXCLUDED)')?({-s,--long}|--long)'=?[HELP]...
from_zsh()
{
    grep -E "^    .*\[" "$share/zsh/vendor-completions/_$1" |
        sed -E "s/^ *('\([^)]*\)')?//; s/\[.*//; s/[{}'=]//g" | tr ',' '\n'
}
from_fish()
{
    grep -Eo -- ' -[sl] [[:alnum:]-]+' "$share/fish/vendor_completions.d/$1.fish" |
        sed -E 's/ -s /-/; s/ -l /--/'
}
# The names at the head of each tagged paragraph of the page in folder $1 for program $2, "--"
# alone (ending options) left out.
from_man()
{
    zcat "$share/man/$1/$2.1.gz" | grep -A1 '^\.TP' | grep -E '^\.B[IR]? \\-' |
        sed 's/\\-/-/g' | grep -Eo -- '-(-[a-z-]+|[[:alpha:]])\b'
}

for program in folimbra-index folimbra; do
    expected=$(from_help "$program" | sort)
    [ -n "$expected" ] || fail "$program --help lists no option"
    for source in bash zsh fish "man man1" "man es/man1"; do
        # shellcheck disable=SC2086 # the source names a function and, for man, its folder
        actual=$(from_$source "$program" | sort)
        [ "$actual" = "$expected" ] ||
            fail "$program: $source differs from --help:"$'\n'"$(diff <(echo "$expected") <(echo "$actual"))"
    done
    if command -v zsh >/dev/null; then
        zsh -n "$share/zsh/vendor-completions/_$program" || fail "zsh -n _$program"
    fi
    if command -v fish >/dev/null; then
        fish -n "$share/fish/vendor_completions.d/$program.fish" || fail "fish -n $program.fish"
    fi
    bash -n "$share/bash-completion/completions/$program" || fail "bash -n $program"
done
# After an option that takes a value, fish offers its values, not folders.
if command -v fish >/dev/null; then
    offered=$(cd "$prefix" && fish --no-config -c 'source $argv[1]; complete -C "folimbra-index --sort "' \
        "$share/fish/vendor_completions.d/folimbra-index.fish" | cut -f1 | sort | tr '\n' ' ')
    [ "$offered" = "date name size taken " ] || fail "fish offers after --sort: $offered"
fi
# zsh offers any number of folders to folimbra-index and one to the window.
for operands in "folimbra-index '*" "folimbra '"; do
    last=$(tail -n1 "$share/zsh/vendor-completions/_${operands% *}")
    [ "$last" = "    ${operands#* }:carpeta:_files -/'" ] || fail "_${operands% *} ends with: $last"
done
exit $failed

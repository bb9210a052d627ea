#!/usr/bin/env bash
# Compiles, syntax only, every file a Mac build compiles, for both macOS architectures, each with its
# target's flags (mac_sources.cmake). The Apple API is declared by the stubs beside this script; C, C++ and
# GoogleTest are borrowed from Debian, glibc_only.h force-included, and no Linux-only library's header may
# be reached. Then makes sure the checks still reject what they are there to reject. Exits 77 (skipped)
# where clang, cmake, an architecture's headers or GoogleTest are missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
src="$root/src"
clang=$(command -v clang++ || true)
[ -n "$clang" ] || { echo "clang++ not found: skipped"; exit 77; }
command -v cmake >/dev/null || { echo "cmake not found: skipped"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*"; exit 1; }

# --- what a Mac build compiles --------------------------------------------------------------------
sources() { cmake -DROOT="$root" -DOUT="$work/$1" "${@:2}" -P "$here/mac_sources.cmake"; }
sources mac.list
sources debug.list -DLUMVAR_DEBUG_NOTIFICATIONS=ON  # as scripts/mac-check builds it
sources linux.list -DMAC=OFF
files() { cut -f2 "$work/$1" | sort -u; }
mac_only=$(comm -23 <(files mac.list) <(files linux.list) | sed "s|^$root/||")
linux_only=$(comm -13 <(files mac.list) <(files linux.list) | sed "s|^$root/||")
[[ -n $mac_only && -n $linux_only ]] || fail "the Mac and Linux lists do not differ: the APPLE branches were not taken"
echo "a Mac build compiles $(files mac.list | wc -l) files; only a Mac: ${mac_only//$'\n'/ }; only Linux: ${linux_only//$'\n'/ }"

# The jobs: each file with its target's flags; a build for scripts/mac-check defines more, and those
# files are compiled again where a new definition can change them (the file or a project header names it).
cp "$work/mac.list" "$work/jobs"
comm -13 <(sort "$work/mac.list") <(sort "$work/debug.list") | while IFS=$'\t' read -r target file flags; do
    plain=$(awk -F'\t' -v f="$file" '$2 == f { print $3 }' "$work/mac.list")
    for flag in $flags; do
        [[ $flag == -D* && " $plain " != *" $flag "* ]] || continue
        name=${flag#-D} && name=${name%%=*}
        if grep -qw "$name" "$file" || grep -rqw --include='*.h' "$name" "$src" "$root/tests"; then
            printf '%s\t%s\t%s\n' "$target" "$file" "$flags"
            break
        fi
    done
done >>"$work/jobs"
again=$(tail -n +"$(($(wc -l <"$work/mac.list") + 1))" "$work/jobs" | cut -f2 | sed "s|^$root/||")
echo "again as scripts/mac-check builds them (LUMVAR_DEBUG_NOTIFICATIONS): ${again//$'\n'/ }"

# --- the compiler's view of a Mac -----------------------------------------------------------------
# Each architecture borrows the headers of the Linux triple with the same data model (arm64: Debian's
# libc6-dev-arm64-cross, libstdc++-12-dev-arm64-cross). Clang predefines __nonnull and friends for Darwin,
# which glibc uses as function-like macros; glibc shows the wide-character functions libstdc++ needs on
# request. The flags go into a response file, one quoted argument a line, for the parallel compiles.
flags_for() {  # arch deployment-target
    flags=(-target "$1-apple-macos$2" -std=c++20 -Wall -Wextra -Wpedantic -Werror -isystem "$here/stubs"
           -I "$src" -I "$root/tests" -stdlib=libc++ -nostdinc -U__nonnull -U__nullable -U__null_unspecified
           -D_GNU_SOURCE)
    local triple=x86_64-linux-gnu dir arg
    [ "$1" = arm64 ] && triple=aarch64-linux-gnu
    while IFS= read -r dir; do flags+=(-isystem "$dir"); done < <(
        "$clang" -target "$triple" -x c++ -E -v /dev/null -o /dev/null 2>&1 |
            sed -n '/<\.\.\.> search starts here:/,/End of search list/{//!s/^ //p}')
    for arg in "${flags[@]}"; do printf '"%s"\n' "${arg//\"/\\\"}"; done >"$work/$1-$2.rsp"
}

# One file: its language from its name, its target's flags, after the prelude (glibc_only.h, or for a
# unit test a header precompiled from it and GoogleTest's), and the headers it reached, none of which
# may belong to a library a Mac does not have.
compile() {  # response-file prelude file target-flags [more arguments]
    local language=c++ first=(-include "$2") deps
    [[ $3 == *.mm ]] && language=objective-c++
    [[ $2 == *.pch ]] && first=(-include-pch "$2")
    deps=$(mktemp "$work/deps.XXXXXX")
    # shellcheck disable=SC2086  # the target's flags, split as CMake wrote them
    "$clang" @"$1" -fsyntax-only "${first[@]}" $4 -x "$language" -Werror=objc-method-access -MD -MF "$deps" \
        "${@:5}" "$3" || return
    if grep -oE '/usr/include/(unicode|pulse|pipewire-[0-9.]+|spa-[0-9.]+|uuid)/[^ ]*' "$deps" | head -n 3 | grep .; then
        echo "$3: reaches the headers above, of a library a Mac build does not have"
        return 1
    fi
}
export -f compile
export clang work
# A check must still reject this: what it is, a pattern its errors match, and compile's arguments.
rejects() {
    [[ $(compile "${@:3}" 2>&1 || true) == *$2* ]] || fail "accepts $1"
    echo "  rejects $1"
}

prelude="$here/glibc_only.h"
mm_flags=$(awk -F'\t' '$2 ~ /core_audio\.mm$/ { print $3; exit }' "$work/mac.list")
unit_test=$(awk -F'\t' '$1 ~ /_tests$/ { print $2; exit }' "$work/mac.list")  # a unit-test file a Mac builds
[ -n "$unit_test" ] || fail "no unit-test file in a Mac build's list"
mm="$src/audio/coreaudio/core_audio.mm"
skipped=0
for arch in x86_64 arm64; do
    flags_for "$arch" 14.2
    rsp="$work/$arch-14.2.rsp"
    if ! printf '#include <mutex>\n#include <string>\n' | "$clang" @"$rsp" -fsyntax-only -x c++ - >/dev/null 2>&1; then
        echo "$arch: no C/C++ headers to borrow: skipped"
        skipped=$((skipped + 1))
        continue
    fi
    # The unit tests (files under tests/ that need no flags of their own) after GoogleTest, precompiled.
    pch="$work/$arch.pch"
    if printf '#include <gtest/gtest.h>\n#include <nlohmann/json.hpp>\n' | "$clang" @"$rsp" -E -x c++ - >/dev/null 2>&1; then
        printf '#include "%s"\n#include <gtest/gtest.h>\n' "$prelude" >"$work/unit_tests.h"
        "$clang" @"$rsp" -x c++-header "$work/unit_tests.h" -o "$pch" || fail "$arch: GoogleTest's headers"
    else
        echo "$arch: no GoogleTest or nlohmann-json headers to borrow: the unit tests skipped"
        skipped=$((skipped + 1))
        pch=""
    fi
    awk -F'\t' -v tests="$root/tests/" -v prelude="$prelude" -v pch="$pch" '
        index($2, tests) != 1 { print prelude "\t" $2 "\t" $3; next }
        pch != "" && $3 == "" { print pch "\t" $2 "\t" $3; next }
        pch != "" { print prelude "\t" $2 "\t" $3 }' "$work/jobs" >"$work/$arch.jobs"
    echo "checking $(wc -l <"$work/$arch.jobs") files for $arch-apple-macos14.2"
    # shellcheck disable=SC2016  # expanded by the inner shell
    xargs -d '\n' -P "$(nproc)" -I '{}' bash -c 'IFS=$'"'\t'"' read -r prelude file flags <<<"$2"
        compile "$1" "$prelude" "$file" "$flags"' _ "$rsp" '{}' <"$work/$arch.jobs" || fail "$arch: the errors above"

    sed 's/\[tap setUUID:/[tap setUuid:/' "$mm" >"$work/misspelt.mm"
    rejects "a misspelt selector" setUuid: "$rsp" "$prelude" "$work/misspelt.mm" "$mm_flags"
    # privateTap's setter is setPrivate:, not the one its name suggests.
    grep -q '\[tap setPrivate:' "$mm" || fail "the tap is no longer made private"
    sed 's/\[tap setPrivate:/[tap setPrivateTap:/' "$mm" >"$work/setter.mm"
    rejects "privateTap's wrong setter" setPrivateTap: "$rsp" "$prelude" "$work/setter.mm" "$mm_flags"
    flags_for "$arch" 14.1
    rejects "macOS 14.1" "only available on macOS 14.2" "$work/$arch-14.1.rsp" "$prelude" "$mm" "$mm_flags"
    if [ -n "$pch" ]; then  # what glibc has and a Mac lacks, in a unit test that itself passed above
        cp "$unit_test" "$work/scratch_test.cpp"
        printf '%s\n' '#include <fcntl.h>' 'int scratchPipeSize(int fd) { return ::fcntl(fd, F_GETPIPE_SZ); }' \
            'int scratchPipe(int* fds) { return ::pipe2(fds, O_CLOEXEC); }' >>"$work/scratch_test.cpp"
        rejects "F_GETPIPE_SZ and pipe2 in a unit test" "undeclared identifier 'F_GETPIPE_SZ'*scratch_test.cpp:*poisoned identifier" \
            "$rsp" "$pch" "$work/scratch_test.cpp" "" -I "$(dirname "$unit_test")"
    fi
    printf '#include <pulse/pulseaudio.h>\n' | cat - "$src/common/uuid.cpp" >"$work/scratch_pulse.cpp"
    rejects "a header of libpulse" "a library a Mac build does not have" "$rsp" "$prelude" "$work/scratch_pulse.cpp" ""
done
[ "$skipped" -eq 0 ] || exit 77

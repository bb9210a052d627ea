#!/usr/bin/env bash
# Compiles, syntax only, every file a Mac build compiles, for both macOS architectures, each with its
# target's flags (CMake's compile commands, configured as for a Mac). The Apple API is declared by the
# stubs beside this script; C, C++ and GoogleTest are borrowed from Debian, glibc_only.h force-included,
# and no Linux-only library's header may be reached. Then makes sure the checks still reject what they are
# there to reject. Exits 77 (skipped) where clang, cmake, python3, an architecture's headers or
# GoogleTest are missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
src="$root/src"
clang=$(command -v clang++ || true)
[ -n "$clang" ] || { echo "clang++ not found: skipped"; exit 77; }
for tool in cmake python3; do command -v $tool >/dev/null || { echo "$tool not found: skipped"; exit 77; }; done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*"; exit 1; }

# --- what a Mac build compiles --------------------------------------------------------------------
# CMake configures the project as for a Mac (darwin.cmake: nothing is built) and its compile commands
# make one line per file: <target> TAB <file> TAB <the file's own flags: definitions, -f options>.
sources() {  # list [cmake options]
    cmake -S "$root" -B "$work/$1.build" -DCMAKE_TOOLCHAIN_FILE="$here/darwin.cmake" -DLUMVAR_BENCH=OFF \
        -DCMAKE_EXPORT_COMPILE_COMMANDS=ON "${@:2}" >"$work/$1.log" 2>&1 || { cat "$work/$1.log"; fail "CMake as on a Mac"; }
    python3 - "$work/$1.build/compile_commands.json" >"$work/$1" <<'EOF'
import json, re, shlex, sys
for entry in json.load(open(sys.argv[1])):
    words = shlex.split(entry["command"])
    target = re.search(r"CMakeFiles/([^/]+)\.dir/", words[words.index("-o") + 1]).group(1)
    print(target, entry["file"], " ".join(w for w in words if w[:2] in ("-D", "-U", "-f")), sep="\t")
EOF
}
sources mac.list
sources debug.list -DLUMVAR_DEBUG_NOTIFICATIONS=ON  # as scripts/mac-check builds it
grep -q '/core_audio\.mm\s' "$work/mac.list" || fail "no Core Audio backend in the list: not configured as a Mac"
echo "a Mac build compiles $(wc -l <"$work/mac.list") files"

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
test_flags=$(awk -F'\t' '$1 ~ /_tests$/ { print $3; exit }' "$work/mac.list")  # GoogleTest's definitions
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
    # The unit tests (files under tests/ with no flags beyond GoogleTest's) after GoogleTest, precompiled.
    pch="$work/$arch.pch"
    if printf '#include <gtest/gtest.h>\n#include <nlohmann/json.hpp>\n' | "$clang" @"$rsp" -E -x c++ - >/dev/null 2>&1; then
        printf '#include "%s"\n#include <gtest/gtest.h>\n' "$prelude" >"$work/unit_tests.h"
        # shellcheck disable=SC2086  # split as CMake wrote them
        "$clang" @"$rsp" $test_flags -x c++-header "$work/unit_tests.h" -o "$pch" || fail "$arch: GoogleTest's headers"
    else
        echo "$arch: no GoogleTest or nlohmann-json headers to borrow: the unit tests skipped"
        skipped=$((skipped + 1))
        pch=""
    fi
    awk -F'\t' -v tests="$root/tests/" -v prelude="$prelude" -v pch="$pch" -v flags="$test_flags" '
        index($2, tests) != 1 { print prelude "\t" $2 "\t" $3; next }
        pch != "" && $3 == flags { print pch "\t" $2 "\t" $3; next }
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
            "$rsp" "$pch" "$work/scratch_test.cpp" "$test_flags" -I "$(dirname "$unit_test")"
    fi
    printf '#include <pulse/pulseaudio.h>\n' | cat - "$src/common/uuid.cpp" >"$work/scratch_pulse.cpp"
    rejects "a header of libpulse" "a library a Mac build does not have" "$rsp" "$prelude" "$work/scratch_pulse.cpp" ""
done
[ "$skipped" -eq 0 ] || exit 77

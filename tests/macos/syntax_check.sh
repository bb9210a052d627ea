#!/usr/bin/env bash
# Checks the macOS sources with clang, syntax only, against the stub declarations beside this script,
# for each macOS architecture and compiled as the real build compiles them: core_audio.mm as
# Objective-C++ with ARC, cf_text.cpp as plain C++. Then makes sure the stubs still reject a misspelt
# selector, privateTap's wrong setter and a deployment target without process taps, so that they cannot
# turn permissive unseen.
# Exits 77 (skipped) where clang or an architecture's C and C++ headers are missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../../src" && pwd)
clang=$(command -v clang++ || true)
[ -n "$clang" ] || { echo "clang++ not found: skipped"; exit 77; }
mm="$src/audio/coreaudio/core_audio.mm"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# There is no C or C++ library for Darwin here: each architecture borrows the headers of the Linux
# triple with the same data model (for arm64, Debian's libc6-dev-arm64-cross and
# libstdc++-12-dev-arm64-cross). Clang predefines __nonnull and friends for Darwin, which glibc uses
# as function-like macros; and glibc shows the wide-character functions libstdc++ needs on request.
flags_for() {  # arch deployment-target
    flags=(-target "$1-apple-macos$2" -std=c++20 -fsyntax-only -Wall -Wextra -Wpedantic -Werror
           -isystem "$here/stubs" -I "$src" -stdlib=libc++ -nostdinc
           -U__nonnull -U__nullable -U__null_unspecified -D_GNU_SOURCE)
    local triple=x86_64-linux-gnu dir
    [ "$1" = arm64 ] && triple=aarch64-linux-gnu
    while IFS= read -r dir; do flags+=(-isystem "$dir"); done < <(
        "$clang" -target "$triple" -x c++ -E -v /dev/null -o /dev/null 2>&1 |
            sed -n '/<\.\.\.> search starts here:/,/End of search list/{//!s/^ //p}')
}
objcxx() { "$clang" "${flags[@]}" -x objective-c++ -fobjc-arc -Werror=objc-method-access "$@"; }

skipped=0
for arch in x86_64 arm64; do
    flags_for "$arch" 14.2
    if ! printf '#include <mutex>\n#include <string>\n' | "$clang" "${flags[@]}" -x c++ - >/dev/null 2>&1; then
        echo "$arch: no C/C++ headers to borrow: skipped"
        skipped=$((skipped + 1))
        continue
    fi
    echo "checking for $arch-apple-macos14.2"
    objcxx "$mm"
    "$clang" "${flags[@]}" -x c++ "$src/common/cf_text.cpp"
    "$clang" "${flags[@]}" -x c++ "$src/common/utf8.cpp"
    sed 's/\[tap setUUID:/[tap setUuid:/' "$mm" >"$work/misspelt.mm"
    if [[ $(objcxx "$work/misspelt.mm" 2>&1 || true) == *setUuid:* ]]; then echo "  rejects a misspelt selector"; else
        echo "FAILED: the stubs accept a misspelt selector"; exit 1; fi
    # privateTap's setter is setPrivate:, not the one its name suggests.
    grep -q '\[tap setPrivate:' "$mm" || { echo "FAILED: the tap is no longer made private"; exit 1; }
    sed 's/\[tap setPrivate:/[tap setPrivateTap:/' "$mm" >"$work/setter.mm"
    if [[ $(objcxx "$work/setter.mm" 2>&1 || true) == *setPrivateTap:* ]]; then echo "  rejects privateTap's wrong setter"; else
        echo "FAILED: the stubs accept setPrivateTap:"; exit 1; fi
    flags_for "$arch" 14.1
    if [[ $(objcxx "$mm" 2>&1 || true) == *"only available on macOS 14.2"* ]]; then echo "  rejects macOS 14.1"; else
        echo "FAILED: the stubs accept process taps before macOS 14.2"; exit 1; fi
done
[ "$skipped" -eq 0 ] || exit 77

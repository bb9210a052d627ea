#!/usr/bin/env bash
# Checks the macOS sources with clang, syntax only, against the stub declarations beside this script,
# for each macOS architecture and compiled as the real build compiles them: core_audio.mm as
# Objective-C++ with ARC, cf_text.cpp as plain C++. Then makes sure that the stubs still reject
# mistakes the SDK would reject, so that they cannot silently become permissive.
# Exits 77 (skipped) where clang is missing, or the C and C++ headers of an architecture: ctest then
# shows that not everything was checked, though what could be checked has passed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../../src" && pwd)
clang=$(command -v clang++ || true)
[ -n "$clang" ] || { echo "clang++ not found: skipped"; exit 77; }

deployment=14.2
mm="$src/audio/coreaudio/core_audio.mm"
cpp="$src/common/cf_text.cpp"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# There is no C or C++ library for Darwin here: each architecture borrows the headers of the Linux
# triple with the same data model (for arm64, Debian's libc6-dev-arm64-cross and
# libstdc++-12-dev-arm64-cross).
linux_triple() {
    case $1 in
        x86_64) echo x86_64-linux-gnu ;;
        arm64) echo aarch64-linux-gnu ;;
    esac
}

# Sets `flags` to what both languages share for one architecture and deployment target.
set_flags() {
    local arch=$1 version=$2 dir
    flags=(-target "$arch-apple-macos$version" -std=c++20 -fsyntax-only -Wall -Wextra -Wpedantic -Werror
           -isystem "$here/stubs" -I "$src")
    # The Linux triple's headers replace the driver's own search path, so the driver's choice of
    # standard library only decides which warning it gives: libc++, as on macOS, gives none.
    flags+=(-stdlib=libc++ -nostdinc)
    while IFS= read -r dir; do flags+=(-isystem "$dir"); done < <(
        "$clang" -target "$(linux_triple "$arch")" -x c++ -E -v /dev/null -o /dev/null 2>&1 |
            sed -n '/<\.\.\.> search starts here:/,/End of search list/{//!s/^ //p}')
    # Clang predefines __nonnull and friends for Darwin, which glibc uses as function-like macros;
    # and glibc shows its wide-character functions, which libstdc++ needs, only on request.
    flags+=(-U__nonnull -U__nullable -U__null_unspecified -D_GNU_SOURCE)
}

objcxx() { "$clang" "${flags[@]}" -x objective-c++ -fobjc-arc -Werror=objc-method-access "$@"; }
cxx() { "$clang" "${flags[@]}" -x c++ "$@"; }

# Compiles a copy of `file` changed by the sed expression and passes only if that fails with a
# diagnostic matching `expected`. An empty expression compiles the file as it is.
rejects() {
    local what=$1 compile=$2 file=$3 expr=$4 expected=$5 copy
    copy="$work/$(basename "$file")"
    if [ -n "$expr" ]; then
        sed -e "$expr" "$file" >"$copy"
        if cmp -s "$file" "$copy"; then
            echo "FAILED: the probe '$what' no longer changes $(basename "$file"): update it"
            return 1
        fi
    else
        cp "$file" "$copy"
    fi
    if "$compile" "$copy" >"$work/out" 2>&1; then
        echo "FAILED: the stubs accept $what"
        return 1
    fi
    if ! grep -Eq -- "$expected" "$work/out"; then
        echo "FAILED: $what fails for another reason than expected ($expected):"
        cat "$work/out"
        return 1
    fi
    echo "  rejects $what"
}

skipped=0
for arch in x86_64 arm64; do
    set_flags "$arch" "$deployment"
    printf '#include <cstdint>\n#include <mutex>\n#include <string>\n' >"$work/probe.cpp"
    if ! cxx "$work/probe.cpp" >"$work/out" 2>&1; then
        echo "$arch: no C/C++ headers for $(linux_triple "$arch"): skipped"
        sed 's/^/  /' "$work/out" | head -5
        skipped=$((skipped + 1))
        continue
    fi
    echo "checking for $arch-apple-macos$deployment"
    echo "  $mm"
    objcxx "$mm"
    echo "  $cpp"
    cxx "$cpp"

    rejects "a misspelt selector" objcxx "$mm" 's/\[tap setUUID:/[tap setUuid:/' \
        "declares the selector 'setUuid:'"
    rejects "a mute behavior given as an object" objcxx "$mm" \
        's/\[tap setMuteBehavior:static_cast<CATapMuteBehavior>(description.muteBehavior)\]/[tap setMuteBehavior:@(description.muteBehavior)]/' \
        "CATapMuteBehavior"
    rejects "a C pointer for a dispatch queue" objcxx "$mm" \
        's/AudioObjectAddPropertyListenerBlock(object, &platform, nullptr,/AudioObjectAddPropertyListenerBlock(object, \&platform, static_cast<void*>(nullptr),/' \
        "OS_dispatch_queue"
    rejects "an array bridged as a dictionary" objcxx "$mm" \
        's/(__bridge CFDictionaryRef)dictionary/(__bridge CFDictionaryRef)taps/' "cannot bridge to 'CFDictionaryRef'"
    rejects "a null size pointer" objcxx "$mm" \
        's/AudioObjectGetPropertyData(object, &platform, 0, nullptr, &size, outData)/AudioObjectGetPropertyData(object, \&platform, 0, nullptr, nullptr, outData)/' \
        "non-null argument"
    rejects "an array for a tap description" objcxx "$mm" \
        's/AudioHardwareCreateProcessTap(tap, &tapID)/AudioHardwareCreateProcessTap(excluded, \&tapID)/' \
        "CATapDescription"
    rejects "Objective-C in the C++ file" cxx "$cpp" 's/^namespace lumvar {$/id object = nil;\n&/' \
        "unknown type name 'id'"
    set_flags "$arch" 14.1
    rejects "process taps below macOS 14.2" objcxx "$mm" "" "only available on macOS 14.2"
done

[ "$skipped" -eq 0 ] || exit 77

#!/bin/sh
# Checks the macOS sources with clang in Objective-C++ syntax-only mode against the stub declarations
# beside this script. Exits 77 (skipped) where clang is missing.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
src="$here/../../src"
clang=$(command -v clang++ || command -v clang || true)
[ -n "$clang" ] || { echo "clang not found: skipped"; exit 77; }
for file in "$src/audio/coreaudio/core_audio.mm" "$src/common/cf_text.cpp"; do
    echo "checking $file"
    "$clang" -x objective-c++ -std=c++20 -fsyntax-only -fblocks -fobjc-runtime=macosx -fobjc-arc \
        -Werror=objc-method-access -Wall -Wextra -Werror -isystem "$here/stubs" -I "$src" "$file"
done

#!/usr/bin/env bash
# Fails when a file under src/ includes a header from a folder above its own, when one format's
# folder includes from another's, or when anything but the registry includes a format's folder.
# The folders, from the top layer down: each may include its own headers and those of the
# folders after it.
set -euo pipefail
cd "$(dirname "$0")/../src"
layers=(window batch row formats resample metadata colour system)
# Not a layer: the forms, which only window/ uses.
forms=forms
rank() {
    local i
    for i in "${!layers[@]}"; do
        [ "${layers[$i]}" = "$1" ] && { echo "$i"; return; }
    done
    echo -1
}
status=0
fail() {
    echo "$1"
    status=1
}
for layer in "${layers[@]}"; do
    own=$(rank "$layer")
    while IFS=: read -r file line folder; do
        used=$(rank "$folder")
        [ "$used" -ge "$own" ] || fail "$file:$line: $layer/ includes from $folder/, a layer above it"
    done < <(grep -rnoE '^#include "[a-z]+/' "$layer" | sed -E 's/#include "([a-z]+)\/$/\1/')
done

# Inside formats/: each format is a folder of its own; the files beside the folders are the
# interface they share and the registry, the one place that lists them.
while IFS=: read -r file line header; do
    own=$(dirname "$file")
    target=$(dirname "$header")
    if [ "$target" = formats ]; then
        [ "$header" != formats/registry.h ] || [ "$own" = formats ] ||
            fail "$file:$line: a format's folder includes the registry"
    elif [ "$own" = formats ]; then
        [ "$file" = formats/registry.cpp ] ||
            fail "$file:$line: only the registry includes a format's folder"
    elif [ "$target" != "$own" ]; then
        fail "$file:$line: $own/ includes from $target/, another format's folder"
    fi
done < <(grep -rnoE '^#include "formats/[a-z/]+\.h"' formats | sed -E 's/#include "(.*)"$/\1/')

# Above formats/, nothing names a format's folder: the row and the batch ask the registry.
while IFS=: read -r file line _; do
    fail "$file:$line: includes a format's own header; ask the registry"
done < <(grep -rnE '^#include "formats/[a-z]+/' window batch row || true)

# Colours change model in colour/ alone; nothing reads the environment; no format names a
# resampling mode, which is the target's to know.
while IFS=: read -r file line _; do
    fail "$file:$line: Little CMS outside colour/"
done < <(grep -rnE 'lcms2\.h|\bcms[A-Z][A-Za-z]*\(' --include='*.cpp' --include='*.h' . |
    grep -v '^./colour/' || true)
while IFS=: read -r file line _; do
    fail "$file:$line: reads the environment"
done < <(grep -rnE '\b(q?getenv|qEnvironmentVariable[A-Za-z]*)\(' --include='*.cpp' --include='*.h' . || true)
while IFS=: read -r file line _; do
    fail "$file:$line: a format names a resampling mode"
done < <(grep -rnE 'Resampling::' formats || true)

unknown=$(find . -mindepth 1 -maxdepth 1 -type d -printf '%f\n' | while read -r d; do
    [ "$d" = "$forms" ] || [ "$(rank "$d")" -ge 0 ] || echo "$d"; done)
[ -z "$unknown" ] || fail "folders not in the layer list: $unknown"
[ $status -eq 0 ] && echo "Layers respected: ${layers[*]}; one folder a format; colour in colour/"
exit $status

#!/usr/bin/env bash
# Fails when a file under src/ includes a header from a folder above its own. The folders, from
# the top layer down: each may include its own headers and those of the folders after it.
set -euo pipefail
cd "$(dirname "$0")/../src"
layers=(window batch row formats metadata system)
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
for layer in "${layers[@]}"; do
    own=$(rank "$layer")
    while IFS=: read -r file line folder; do
        used=$(rank "$folder")
        if [ "$used" -lt "$own" ]; then
            echo "$file:$line: $layer/ includes from $folder/, a layer above it"
            status=1
        fi
    done < <(grep -rnoE '^#include "[a-z]+/' "$layer" | sed -E 's/#include "([a-z]+)\/$/\1/')
done
unknown=$(find . -mindepth 1 -maxdepth 1 -type d -printf '%f\n' | while read -r d; do
    [ "$d" = "$forms" ] || [ "$(rank "$d")" -ge 0 ] || echo "$d"; done)
[ -z "$unknown" ] || { echo "folders not in the layer list: $unknown"; status=1; }
[ $status -eq 0 ] && echo "Layers respected: ${layers[*]}"
exit $status

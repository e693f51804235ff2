#!/usr/bin/env bash
# How close each resampling mode comes to a Lanczos 3 reduction of the same decoded sources
# (mean SSIM and PSNR, by ../shared/tools/quality.py), on the benchmark's photo-like sets, with
# vipsthumbnail beside where it is installed.
#
#   bench/quality.sh SETS_FOLDER [BENCH_BINARY] [SIZE]
#
# SETS_FOLDER is the --sets folder of parvimage_bench. Installs what the check needs.
set -euo pipefail
sets=$1
bench=${2:-build/bench/parvimage_bench}
size=${3:-1024}
tool="$(dirname "$0")/../../shared/tools/quality.py"
source "$(dirname "$0")/needs.sh"
needs python3-skimage imagemagick libvips-tools
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The first six images of a set, decoded to PNG (by libheif for HEIC, which ImageMagick does
# not read here).
sources() {
    mkdir -p "$work/$1/src" "$work/$1/decoded"
    ls "$sets/$1" | head -6 | while read -r name; do
        cp "$sets/$1/$name" "$work/$1/src/"
        case $name in
        *.heic) heif-convert -q 100 "$sets/$1/$name" "$work/$1/decoded/${name%.*}.png" >/dev/null ;;
        *) convert "$sets/$1/$name" "$work/$1/decoded/${name%.*}.png" ;;
        esac
    done
}

# The progressive set holds the baseline set's pixels.
for set in baseline png-photos webp heic; do
    [ -d "$sets/$set" ] || continue
    sources "$set"
    for mode in one one-smooth; do
        mkdir -p "$work/$set/$mode-png" "$work/$set/$mode"
        "$bench" --child "$mode-png" "$work/$set/src" "$work/$set/$mode-png" "$size" >/dev/null
        [ "$set" = baseline ] &&
            "$bench" --child "$mode" "$work/$set/src" "$work/$set/$mode" "$size" >/dev/null
    done
    outputs=("$work/$set/one-png" "$work/$set/one-smooth-png")
    if command -v vipsthumbnail >/dev/null; then
        mkdir -p "$work/$set/vips-png" "$work/$set/vips"
        vipsthumbnail -s "$size" -o "$work/$set/vips-png/%s.png" "$work/$set/src/"* 2>/dev/null
        suffix=$(ls "$work/$set/src" | head -1 | sed 's/.*\.//')
        vipsthumbnail -s "$size" -o "$work/$set/vips/%s.$suffix" "$work/$set/src/"* 2>/dev/null
        outputs+=("$work/$set/vips-png")
    fi
    echo "$set, PNG outputs (nearest, smooth, vipsthumbnail):"
    /usr/bin/python3 "$tool" "$work/$set/decoded" "${outputs[@]}"
    # The check reads JPEG and PNG outputs only.
    if [ "$set" = baseline ]; then
        outputs=("$work/$set/one" "$work/$set/one-smooth")
        [ -d "$work/$set/vips" ] && outputs+=("$work/$set/vips")
        echo "$set, JPEG outputs at each one's default quality:"
        /usr/bin/python3 "$tool" "$work/$set/decoded" "${outputs[@]}"
    fi
    echo
done

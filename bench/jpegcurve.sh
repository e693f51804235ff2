#!/usr/bin/env bash
# JPEG bytes at equal SSIM: the four quality levels (smoothed, written as JPEG through the real
# window at 1024) against vipsthumbnail's own curve on the same photos. Both are compared with
# ImageMagick's Lanczos reduction of each source (../shared/tools/quality.py); metadata is left
# out of the bytes. Prints, for each level, its mean bytes and SSIM and the bytes vipsthumbnail
# needs for that SSIM, read off its curve, as a ratio.
#
#   bench/jpegcurve.sh PHOTOS_DIR [BUILD_DIR]
#
# Installs what the check needs.
set -euo pipefail
photos=$(realpath "$1")
build=$(realpath "${2:-build}")
tool="$(dirname "$0")/../../shared/tools/quality.py"
source "$(dirname "$0")/needs.sh"
needs python3-skimage imagemagick libvips-tools libimage-exiftool-perl
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src"
cp "$photos"/* "$work/src/"

levels=(Max High Normal Compact)
for level in "${levels[@]}"; do
    mkdir -p "$work/ours-$level"
    QT_QPA_PLATFORM=offscreen "$build/tests/windowrun" actionSmooth actionFormatJpeg \
        "actionQuality$level" "$work/ours-$level" "$work"/src/* >/dev/null
done
qualities=(30 40 50 60 70 75 80 85 90 93 95 97)
for q in "${qualities[@]}"; do
    mkdir -p "$work/vips-$q"
    for f in "$work"/src/*; do
        vipsthumbnail "$f" --size 1024 -o "$work/vips-$q/%s.jpg[Q=$q]"
    done
done
exiftool -q -all= -overwrite_original -r "$work"/ours-* "$work"/vips-* >/dev/null || true

folders=()
for level in "${levels[@]}"; do folders+=("$work/ours-$level"); done
for q in "${qualities[@]}"; do folders+=("$work/vips-$q"); done
/usr/bin/python3 "$tool" "$work/src" "${folders[@]}" >"$work/ssim.txt"
for folder in "${folders[@]}"; do
    echo "$(basename "$folder") $(cat "$folder"/* | wc -c) $(ls "$folder" | wc -l)"
done >"$work/bytes.txt"

/usr/bin/python3 - "$work/ssim.txt" "$work/bytes.txt" <<'PY'
import math, sys
ssim = {l.split()[0]: float(l.split('SSIM')[1].split()[0]) for l in open(sys.argv[1])}
size = {l.split()[0]: int(l.split()[1]) / int(l.split()[2]) for l in open(sys.argv[2])}
curve = sorted((ssim[k], size[k], k) for k in ssim if k.startswith('vips-'))
def vips_bytes(s):
    for (s0, b0, _), (s1, b1, _) in zip(curve, curve[1:]):
        if s0 <= s <= s1 and s1 > s0:
            t = (s - s0) / (s1 - s0)
            return math.exp(math.log(b0) + t * (math.log(b1) - math.log(b0)))
    return float('nan')
print('vipsthumbnail: ' + ', '.join('Q%s %.4f %.0f KB' % (k[5:], s, b / 1000) for s, b, k in curve))
for level in ('Max', 'High', 'Normal', 'Compact'):
    k = 'ours-' + level
    v = vips_bytes(ssim[k])
    print('%-8s SSIM %.4f  %.1f KB  vipsthumbnail needs %.1f KB = %.3f x' %
          (level, ssim[k], size[k] / 1000, v / 1000, v / size[k]))
PY

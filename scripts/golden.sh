#!/usr/bin/env bash
# Writes every output of a fixed set of photos through the real window, once for each set of
# Options, and lists each output's digest and what each run's closing box said: run it on two
# builds and compare the lists to show that a change of the code left every byte as it was.
#
#   scripts/golden.sh BUILD_DIR OUT_DIR [INPUT_DIR]
#
# The photos are made in INPUT_DIR (OUT_DIR/inputs by default) by Debian's own tools, unless
# they are there already: give both runs the same INPUT_DIR.
set -euo pipefail
build=$(realpath "$1")
out=$(realpath -m "$2")
inputs=$(realpath -m "${3:-$out/inputs}")
run=$build/tests/windowrun
[ -x "$run" ] || { echo "no $run: build the tests first" >&2; exit 2; }
mkdir -p "$out" "$inputs"

make_inputs() {
    cd "$inputs"
    convert -seed 7 -size 1600x1200 plasma:fractal -blur 0x1 photo.ppm
    convert -seed 8 -size 3000x2000 plasma:fractal large.ppm
    cjpeg -quality 90 -outfile photo.jpg photo.ppm
    exiftool -q -overwrite_original -Orientation#=6 -Artist=Golden -Make=Parvimage \
        -GPSLatitude=48.85 -GPSLatitudeRef=N -GPSLongitude=2.35 -GPSLongitudeRef=E photo.jpg
    cjpeg -restart 1 -outfile restart.jpg large.ppm
    cjpeg -progressive -outfile progressive.jpg photo.ppm
    convert photo.ppm -colorspace CMYK cmyk.jpg
    convert photo.ppm -resize 300x200 -define png:exclude-chunks=date,time small.png
    convert photo.ppm \( +clone -fx 'i/w' \) -alpha off -compose copy_opacity -composite \
        -define png:exclude-chunks=date,time alpha.png
    convert photo.ppm -colorspace Gray -depth 16 -define png:exclude-chunks=date,time grey16.png
    convert photo.ppm photo.tif
    heif-enc -q 70 -o photo.heic photo.jpg >/dev/null
    heif-enc -A -q 70 -o photo.avif photo.jpg >/dev/null
    cwebp -quiet -q 80 photo.ppm -o photo.webp
    cjxl -q 80 photo.ppm photo.jxl >/dev/null 2>&1
    convert -delay 20 -size 120x90 xc:red xc:blue xc:lime -loop 0 anim.gif
    rm -f photo.ppm large.ppm
}
[ -f "$inputs/anim.gif" ] || (make_inputs)

sets=(
    "start:"
    "smooth:actionSmooth"
    "jpeg:actionFormatJpeg"
    "png:actionFormatPng"
    "webp:actionFormatWebp"
    "heic:actionFormatHeic"
    "avif:actionFormatAvif"
    "jxl:actionFormatJxl"
    "maximum:actionQualityMax actionFormatJpeg"
    "high:actionQualityHigh actionFormatWebp"
    "compact:actionQualityCompact actionFormatJpeg"
    "no-enlarge:actionNoEnlarge"
    "keep-date:actionKeepDate"
    "200k:actionSize200 actionFormatJpeg"
    "500k-webp:actionSize500 actionFormatWebp"
    "no-location:actionMetadataNoLocation"
    "no-metadata:actionMetadataNone"
    "srgb:actionSrgb"
    "width:actionSideWidth"
    "height:actionSideHeight"
    "square:actionFrameSquare"
    "4x5-subject:actionFrame4x5 actionFrameSubject"
    "16x9-smooth:actionFrame16x9 actionSmooth"
    "extras:actionExtra320 actionExtra1280"
    "extras-png:actionExtra640 actionFormatPng"
)
files=("$inputs"/*)
rm -f "$out/reports.txt"
for set in "${sets[@]}"; do
    name=${set%%:*}
    read -r -a actions <<<"${set#*:}"
    rm -rf "${out:?}/$name" && mkdir -p "$out/$name"
    echo "== $name" >>"$out/reports.txt"
    QT_QPA_PLATFORM=offscreen "$run" "${actions[@]}" "$out/$name" "${files[@]}" 2>/dev/null |
        sed "s#$out/##g; s#$inputs/##g" >>"$out/reports.txt" || true
done
(cd "$out" && find . -path ./inputs -prune -o -type f ! -name '*.txt' -print0 | sort -z |
    xargs -0 sha256sum) >"$out/digests.txt"
echo "$(wc -l <"$out/digests.txt") outputs listed in $out/digests.txt"

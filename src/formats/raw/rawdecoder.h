#pragma once

#include "formats/format.h"

// Camera raw files through libraw. A raw is shrunk on load as a JPEG is in its DCT: the
// camera's own full-size preview where it is at least the output's size and of the sensor's
// proportions, else libraw's half-size demosaicing where that leaves at least the output's
// size, else the full demosaicing; camera white balance, sRGB, upright by the raw's own flag.
namespace RawDecoder {

// The suffixes of the raws libraw reads, in lower case.
QList<QByteArray> suffixes();

// True where the name is a raw's and libraw reads the file, or it is built on TIFF.
bool recognise(const SourceFile &source);

// `embedded` opens the camera's JPEG preview.
std::unique_ptr<Formats::Decoder> open(const SourceFile &source,
                                       const Formats::EmbeddedOpener &embedded);

// How a row at `box` is decoded: "preview", "half" or "full"; empty where it is not read.
QByteArray pathFor(const SourceFile &source, int box);

} // namespace RawDecoder

#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

// The JPEG encoder: libjpeg laid out as the toolkit's writer lays it out (texts as comments, the
// colour space's profile, the density), with the chroma's sampling left to the caller.
namespace JpegWriter {

struct Settings
{
    int quality = 75;
    bool optimized = true;    // Huffman tables made for the picture
    bool progressive = false; // else one sequential scan
    bool fullChroma = false;  // 4:4:4, else 4:2:0
};

// False with libjpeg's words, or with none where memory ran out.
bool encode(const QImage &image, const Settings &settings, QByteArray *bytes, QString *error);

} // namespace JpegWriter

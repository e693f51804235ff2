#pragma once

#include "colour/cicp.h"

#include <QByteArray>
#include <QColorSpace>
#include <QString>

#include <memory>
#include <optional>

#include <jxl/color_encoding.h>
#include <jxl/decode.h>
#include <jxl/parallel_runner.h>

// JPEG XL files: what they are, the metadata boxes beside the codestream, the colour encodings
// of their header, and the threads libjxl may use.
namespace JxlMetadata {

// True where the file's first bytes are a bare codestream's (FF 0A) or the container's
// signature box (`JXL `), whatever its name says.
bool isJxl(const QByteArray &head);

// True where the container's boxes follow each other to the file's last byte, or the file is a
// bare codestream: nothing cut off and nothing after it, as far as the boxes tell.
bool boxesEndAtEnd(const uchar *data, qint64 size);

struct Boxes
{
    QByteArray exif; // the TIFF block, without the box's 4-byte offset
    QByteArray xmp;
    bool jpegReconstruction = false; // a `jbrd` box: the codestream is a JPEG's coefficients
    bool readable = true;            // every box header could be walked
};

// The Exif, xml and jbrd boxes, Brotli-compressed (`brob`) ones decompressed.
Boxes read(const uchar *data, qint64 size);

// The colour description a decoder's pixels come in: the profile's own bytes where the file
// has one, else its encoding by code points where they say it, else the profile that says the
// same; and the colour space the pixels carry.
struct Colour
{
    QByteArray icc;
    std::optional<Cicp> cicp;
    QColorSpace space;
};

// The colour an encoded (enum) description of the file's header gives its pixels.
Colour fromEncoding(const JxlColorEncoding &encoding);
// The colour of pixels described by an ICC profile's bytes.
Colour fromIcc(const QByteArray &icc);

// The encoding libjxl converts an XYB image's pixels into so that they are in the space of its
// original profile `icc` (or as near as an encoding comes); false where no encoding says that
// profile, whose pixels then come as sRGB.
bool encodingForIcc(const QByteArray &icc, JxlColorEncoding *encoding);
// sRGB, or its grey, as an encoding.
JxlColorEncoding srgbEncoding(bool grey);
// The encoding that says what code points say, for an RGB (or grey) image; false where the file
// cannot say it by encoding.
bool encodingFor(const Cicp &cicp, bool grey, JxlColorEncoding *encoding);

// libjxl's thread pool for the row on this thread: none where the row has one core (libjxl then
// runs on the caller's thread), else as many threads as it may use. Set on a decoder or an
// encoder with runner() and runnerData(), which are null for none.
class Threads
{
public:
    Threads();
    ~Threads();
    Threads(const Threads &) = delete;
    Threads &operator=(const Threads &) = delete;

    JxlParallelRunner runner() const;
    void *runnerData() const { return m_runner; }
    int count() const { return m_count; }

private:
    void *m_runner = nullptr;
    int m_count = 1;
};

// What a decoder's status says, in libjxl's own names.
QString statusWords(const char *function, JxlDecoderStatus status);

} // namespace JxlMetadata

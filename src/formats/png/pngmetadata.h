#pragma once

#include <QByteArray>
#include <QString>

class SourceFile;

// The EXIF (`eXIf`) and XMP (`iTXt` "XML:com.adobe.xmp") chunks of PNG files. The toolkit
// reads neither as metadata: the other text chunks travel with the pixels.
namespace PngMetadata {

struct Blocks
{
    QByteArray exif; // the TIFF block
    QByteArray xmp;
};

// The EXIF and XMP of a PNG, wherever they stand; empty for other files.
Blocks read(const SourceFile &source);

// Puts `blocks` into the encoded PNG `*png` before its image data, in place of any EXIF or XMP
// chunk the encoder wrote. False where `*png` is not a whole PNG.
bool insertInto(QByteArray *png, const Blocks &blocks);

} // namespace PngMetadata

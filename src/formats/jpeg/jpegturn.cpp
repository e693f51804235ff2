#include "formats/jpeg/jpegturn.h"

#include "formats/jpeg/jpegmetadata.h"
#include "system/sourcefile.h"

#include <turbojpeg.h>

#include <memory>

namespace JpegTurn {

namespace {

int operation(QImageIOHandler::Transformations transform)
{
    switch (int(transform)) {
    case QImageIOHandler::TransformationMirror:
        return TJXOP_HFLIP;
    case QImageIOHandler::TransformationFlip:
        return TJXOP_VFLIP;
    case QImageIOHandler::TransformationRotate180:
        return TJXOP_ROT180;
    case QImageIOHandler::TransformationRotate90:
        return TJXOP_ROT90;
    case QImageIOHandler::TransformationRotate270:
        return TJXOP_ROT270;
    case QImageIOHandler::TransformationFlipAndRotate90:
        return TJXOP_TRANSPOSE;
    case QImageIOHandler::TransformationMirrorAndRotate90:
        return TJXOP_TRANSVERSE;
    default:
        return TJXOP_NONE;
    }
}

bool describesOldFile(uchar marker, const QByteArray &payload)
{
    return marker == 0xE1 || marker == 0xED || (marker == 0xE2 && payload.startsWith("MPF"));
}

// The segments before the image data, less those that describe the file as it was.
QByteArray withoutOldDescription(const QByteArray &jpeg)
{
    QByteArray kept = jpeg.left(2);
    int at = 2;
    while (at + 4 <= jpeg.size() && uchar(jpeg.at(at)) == 0xFF) {
        const uchar marker = uchar(jpeg.at(at + 1));
        if (marker == 0xDA)
            break;
        const int length = (uchar(jpeg.at(at + 2)) << 8) | uchar(jpeg.at(at + 3));
        if (length < 2 || at + 2 + length > jpeg.size())
            return QByteArray();
        if (!describesOldFile(marker, jpeg.mid(at + 4, 3)))
            kept += jpeg.mid(at, 2 + length);
        at += 2 + length;
    }
    return kept + jpeg.mid(at);
}

} // namespace

bool turn(const QByteArray &jpeg, QImageIOHandler::Transformations transform, QByteArray *turned)
{
    const int op = operation(transform);
    if (op == TJXOP_NONE || jpeg.isEmpty())
        return false;
    const std::unique_ptr<void, int (*)(tjhandle)> handle(tjInitTransform(), tjDestroy);
    if (!handle)
        return false;
    tjtransform how{};
    how.op = op;
    how.options = TJXOPT_PERFECT;
    unsigned char *out = nullptr;
    unsigned long outSize = 0;
    const int failed = tjTransform(handle.get(), reinterpret_cast<const uchar *>(jpeg.constData()),
                                   jpeg.size(), 1, &out, &outSize, &how, 0);
    if (failed == 0 && out)
        *turned = withoutOldDescription(QByteArray(reinterpret_cast<const char *>(out), outSize));
    tjFree(out);
    return failed == 0 && !turned->isEmpty();
}

bool turnWithMetadata(const QByteArray &jpeg, QImageIOHandler::Transformations transform,
                      const PhotoMetadata &metadata, const QSize &upright, QByteArray *turned,
                      LeftOuts *leftOut)
{
    // A gain map after the picture would need turning as well: such files are coded again.
    const GainMap &map = metadata.record().gainMap;
    if (map.readable() || !map.segments.isEmpty() || !turn(jpeg, transform, turned))
        return false;
    JpegMetadata::insertInto(turned, metadata, upright, leftOut);
    return true;
}

bool isWholeFile(const SourceFile &source)
{
    return source.size() > 4 && source.head().startsWith("\xFF\xD8\xFF") &&
           source.read(source.size() - 2, 2) == "\xFF\xD9";
}

} // namespace JpegTurn

// libFuzzer target: any bytes as a source's metadata (JPEG segments, HEIF items, WebP or PNG
// chunks), carried into small JPEG and PNG outputs by their writers, with every metadata choice:
// all of it, all but the location, or nothing but the colour profile.
#include "formats/registry.h"
#include "metadata/location.h"
#include "resample/wholeimage.h"
#include "rowload.h"
#include "system/sourcefile.h"

#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <exiv2/exiv2.hpp>

#include <cstdlib>

namespace {

QTemporaryDir *folder = nullptr;
QImage *image = nullptr;

// No GPS directory in the output's EXIF, as Exiv2 reads it, and no coordinate left in its
// XMP: taking the location out once more changes nothing.
void checkNoLocation(const QByteArray &bytes, const PhotoMetadata &written)
{
    try {
        const auto output = Exiv2::ImageFactory::open(
            reinterpret_cast<const Exiv2::byte *>(bytes.constData()), long(bytes.size()));
        output->readMetadata();
        for (const Exiv2::Exifdatum &datum : output->exifData())
            if (datum.groupName() == "GPSInfo")
                std::abort();
    } catch (const Exiv2::AnyError &) {
        // What Exiv2 cannot read, no reader takes a location from either.
    }
    QByteArray xmp = written.record().xmp;
    QList<QByteArray> extended = written.record().extendedXmp;
    const QByteArray before = xmp;
    if (Location::removeFromXmp(&xmp) && Location::removeFromExtendedXmp(&extended, &xmp) &&
        xmp != before)
        std::abort();
}

// Nothing but the colour profile: no EXIF, XMP or IPTC, and no gain map.
void checkColourOnly(const PhotoMetadata &written)
{
    const PhotoMetadata::Record &r = written.record();
    if (!r.exif.isEmpty() || !r.xmp.isEmpty() || !r.extendedXmp.isEmpty() || !r.iptc.isEmpty() ||
        r.gainMap.present())
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    Formats::initialiseLibraries();
    static QCoreApplication app(*argc, *argv);
    folder = new QTemporaryDir(QDir::tempPath() + "/parvimage-fuzz-XXXXXX");
    image = new QImage(24, 16, QImage::Format_RGB32);
    image->fill(Qt::darkCyan);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    const SourceFile source(input, QStringLiteral("input.jpg"));
    const PhotoMetadata read = Formats::open(source)->metadata();
    // Whatever the metadata, each output stays a sound file of the same image; a gain map the
    // file declares is carried, as a row carries it, with pixels of its own.
    for (const MetadataKeep keep :
         {MetadataKeep::All, MetadataKeep::NoLocation, MetadataKeep::ColourOnly}) {
        PhotoMetadata metadata = read.filtered(keep, true);
        if (metadata.record().gainMap.readable())
            metadata = metadata.withGainMapImage(
                image->convertToFormat(QImage::Format_Grayscale8), QSize(48, 32),
                [](const QImage &map, const QSize &size) { return sampleSmooth(map, size); });
        for (const QByteArray format : {"jpg", "png"}) {
            QByteArray bytes;
            LeftOuts leftOut;
            Formats::EncodeError error;
            Formats::EncodeRequest request;
            request.encoding.format = format;
            if (!Formats::writerFor(format).encode(*image, request, metadata, &bytes, &leftOut,
                                                   &error) ||
                QImage::fromData(bytes).size() != QSize(24, 16))
                std::abort();
            const QString path = folder->filePath(QStringLiteral("output.") + format);
            QFile output(path);
            if (!output.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
                output.write(bytes) != bytes.size())
                std::abort();
            output.close();
            const PhotoMetadata written = RowLoad::metadata(path);
            if (keep == MetadataKeep::NoLocation)
                checkNoLocation(bytes, written);
            else if (keep == MetadataKeep::ColourOnly)
                checkColourOnly(written);
        }
    }
    return 0;
}

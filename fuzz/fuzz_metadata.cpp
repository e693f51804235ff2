// libFuzzer target: any bytes as a source's metadata (JPEG segments, HEIF items, WebP or PNG
// chunks), carried into small JPEG and PNG outputs by their writers.
#include "formats/registry.h"

#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <cstdlib>

namespace {
QTemporaryDir *folder = nullptr;
QImage *image = nullptr;
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
    const QString path = folder->filePath("input.jpg");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        std::abort();
    file.write(reinterpret_cast<const char *>(data), qint64(size));
    file.close();

    // Whatever the metadata, each output stays a sound file of the same image; a gain map the
    // file declares is carried, as a row carries it, with pixels of its own.
    PhotoMetadata metadata = Formats::readMetadata(path).filtered(MetadataKeep::All, true);
    if (metadata.record().gainMap.readable())
        metadata = metadata.withGainMapImage(image->convertToFormat(QImage::Format_Grayscale8),
                                             QSize(48, 32), true);
    for (const QByteArray format : {"jpg", "png"}) {
        QByteArray bytes;
        QStringList leftOut;
        QString error;
        if (!Formats::writerFor(format).encode(*image, {format, -1, false}, metadata, &bytes,
                                               &leftOut, &error) ||
            QImage::fromData(bytes).size() != QSize(24, 16))
            std::abort();
    }
    return 0;
}

// libFuzzer target: any bytes as a source's metadata (JPEG segments, HEIF items, WebP or PNG
// chunks), carried into small encoded JPEG and PNG outputs.
#include "metadata/photometadata.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <cstdlib>

namespace {
QTemporaryDir *folder = nullptr;
QByteArray *output = nullptr;
QByteArray *pngOutput = nullptr;
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    folder = new QTemporaryDir(QDir::tempPath() + "/parvimage-fuzz-XXXXXX");
    output = new QByteArray;
    QBuffer buffer(output);
    buffer.open(QIODevice::WriteOnly);
    QImage image(24, 16, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    image.save(&buffer, "jpg");
    pngOutput = new QByteArray;
    QBuffer pngBuffer(pngOutput);
    pngBuffer.open(QIODevice::WriteOnly);
    image.save(&pngBuffer, "png");
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

    const PhotoMetadata metadata = PhotoMetadata::read(path);
    QByteArray jpeg = *output;
    QStringList leftOut;
    const bool carried = metadata.insertInto(&jpeg, QSize(24, 16), &leftOut);
    // Whatever the metadata, the output stays a sound JPEG of the same image, and what was
    // left out is said.
    if (carried != leftOut.isEmpty() || !jpeg.startsWith("\xff\xd8"))
        std::abort();
    if (QImage::fromData(jpeg, "jpg").size() != QSize(24, 16))
        std::abort();
    QByteArray png = *pngOutput;
    if (metadata.insertIntoPng(&png, QSize(24, 16), &leftOut) != leftOut.isEmpty() ||
        QImage::fromData(png, "png").size() != QSize(24, 16))
        std::abort();
    return 0;
}

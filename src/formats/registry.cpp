#include "formats/registry.h"

#include "formats/heif/heifformat.h"
#include "formats/jpeg/jpegformat.h"
#include "formats/jpeg/jpegstream.h"
#include "formats/png/pngformat.h"
#include "formats/raw/rawformat.h"
#include "formats/raw/rawstream.h"
#include "formats/tiff/tiffformat.h"
#include "formats/toolkit/toolkitformat.h"
#include "formats/webp/webpformat.h"

#include <QImageWriter>

namespace Formats {

namespace {

// Content recognition runs in this order; the toolkit's others come last.
const QList<const Entry *> &entries()
{
    static const QList<const Entry *> all = [] {
        // A raw's preview is a JPEG: it is streamed as JPEG files are.
        RawStream::setEmbeddedJpegDecoder(
            {JpegStream::decodeScaledData, JpegStream::memoryEstimateData});
        return QList<const Entry *>{
            &HeifFormat::entry(),    &WebPFormat::entry(), &RawFormat::entry(),
            &JpegFormat::entry(),    &PngFormat::entry(),  &TiffFormat::entry(),
            &ToolkitFormat::entry(),
        };
    }();
    return all;
}

const Entry *entryFor(const QByteArray &format)
{
    for (const Entry *entry : entries())
        if (entry->names.contains(format))
            return entry;
    return nullptr;
}

} // namespace

QByteArray detectFormat(const QString &path, const QImageReader &reader)
{
    for (const Entry *entry : entries())
        if (entry->recognise && entry->recognise(path))
            return entry->names.first();
    return reader.format();
}

const Decoder &decoderFor(const QByteArray &format)
{
    static const Decoder toolkit;
    const Entry *entry = entryFor(format);
    return entry ? entry->decoder : toolkit;
}

PhotoMetadata readMetadata(const QString &path, const QByteArray &format)
{
    const Entry *entry = entryFor(format);
    return entry && entry->readMetadata ? entry->readMetadata(path) : PhotoMetadata();
}

PhotoMetadata readMetadata(const QString &path)
{
    const QImageReader reader(path);
    return readMetadata(path, detectFormat(path, reader));
}

QList<const Writer *> writers()
{
    QList<const Writer *> all;
    for (const Entry *entry : entries())
        for (const Writer &writer : entry->writers)
            all.append(&writer);
    return all;
}

const Writer &writerFor(const QByteArray &suffix)
{
    static const QList<const Writer *> all = writers();
    for (const Writer *writer : all)
        if (writer->suffixes.contains(suffix))
            return *writer;
    return *all.last();
}

QList<QByteArray> writableFormats()
{
    QList<QByteArray> formats = QImageWriter::supportedImageFormats();
    for (const Writer *writer : writers())
        if (writer->ownEncoder)
            formats += writer->suffixes;
    return formats;
}

QList<QByteArray> readableFormats()
{
    QList<QByteArray> formats = QImageReader::supportedImageFormats();
    for (const Entry *entry : entries())
        formats += entry->ownSuffixes + entry->readOnlySuffixes;
    return formats;
}

QByteArray writtenAsFor(const QByteArray &suffix)
{
    for (const Entry *entry : entries())
        if (entry->readOnlySuffixes.contains(suffix))
            return entry->writtenAs;
    return QByteArray();
}

} // namespace Formats

int EncoderQuality::setting(const QByteArray &format, Quality quality)
{
    return Formats::writerFor(format).setting(quality);
}

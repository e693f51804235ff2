#include "formats/registry.h"

#include "formats/gif/gifformat.h"
#include "formats/heif/heifformat.h"
#include "formats/jpeg/jpegformat.h"
#include "formats/jxl/jxlformat.h"
#include "formats/png/pngformat.h"
#include "formats/raw/rawformat.h"
#include "formats/sourcedevice.h"
#include "formats/tiff/tiffformat.h"
#include "formats/toolkit/toolkitformat.h"
#include "formats/toolkitcodec.h"
#include "formats/toolkitdecoder.h"
#include "formats/webp/webpformat.h"
#include "system/sourcefile.h"

#include <QImageReader>
#include <QImageWriter>

#include <atomic>

namespace Formats {

namespace {

// Content recognition runs in this order; the toolkit's others come last.
const QList<const Entry *> &entries()
{
    static const QList<const Entry *> all = [] {
        return QList<const Entry *>{
            &HeifFormat::entry(), &WebPFormat::entry(), &JxlFormat::entry(),
            &RawFormat::entry(),  &JpegFormat::entry(), &PngFormat::entry(),
            &TiffFormat::entry(), &GifFormat::entry(),  &ToolkitFormat::entry(),
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

// What a file holds of another format, its content telling which: a raw's preview.
std::unique_ptr<Decoder> openEmbedded(const QByteArray &bytes,
                                      QImageIOHandler::Transformations transform)
{
    auto source = std::make_unique<SourceFile>(bytes);
    for (const Entry *entry : entries()) {
        if (!entry->openEmbedded || entry->names.isEmpty())
            continue;
        const std::unique_ptr<QIODevice> device = sourceDevice(*source);
        if (QImageReader(device.get()).format() != entry->names.first())
            continue;
        std::unique_ptr<Decoder> decoder = entry->openEmbedded(*source, transform);
        decoder->adopt(std::move(source));
        return decoder;
    }
    return nullptr;
}

} // namespace

namespace {

std::atomic<bool> initialised{false};

} // namespace

bool librariesInitialised()
{
    return initialised;
}

void initialiseLibraries()
{
    initialised = true;
    ToolkitCodec::allowLargestAcceptedImage();
    for (const Entry *entry : entries())
        if (entry->initialise)
            entry->initialise();
}

std::unique_ptr<Decoder> open(const SourceFile &source)
{
    for (const Entry *entry : entries())
        if (entry->recognise && entry->recognise(source))
            return entry->open(source, openEmbedded);
    const std::unique_ptr<QIODevice> device = sourceDevice(source);
    const Entry *entry = entryFor(QImageReader(device.get()).format());
    if (entry && entry->open)
        return entry->open(source, openEmbedded);
    return std::make_unique<ToolkitDecoder>(source);
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

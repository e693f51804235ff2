#include "formats/webp/webpmetadata.h"

#include <QtEndian>

#include <webp/mux.h>

namespace WebPMetadata {

namespace {

constexpr qint64 ChunkHeader = 8;

bool hasWebPHeader(const QByteArray &head)
{
    return head.size() >= 12 && head.startsWith("RIFF") && head.mid(8, 4) == "WEBP";
}

} // namespace

bool isWebP(const QByteArray &head)
{
    return hasWebPHeader(head.left(12));
}

Blocks read(const QByteArray &file)
{
    Blocks blocks;
    if (!hasWebPHeader(file.left(12)))
        return blocks;
    for (qint64 at = 12; at + ChunkHeader <= file.size();) {
        const QByteArray header = file.mid(int(at), int(ChunkHeader));
        if (header.size() != ChunkHeader)
            break;
        const qint64 length = qFromLittleEndian<quint32>(header.constData() + 4);
        if (length > file.size() - at - ChunkHeader)
            break;
        const QByteArray name = header.left(4);
        QByteArray *target = name == "EXIF"   ? &blocks.exif
                             : name == "XMP " ? &blocks.xmp
                             : name == "ICCP" ? &blocks.icc
                                              : nullptr;
        if (target && target->isEmpty())
            *target = file.mid(int(at + ChunkHeader), int(length));
        at += ChunkHeader + length + (length & 1);
    }
    if (blocks.exif.startsWith(QByteArray("Exif\0\0", 6)))
        blocks.exif.remove(0, 6);
    return blocks;
}

bool insertInto(QByteArray *webp, const Blocks &blocks, QString *error)
{
    if (blocks.exif.isEmpty() && blocks.xmp.isEmpty() && blocks.icc.isEmpty())
        return true;
    const WebPData input{reinterpret_cast<const uint8_t *>(webp->constData()),
                         size_t(webp->size())};
    WebPMux *mux = WebPMuxCreate(&input, 0);
    if (!mux) {
        *error = QStringLiteral("WebPMuxCreate");
        return false;
    }
    const auto set = [mux](const char *name, const QByteArray &bytes) {
        const WebPData data{reinterpret_cast<const uint8_t *>(bytes.constData()),
                            size_t(bytes.size())};
        return bytes.isEmpty() || WebPMuxSetChunk(mux, name, &data, 1) == WEBP_MUX_OK;
    };
    WebPData output{nullptr, 0};
    const bool done = set("ICCP", blocks.icc) && set("EXIF", blocks.exif) &&
                      set("XMP ", blocks.xmp) && WebPMuxAssemble(mux, &output) == WEBP_MUX_OK;
    if (done)
        *webp = QByteArray(reinterpret_cast<const char *>(output.bytes), int(output.size));
    else
        *error = QStringLiteral("WebPMuxAssemble");
    WebPDataClear(&output);
    WebPMuxDelete(mux);
    return done;
}

} // namespace WebPMetadata

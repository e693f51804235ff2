#include "formats/tiff/tiffwriter.h"

#include "formats/tiff/tiffmetadata.h"

#include <QColorSpace>

#include <cstdio>
#include <cstring>

#include <tiffio.h>

namespace TiffWriter {

namespace {

// The file libtiff writes, in memory: it seeks back to write the directory.
struct Memory
{
    QByteArray bytes;
    qint64 position = 0;
};

Memory *memoryOf(thandle_t handle)
{
    return static_cast<Memory *>(handle);
}

tsize_t readMemory(thandle_t handle, tdata_t to, tsize_t size)
{
    Memory *m = memoryOf(handle);
    const qint64 count = qBound(qint64(0), qint64(m->bytes.size()) - m->position, qint64(size));
    std::memcpy(to, m->bytes.constData() + m->position, size_t(count));
    m->position += count;
    return tsize_t(count);
}

tsize_t writeMemory(thandle_t handle, tdata_t from, tsize_t size)
{
    Memory *m = memoryOf(handle);
    const qint64 end = m->position + qint64(size);
    if (end > INT_MAX)
        return 0;
    if (end > m->bytes.size())
        m->bytes.resize(int(end));
    std::memcpy(m->bytes.data() + m->position, from, size_t(size));
    m->position = end;
    return size;
}

toff_t seekMemory(thandle_t handle, toff_t offset, int whence)
{
    Memory *m = memoryOf(handle);
    const qint64 base = whence == SEEK_CUR ? m->position : whence == SEEK_END ? m->bytes.size() : 0;
    m->position = base + qint64(offset);
    return toff_t(m->position);
}

int closeMemory(thandle_t)
{
    return 0;
}

toff_t sizeMemory(thandle_t handle)
{
    return toff_t(memoryOf(handle)->bytes.size());
}

int mapMemory(thandle_t, tdata_t *, toff_t *)
{
    return 0;
}

void unmapMemory(thandle_t, tdata_t, toff_t) {}

// The pixels as they are written: a colour map, grey or RGB, 8 or 16 bits as the image has them,
// alpha unassociated where it has one.
QImage storedImage(const QImage &image)
{
    switch (image.format()) {
    case QImage::Format_Indexed8:
    case QImage::Format_Grayscale8:
    case QImage::Format_Grayscale16:
        return image;
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
        return image.convertToFormat(QImage::Format_Indexed8);
    default:
        break;
    }
    const bool deep = image.depth() >= 48;
    const bool alpha = image.hasAlphaChannel();
    if (deep)
        return image.convertToFormat(alpha ? QImage::Format_RGBA64 : QImage::Format_RGBX64);
    return image.convertToFormat(alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
}

struct Shape
{
    int samples = 3;
    int bits = 8;
    int photometric = PHOTOMETRIC_RGB;
    bool alpha = false;
    bool padded = false; // RGBX64: the fourth sample is dropped
};

Shape shapeOf(const QImage &stored)
{
    Shape s;
    switch (stored.format()) {
    case QImage::Format_Indexed8:
        s.samples = 1;
        s.photometric = PHOTOMETRIC_PALETTE;
        break;
    case QImage::Format_Grayscale8:
    case QImage::Format_Grayscale16:
        s.samples = 1;
        s.photometric = PHOTOMETRIC_MINISBLACK;
        s.bits = stored.format() == QImage::Format_Grayscale16 ? 16 : 8;
        break;
    case QImage::Format_RGBA64:
    case QImage::Format_RGBA8888:
        s.samples = 4;
        s.alpha = true;
        s.bits = stored.depth() == 64 ? 16 : 8;
        break;
    case QImage::Format_RGBX64:
        s.bits = 16;
        s.padded = true;
        break;
    default:
        break;
    }
    return s;
}

// Unused entries black: libtiff takes 256.
void setColourMap(TIFF *tiff, const QImage &stored)
{
    QVector<quint16> red(256), green(256), blue(256);
    const QVector<QRgb> table = stored.colorTable();
    for (int i = 0; i < table.size() && i < 256; ++i) {
        red[i] = quint16(qRed(table[i]) * 257);
        green[i] = quint16(qGreen(table[i]) * 257);
        blue[i] = quint16(qBlue(table[i]) * 257);
    }
    TIFFSetField(tiff, TIFFTAG_COLORMAP, red.data(), green.data(), blue.data());
}

// As the source was where it was lossless: LZW stays LZW, the rest is deflated.
int compressionFor(const PhotoMetadata &metadata)
{
    return metadata.record().tiff.compression == COMPRESSION_LZW ? COMPRESSION_LZW
                                                                 : COMPRESSION_ADOBE_DEFLATE;
}

void setTags(TIFF *tiff, const QImage &stored, const Shape &s, int compression)
{
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, quint32(stored.width()));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, quint32(stored.height()));
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, quint16(s.samples));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, quint16(s.bits));
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, quint16(s.photometric));
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, quint16(compression));
    // Colour-map indices gain nothing from differences.
    if (s.photometric != PHOTOMETRIC_PALETTE)
        TIFFSetField(tiff, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    if (s.alpha) {
        const quint16 extra = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    if (s.photometric == PHOTOMETRIC_PALETTE)
        setColourMap(tiff, stored);
    const qint64 rowBytes = qint64(stored.width()) * s.samples * s.bits / 8;
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP,
                 quint32(qBound(qint64(1), 256 * 1024 / qMax(rowBytes, qint64(1)), qint64(65536))));
    if (stored.dotsPerMeterX() > 0 && stored.dotsPerMeterY() > 0) {
        TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        TIFFSetField(tiff, TIFFTAG_XRESOLUTION, float(stored.dotsPerMeterX() * 0.0254));
        TIFFSetField(tiff, TIFFTAG_YRESOLUTION, float(stored.dotsPerMeterY() * 0.0254));
    }
}

// The colour description, XMP and IPTC, which libtiff writes as tags of the image's directory.
void setMetadata(TIFF *tiff, const QImage &image, const PhotoMetadata &metadata,
                 const PhotoMetadata::Corrected &fixed)
{
    const QByteArray icc = metadata.profileFor(image.colorSpace(), false);
    if (!icc.isEmpty())
        TIFFSetField(tiff, TIFFTAG_ICCPROFILE, quint32(icc.size()), icc.constData());
    const TiffTags &own = metadata.record().tiff;
    if (own.whitePoint.size() == 2 && own.primaries.size() == 6) {
        TIFFSetField(tiff, TIFFTAG_WHITEPOINT, own.whitePoint.constData());
        TIFFSetField(tiff, TIFFTAG_PRIMARYCHROMATICITIES, own.primaries.constData());
    }
    if (!fixed.xmp.isEmpty())
        TIFFSetField(tiff, TIFFTAG_XMLPACKET, quint32(fixed.xmp.size()), fixed.xmp.constData());
    QByteArray iptc = TiffMetadata::iimOf(metadata.record().iptc);
    if (!iptc.isEmpty()) {
        iptc.append(QByteArray((4 - iptc.size() % 4) % 4, '\0')); // whole longs, as readers expect
        TIFFSetField(tiff, TIFFTAG_RICHTIFFIPTC, quint32(iptc.size()), iptc.constData());
    }
}

// A strip at a time: libtiff compresses whole strips through libdeflate, far faster than
// zlib's row by row.
bool writeRows(TIFF *tiff, const QImage &stored, const Shape &s)
{
    quint32 rows = 1;
    TIFFGetField(tiff, TIFFTAG_ROWSPERSTRIP, &rows);
    const qint64 rowBytes = qint64(stored.width()) * s.samples * s.bits / 8;
    QByteArray strip(int(rowBytes * rows), '\0');
    for (int y0 = 0, index = 0; y0 < stored.height(); y0 += int(rows), ++index) {
        const int count = qMin(int(rows), stored.height() - y0);
        for (int r = 0; r < count; ++r) {
            char *to = strip.data() + r * rowBytes;
            const uchar *from = stored.constScanLine(y0 + r);
            if (!s.padded) {
                std::memcpy(to, from, size_t(rowBytes));
                continue;
            }
            for (int x = 0; x < stored.width(); ++x) // RGBX64: the fourth sample dropped
                std::memcpy(to + 6 * x, from + 8 * x, 6);
        }
        if (TIFFWriteEncodedStrip(tiff, quint32(index), strip.data(), tmsize_t(count * rowBytes)) <
            0)
            return false;
    }
    return true;
}

} // namespace

qint64 memoryEstimate(const QSize &size)
{
    // The stored copy, the file and Exiv2's copies of it while it adds the EXIF directories.
    return qint64(size.width()) * size.height() * 8 * 3 + 2 * 1024 * 1024;
}

bool encode(const QImage &image, const PhotoMetadata &metadata, QByteArray *bytes,
            LeftOuts *leftOut, QString *error)
{
    const QImage stored = storedImage(image);
    const Shape shape = shapeOf(stored);
    const PhotoMetadata::Corrected fixed = metadata.corrected(image.size());
    Memory memory;
    TIFF *tiff = TIFFClientOpen("memory", "w", &memory, readMemory, writeMemory, seekMemory,
                                closeMemory, sizeMemory, mapMemory, unmapMemory);
    if (!tiff) {
        *error = QStringLiteral("libtiff");
        return false;
    }
    setTags(tiff, stored, shape, compressionFor(metadata));
    setMetadata(tiff, image, metadata, fixed);
    const bool written = writeRows(tiff, stored, shape) && TIFFWriteDirectory(tiff);
    TIFFClose(tiff);
    if (!written || memory.bytes.isEmpty()) {
        *error = QStringLiteral("libtiff");
        return false;
    }
    *leftOut += fixed.leftOut + metadata.colourLeftOut(image.colorSpace(), true);
    if (!metadata.record().extendedXmp.isEmpty())
        leftOut->append(LeftOut::ExtendedXmp);
    if (!fixed.exif.isEmpty() && !TiffMetadata::insertExif(&memory.bytes, fixed.exif))
        leftOut->append(LeftOut::ExifNotWritten);
    *bytes = memory.bytes;
    return true;
}

} // namespace TiffWriter

#include "batch/outcometext.h"
#include "formats/registry.h"
#include "row/imageresizer.h"
#include "system/sourcefile.h"
#include "testimages.h"
#include "testmain.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <cmath>
#include <functional>

#include <tiffio.h>

using Formats::Status;

class TestTiff : public QObject
{
    Q_OBJECT

private slots:
    void layouts_data();
    void layouts();
    void written_data();
    void written();
    void metadata_data();
    void metadata();
    void damaged_data();
    void damaged();
    void hostileTiles_data();
    void hostileTiles();

private:
    QTemporaryDir m_dir;
};

// How a test file lays out its samples.
struct Make
{
    int bits = 8;
    int format = SAMPLEFORMAT_UINT;
    int photometric = PHOTOMETRIC_RGB;
    int samples = 3;
    int extra = -1; // the alpha's EXTRASAMPLE_ kind, -1 for none
    bool planar = false;
    bool tiled = false;
    int compression = COMPRESSION_NONE;
};
Q_DECLARE_METATYPE(Make)

namespace {

const QSize Size(67, 45); // odd, with partial tiles and strips

// Sample `c` of pixel (x, y), in 0..1: ramps that differ by channel, alpha from 0.2 up.
double level(int x, int y, int c, int channels, int alphaAt)
{
    if (c == alphaAt)
        return 0.2 + 0.8 * x / (Size.width() - 1);
    const double t = (x * (c + 1) + y * (channels - c) * 3) % 97 / 96.0;
    return c == 3 && alphaAt != 3 ? t * 0.5 : t; // the fourth ink lighter
}

void putSample(uchar *row, qint64 index, const Make &m, double value)
{
    const double max = std::ldexp(1.0, m.bits) - 1;
    if (m.format == SAMPLEFORMAT_IEEEFP) {
        reinterpret_cast<float *>(row)[index] = float(value);
    } else if (m.format == SAMPLEFORMAT_INT) {
        reinterpret_cast<qint16 *>(row)[index] = qint16(std::lround(value * 65535 - 32768));
    } else if (m.bits == 16) {
        reinterpret_cast<quint16 *>(row)[index] = quint16(std::lround(value * max));
    } else if (m.bits == 32) {
        reinterpret_cast<quint32 *>(row)[index] = quint32(std::llround(value * max));
    } else {
        const quint32 v = quint32(std::lround(value * max));
        for (int b = 0; b < m.bits; ++b) {
            const qint64 bit = index * m.bits + b;
            if (v >> (m.bits - 1 - b) & 1)
                row[bit / 8] |= uchar(0x80 >> (bit % 8));
        }
    }
}

// The file written by libtiff itself; for Lab, L a ramp and a and b small.
bool writeTiff(const QString &path, const Make &m)
{
    TIFF *tiff = TIFFOpen(QFile::encodeName(path).constData(), "w");
    if (!tiff)
        return false;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, Size.width());
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, Size.height());
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, m.samples);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, m.bits);
    TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT, m.format);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, m.photometric);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, m.compression);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG,
                 m.planar ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    const int alphaAt = m.extra >= 0 ? m.samples - 1 : -1;
    if (m.extra >= 0) {
        const quint16 extra = quint16(m.extra);
        TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    if (m.photometric == PHOTOMETRIC_PALETTE) {
        QVector<quint16> r(1 << m.bits), g(1 << m.bits), b(1 << m.bits);
        for (int i = 0; i < r.size(); ++i) {
            r[i] = quint16(i * 65535 / (r.size() - 1));
            g[i] = quint16(65535 - r[i]);
            b[i] = quint16((i * 40503) % 65536);
        }
        TIFFSetField(tiff, TIFFTAG_COLORMAP, r.data(), g.data(), b.data());
    }
    const int height = m.tiled ? 16 : 7;
    if (m.tiled) {
        TIFFSetField(tiff, TIFFTAG_TILEWIDTH, 16);
        TIFFSetField(tiff, TIFFTAG_TILELENGTH, 16);
    } else {
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, height);
    }
    const int perRow = m.planar ? 1 : m.samples;
    const int width = m.tiled ? 16 : Size.width();
    bool written = true;
    for (int plane = 0; plane < (m.planar ? m.samples : 1); ++plane)
        for (int y0 = 0; y0 < Size.height(); y0 += height)
            for (int x0 = 0; x0 < Size.width(); x0 += width) {
                const qint64 rowBytes = (qint64(width) * perRow * m.bits + 7) / 8;
                QByteArray block(int(rowBytes * height), '\0');
                for (int y = 0; y < height; ++y)
                    for (int x = 0; x < width; ++x)
                        for (int i = 0; i < perRow; ++i) {
                            const int c = m.planar ? plane : i;
                            const int sx = qMin(x0 + x, Size.width() - 1);
                            const int sy = qMin(y0 + y, Size.height() - 1);
                            double v = level(sx, sy, c, m.samples, alphaAt);
                            if (m.photometric == PHOTOMETRIC_CIELAB && c > 0)
                                v = 0; // neutral: libtiff's conversion is its own otherwise
                            if (m.extra == EXTRASAMPLE_ASSOCALPHA && c != alphaAt)
                                v *= level(sx, sy, alphaAt, m.samples, alphaAt);
                            putSample(reinterpret_cast<uchar *>(block.data()) + y * rowBytes,
                                      qint64(x) * perRow + i, m, v);
                        }
                const tmsize_t size = tmsize_t(block.size());
                const quint32 strip = TIFFComputeStrip(tiff, quint32(y0), quint16(plane));
                written &=
                    (m.tiled ? TIFFWriteEncodedTile(tiff,
                                                    TIFFComputeTile(tiff, quint32(x0), quint32(y0),
                                                                    0, quint16(plane)),
                                                    block.data(), size)
                             : TIFFWriteEncodedStrip(
                                   tiff, strip, block.data(),
                                   qMin<qint64>(size, rowBytes * (Size.height() - y0)))) >= 0;
                if (!m.tiled)
                    break;
            }
    TIFFClose(tiff);
    return written;
}

// What the pixels mean where libtiff's RGBA conversion does not read them: samples scaled to
// 8 bits, signed ones from their lowest.
QImage meant(const Make &m)
{
    QImage image(Size, QImage::Format_RGBA8888_Premultiplied);
    const int alphaAt = m.extra >= 0 ? m.samples - 1 : -1;
    for (int y = 0; y < Size.height(); ++y)
        for (int x = 0; x < Size.width(); ++x) {
            int v[3];
            for (int c = 0; c < 3; ++c)
                v[c] =
                    int(std::lround(level(x, y, m.samples >= 3 ? c : 0, m.samples, alphaAt) * 255));
            if (m.photometric == PHOTOMETRIC_CIELAB) {
                const double l = std::lround(level(x, y, 0, 3, -1) * 255) / 255.0 * 100;
                const double f = (l + 16) / 116;
                const double lum = l > 8 ? f * f * f : l / 903.3;
                const double e =
                    lum <= 0.0031308 ? 12.92 * lum : 1.055 * std::pow(lum, 1 / 2.4) - 0.055;
                v[0] = v[1] = v[2] = int(std::lround(e * 255));
            }
            image.setPixel(x, y, qRgb(v[0], v[1], v[2]));
        }
    return image;
}

QImage decodedWhole(const QString &path, Status *status)
{
    const SourceFile source(path);
    const std::unique_ptr<Formats::Decoder> decoder = Formats::open(source);
    QImage out;
    QString words;
    *status = decoder->refusal();
    if (*status == Status::Decoded)
        *status = decoder->decode(Target(qMax(Size.width(), Size.height())), &out, &words);
    return out;
}

// exiftool's reading of `tags` in the file, one line each.
QString tags(const QString &path, const QStringList &names)
{
    return TestImages::exifValues(path, names);
}

quint16 tagOf(const QString &path, ttag_t tag)
{
    TIFF *tiff = TIFFOpen(QFile::encodeName(path).constData(), "r");
    quint16 value = 0;
    if (tiff) {
        TIFFGetFieldDefaulted(tiff, tag, &value);
        TIFFClose(tiff);
    }
    return value;
}

// The entry of `tag` in a little-endian file's first directory, -1 for none.
int entryOf(const QByteArray &bytes, quint16 tag)
{
    const auto u16 = [&](int at) { return qFromLittleEndian<quint16>(bytes.constData() + at); };
    const int ifd = int(qFromLittleEndian<quint32>(bytes.constData() + 4));
    for (int i = 0; i < u16(ifd); ++i)
        if (u16(ifd + 2 + 12 * i) == tag)
            return ifd + 2 + 12 * i;
    return -1;
}

// Halves the first strip's byte count in a little-endian file's first directory, as a file cut
// and mended carelessly says it.
bool shortenFirstStrip(QByteArray *bytes)
{
    const auto u16 = [&](int at) { return qFromLittleEndian<quint16>(bytes->constData() + at); };
    const auto u32 = [&](int at) { return qFromLittleEndian<quint32>(bytes->constData() + at); };
    const int ifd = int(u32(4));
    for (int i = 0; i < u16(ifd); ++i) {
        const int entry = ifd + 2 + 12 * i;
        if (u16(entry) != TIFFTAG_STRIPBYTECOUNTS)
            continue;
        const bool shorts = u16(entry + 2) == TIFF_SHORT;
        const int count = int(u32(entry + 4));
        const int at = count * (shorts ? 2 : 4) > 4 ? int(u32(entry + 8)) : entry + 8;
        if (shorts)
            qToLittleEndian<quint16>(quint16(u16(at) / 2), bytes->data() + at);
        else
            qToLittleEndian<quint32>(u32(at) / 2, bytes->data() + at);
        return true;
    }
    return false;
}

// A tiled file written by libtiff, its samples ramps over 251 rows that tell any row from those
// a tile's height or a band's above it.
bool writeTiles(const QString &path, int photometric, int bits, int compression, const QSize &size,
                const QSize &tile)
{
    TIFF *tiff = TIFFOpen(QFile::encodeName(path).constData(), "w");
    if (!tiff)
        return false;
    const int samples = photometric == PHOTOMETRIC_MINISBLACK ? 1 : 3;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, size.width());
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, size.height());
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, compression);
    if (photometric == PHOTOMETRIC_YCBCR)
        TIFFSetField(tiff, TIFFTAG_YCBCRSUBSAMPLING, 1, 1);
    TIFFSetField(tiff, TIFFTAG_TILEWIDTH, tile.width());
    TIFFSetField(tiff, TIFFTAG_TILELENGTH, tile.height());
    const qint64 rowBytes = (qint64(tile.width()) * samples * bits + 7) / 8;
    QByteArray block(int(rowBytes * tile.height()), '\0');
    bool written = true;
    for (int y0 = 0; y0 < size.height(); y0 += tile.height())
        for (int x0 = 0; x0 < size.width(); x0 += tile.width()) {
            block.fill('\0');
            auto *p = reinterpret_cast<uchar *>(block.data());
            for (int y = 0; y < tile.height(); ++y)
                for (int x = 0; x < tile.width() * samples; ++x) {
                    const int v = ((y0 + y) % 251 + (x0 * samples + x) * 40) % 256;
                    if (bits == 8)
                        p[y * rowBytes + x] = uchar(photometric == PHOTOMETRIC_YCBCR && x % 3
                                                        ? 96 + v / 4 // chroma near grey
                                                        : v);
                    else if (v & 32)
                        p[y * rowBytes + x / 8] |= uchar(0x80 >> (x % 8));
                }
            written &= TIFFWriteTile(tiff, block.data(), quint32(x0), quint32(y0), 0, 0) >= 0;
        }
    TIFFClose(tiff);
    return written;
}

// The first tile of a little-endian file cut to half its bytes, the second one following: its
// count halved and the second tile's offset moved to where the half ends.
bool cutFirstTile(QByteArray *bytes)
{
    const int counts = entryOf(*bytes, TIFFTAG_TILEBYTECOUNTS);
    const int offsets = entryOf(*bytes, TIFFTAG_TILEOFFSETS);
    char *d = bytes->data();
    if (counts < 0 || offsets < 0 || qFromLittleEndian<quint16>(d + offsets + 2) != TIFF_LONG)
        return false;
    const bool shorts = qFromLittleEndian<quint16>(d + counts + 2) == TIFF_SHORT;
    char *count = d + qFromLittleEndian<quint32>(d + counts + 8);
    char *offset = d + qFromLittleEndian<quint32>(d + offsets + 8);
    const quint32 half =
        (shorts ? qFromLittleEndian<quint16>(count) : qFromLittleEndian<quint32>(count)) / 2;
    if (shorts)
        qToLittleEndian<quint16>(quint16(half), count);
    else
        qToLittleEndian<quint32>(half, count);
    qToLittleEndian<quint32>(qFromLittleEndian<quint32>(offset) + half, offset + 4);
    return true;
}

// Gives the first directory's `tag` one LONG value, whatever type the writer chose.
bool setLong(QByteArray *bytes, quint16 tag, quint32 value)
{
    const int entry = entryOf(*bytes, tag);
    if (entry < 0)
        return false;
    qToLittleEndian<quint16>(TIFF_LONG, bytes->data() + entry + 2);
    qToLittleEndian<quint32>(1, bytes->data() + entry + 4);
    qToLittleEndian<quint32>(value, bytes->data() + entry + 8);
    return true;
}

} // namespace

void TestTiff::layouts_data()
{
    QTest::addColumn<Make>("make");
    QTest::addColumn<bool>("byLibtiff"); // compared with libtiff's RGBA decode, else with meant()
    QTest::addColumn<int>("tolerance");

    const auto m = [](int bits, int photometric, int samples,
                      const std::function<void(Make *)> &more = {}) {
        Make make;
        make.bits = bits;
        make.photometric = photometric;
        make.samples = samples;
        if (more)
            more(&make);
        return make;
    };
    QTest::newRow("8-bit rgb, lzw")
        << m(8, PHOTOMETRIC_RGB, 3, [](Make *k) { k->compression = COMPRESSION_LZW; }) << true << 0;
    QTest::newRow("16-bit rgb, tiled, deflate") << m(16, PHOTOMETRIC_RGB, 3, [](Make *k) {
        k->tiled = true;
        k->compression = COMPRESSION_ADOBE_DEFLATE;
    }) << true << 1;
    QTest::newRow("16-bit rgb, planar")
        << m(16, PHOTOMETRIC_RGB, 3, [](Make *k) { k->planar = true; }) << true << 1;
    QTest::newRow("8-bit rgba unassociated, planar, tiled")
        << m(8, PHOTOMETRIC_RGB, 4,
             [](Make *k) {
                 k->extra = EXTRASAMPLE_UNASSALPHA;
                 k->planar = k->tiled = true;
             })
        << true << 1;
    QTest::newRow("16-bit rgba associated")
        << m(16, PHOTOMETRIC_RGB, 4, [](Make *k) { k->extra = EXTRASAMPLE_ASSOCALPHA; }) << true
        << 1;
    QTest::newRow("4-bit palette") << m(4, PHOTOMETRIC_PALETTE, 1) << true << 0;
    QTest::newRow("1-bit min-is-white") << m(1, PHOTOMETRIC_MINISWHITE, 1) << true << 0;
    QTest::newRow("16-bit grey, min-is-white") << m(16, PHOTOMETRIC_MINISWHITE, 1) << true << 1;
    QTest::newRow("8-bit cmyk, packbits")
        << m(8, PHOTOMETRIC_SEPARATED, 4, [](Make *k) { k->compression = COMPRESSION_PACKBITS; })
        << true << 1;
    // libtiff's Lab conversion is a power curve's approximation of sRGB: Lab is compared with
    // the CIE's own formula instead.
    QTest::newRow("8-bit cielab, neutral") << m(8, PHOTOMETRIC_CIELAB, 3) << false << 1;
    QTest::newRow("12-bit grey") << m(12, PHOTOMETRIC_MINISBLACK, 1) << false << 1;
    QTest::newRow("32-bit unsigned rgb") << m(32, PHOTOMETRIC_RGB, 3) << false << 1;
    QTest::newRow("32-bit float rgb, tiled") << m(32, PHOTOMETRIC_RGB, 3, [](Make *k) {
        k->format = SAMPLEFORMAT_IEEEFP;
        k->tiled = true;
    }) << false << 1;
    QTest::newRow("signed 16-bit grey")
        << m(16, PHOTOMETRIC_MINISBLACK, 1, [](Make *k) { k->format = SAMPLEFORMAT_INT; }) << false
        << 1;
}

// Each layout as libtiff reads it, at its own size: rows pushed as stored, nothing made up.
void TestTiff::layouts()
{
    QFETCH(Make, make);
    QFETCH(bool, byLibtiff);
    QFETCH(int, tolerance);
    const QString path =
        m_dir.filePath(QString(QTest::currentDataTag()).replace(' ', '_') + ".tif");
    QVERIFY(writeTiff(path, make));
    Status status;
    const QImage decoded = decodedWhole(path, &status);
    QCOMPARE(status, Status::Decoded);
    QCOMPARE(decoded.size(), Size);
    QCOMPARE(decoded.hasAlphaChannel(), make.extra >= 0);
    const bool deep = decoded.depth() == 64 || decoded.format() == QImage::Format_Grayscale16;
    QCOMPARE(deep, make.bits > 8 && make.photometric != PHOTOMETRIC_PALETTE);
    const QImage expected = byLibtiff ? TestImages::libtiffRgba(path) : meant(make);
    QVERIFY(!expected.isNull());
    const QImage a = decoded.convertToFormat(QImage::Format_RGBA8888_Premultiplied);
    int largest = 0;
    for (int y = 0; y < Size.height(); ++y)
        for (int i = 0; i < Size.width() * 4; ++i)
            largest = qMax(largest, qAbs(a.constScanLine(y)[i] - expected.constScanLine(y)[i]));
    QVERIFY2(largest <= tolerance, qPrintable(QString("%1 levels apart").arg(largest)));
}

void TestTiff::written_data()
{
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("compression");
    QTest::addColumn<bool>("alpha");
    QTest::addColumn<int>("expected");
    QTest::newRow("8-bit lzw stays lzw")
        << 8 << int(COMPRESSION_LZW) << false << int(COMPRESSION_LZW);
    QTest::newRow("16-bit uncompressed is deflated")
        << 16 << int(COMPRESSION_NONE) << false << int(COMPRESSION_ADOBE_DEFLATE);
    QTest::newRow("16-bit alpha, deflate")
        << 16 << int(COMPRESSION_ADOBE_DEFLATE) << true << int(COMPRESSION_ADOBE_DEFLATE);
    QTest::newRow("8-bit packbits is deflated")
        << 8 << int(COMPRESSION_PACKBITS) << true << int(COMPRESSION_ADOBE_DEFLATE);
}

// The output keeps the source's depth and alpha, compressed with the horizontal predictor.
void TestTiff::written()
{
    QFETCH(int, bits);
    QFETCH(int, compression);
    QFETCH(bool, alpha);
    QFETCH(int, expected);
    Make make;
    make.bits = bits;
    make.compression = compression;
    if (alpha) {
        make.samples = 4;
        make.extra = EXTRASAMPLE_UNASSALPHA;
    }
    const QString in = m_dir.filePath("written-in.tif");
    const QString out = m_dir.filePath("written-out.tif");
    QVERIFY(writeTiff(in, make));
    QFile::remove(out);
    const RowOutcome outcome = TestImages::runRow(in, out, 40);
    QCOMPARE(outcome.status, RowOutcome::Written);
    QCOMPARE(int(tagOf(out, TIFFTAG_COMPRESSION)), expected);
    QCOMPARE(int(tagOf(out, TIFFTAG_PREDICTOR)), int(PREDICTOR_HORIZONTAL));
    QCOMPARE(int(tagOf(out, TIFFTAG_BITSPERSAMPLE)), bits);
    QCOMPARE(int(tagOf(out, TIFFTAG_SAMPLESPERPIXEL)), alpha ? 4 : 3);
    // The pixels are the source's, reduced: the output's own decode matches its source's.
    Status status;
    const QImage source = TestImages::decoded(in, 40);
    const QImage back = TestImages::decoded(out, 40, Resampling::Nearest, &status);
    QCOMPARE(status, Status::Decoded);
    QVERIFY(TestImages::difference(source, back).max <= 1);
}

void TestTiff::metadata_data()
{
    QTest::addColumn<int>("keep");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("expected"); // Make, GPS latitude, XMP label, IPTC keyword found
    QTest::newRow("all, to tiff") << int(MetadataKeep::All) << "meta-out.tif"
                                  << "Parvimage test\n48.85\nVacances\nParis";
    QTest::newRow("no location, to tiff") << int(MetadataKeep::NoLocation) << "meta-out.tif"
                                          << "Parvimage test\nVacances\nParis";
    QTest::newRow("colour only, to tiff") << int(MetadataKeep::ColourOnly) << "meta-out.tif"
                                          << "";
    QTest::newRow("all, to jpeg") << int(MetadataKeep::All) << "meta-out.jpg"
                                  << "Parvimage test\n48.85\nVacances\nParis";
}

// A TIFF's own EXIF and GPS directories, XMP and IPTC carried as the options say, corrected for
// the upright output; its chromaticities kept from TIFF to TIFF.
void TestTiff::metadata()
{
    QFETCH(int, keep);
    QFETCH(QString, output);
    QFETCH(QString, expected);
    const QString in = m_dir.filePath("meta-in.tif");
    const QString out = m_dir.filePath(output);
    Make make;
    make.compression = COMPRESSION_LZW;
    QVERIFY(writeTiff(in, make));
    QVERIFY(TestImages::exiftool(
        in, {"-EXIF:Make=Parvimage test", "-EXIF:DateTimeOriginal=2020:07:14 10:00:00",
             "-GPSLatitude=48.85", "-GPSLatitudeRef=N", "-XMP:Label=Vacances",
             "-IPTC:Keywords=Paris", "-IFD0:Orientation#=6", "-IFD0:WhitePoint=0.3127 0.329",
             "-IFD0:PrimaryChromaticities=0.64 0.33 0.3 0.6 0.15 0.06"}));
    QFile::remove(out);
    PlannedRow row = TestImages::planned(in, out);
    row.options.carrying.metadata = MetadataKeep(keep);
    const RowOutcome outcome = TestImages::process(row, 30);
    QCOMPARE(outcome.status, RowOutcome::Written);
    QCOMPARE(tags(out, {"EXIF:Make", "GPS:GPSLatitude", "XMP:Label", "IPTC:Keywords"}).trimmed(),
             expected.trimmed());
    if (keep == int(MetadataKeep::ColourOnly))
        return;
    QVERIFY2(outcome.leftOut.isEmpty(), qPrintable(QString::number(outcome.leftOut.size())));
    // Turned upright: 45 x 67 reduced to 30 high.
    QCOMPARE(tags(out, {"EXIF:Orientation"}).trimmed(), QString("1"));
    QCOMPARE(TestImages::uprightSize(out), QSize(20, 30));
    if (output.endsWith(".tif"))
        QVERIFY(tags(out, {"IFD0:WhitePoint"}).startsWith("0.3127"));
}

void TestTiff::damaged_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("compression");
    QTest::newRow("short strip, uncompressed") << "short" << int(COMPRESSION_NONE);
    QTest::newRow("short strip, lzw") << "short" << int(COMPRESSION_LZW);
    QTest::newRow("strip scrambled, deflate") << "scrambled" << int(COMPRESSION_ADOBE_DEFLATE);
    QTest::newRow("strip scrambled, lzw") << "scrambled" << int(COMPRESSION_LZW);
    QTest::newRow("tile cut short, uncompressed") << "cut tile" << int(COMPRESSION_NONE);
    for (const QString &path : TestImages::corpusFiles("corrupt", "pillow_tiff*.tif"))
        QTest::newRow(qPrintable(QFileInfo(path).fileName())) << path << 0;
}

// A damaged strip anywhere refuses the file with libtiff's words, and nothing is written.
void TestTiff::damaged()
{
    QFETCH(QString, how);
    QFETCH(int, compression);
    QString source = how;
    if (how == "short" || how == "scrambled" || how == "cut tile") {
        Make make;
        make.compression = compression;
        make.tiled = how == "cut tile";
        const QString whole = m_dir.filePath("whole.tif");
        QVERIFY(writeTiff(whole, make));
        QByteArray bytes = TestImages::readAll(whole);
        if (how == "short")
            QVERIFY(shortenFirstStrip(&bytes));
        else if (how == "cut tile")
            QVERIFY(cutFirstTile(&bytes));
        else // libtiff writes the strips first: these bytes are the first strip's
            for (int i = 40; i < 100; ++i)
                bytes[i] = char(bytes[i] ^ 0x5a);
        source = m_dir.filePath("damaged.tif");
        QVERIFY(TestImages::writeAll(source, bytes));
    }
    const QString out = m_dir.filePath("damaged-out.png");
    QFile::remove(out);
    const RowOutcome outcome = TestImages::runRow(source, out, 40);
    QVERIFY2(outcome.isFailure(), qPrintable(QString::number(int(outcome.status))));
    QVERIFY(!QFile::exists(out));
}

void TestTiff::hostileTiles_data()
{
    QTest::addColumn<int>("photometric");
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("compression");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QSize>("tile");    // as written
    QTest::addColumn<QSize>("claimed"); // as the directory then says, where it lies
    QTest::addColumn<bool>("refused");  // when opened, else pixels as libtiff's

    const int tall = (1 << 20) + 40; // more rows than a band holds
    const int ycbcr = PHOTOMETRIC_YCBCR, rgb = PHOTOMETRIC_RGB, grey = PHOTOMETRIC_MINISBLACK;
    const int none = COMPRESSION_NONE, deflate = COMPRESSION_ADOBE_DEFLATE;
    QTest::newRow("ycbcr, 4194304-row tile")
        << ycbcr << 8 << none << QSize(16, 16) << QSize(16, 16) << QSize(16, 4194304) << true;
    QTest::newRow("rgb, 4194304-row tile")
        << rgb << 8 << deflate << QSize(16, 16) << QSize(16, 16) << QSize(16, 4194304) << true;
    QTest::newRow("1-bit grey, tile wider than any image")
        << grey << 1 << deflate << QSize(16, 16) << QSize(16, 16) << QSize((1 << 28) + 16, 16)
        << true;
    QTest::newRow("ycbcr, tile taller than a band")
        << ycbcr << 8 << deflate << QSize(5, tall) << QSize(16, tall + 8) << QSize() << false;
    QTest::newRow("grey, tile taller than a band")
        << grey << 8 << deflate << QSize(5, tall) << QSize(16, tall + 8) << QSize() << false;
    // Off the 16-pixel steps, as libtiff reads them: a tile's row ends inside a byte.
    QTest::newRow("1-bit grey, 12-pixel tiles")
        << grey << 1 << none << QSize(24, 16) << QSize(16, 16) << QSize(12, 16) << false;
}

// A tile no image explains is refused with words before any memory is taken for it; odd tiles
// libtiff reads give its own pixels, on both paths.
void TestTiff::hostileTiles()
{
    QFETCH(int, photometric);
    QFETCH(int, bits);
    QFETCH(int, compression);
    QFETCH(QSize, size);
    QFETCH(QSize, tile);
    QFETCH(QSize, claimed);
    QFETCH(bool, refused);
    const QString path = m_dir.filePath("tiles.tif");
    QVERIFY(writeTiles(path, photometric, bits, compression, size, tile));
    if (claimed.isValid()) {
        QByteArray bytes = TestImages::readAll(path);
        QVERIFY(setLong(&bytes, TIFFTAG_TILEWIDTH, quint32(claimed.width())));
        QVERIFY(setLong(&bytes, TIFFTAG_TILELENGTH, quint32(claimed.height())));
        QVERIFY(TestImages::writeAll(path, bytes));
    }
    if (!refused) {
        Status status;
        const QImage out = TestImages::decoded(path, qMax(size.width(), size.height()),
                                               Resampling::Nearest, &status);
        QCOMPARE(status, Status::Decoded);
        QCOMPARE(out.size(), size);
        const QImage expected = TestImages::libtiffRgba(path);
        QVERIFY(!expected.isNull());
        QCOMPARE(TestImages::difference(out, expected).max, 0);
        return;
    }
    const SourceFile source(path);
    QCOMPARE(Formats::open(source)->refusal(), Status::Damaged);
    const QString out = m_dir.filePath("tiles-out.png");
    QFile::remove(out);
    const RowOutcome outcome = TestImages::runRow(path, out, 40);
    QVERIFY2(outcome.status == RowOutcome::Damaged || outcome.status == RowOutcome::Unreadable,
             qPrintable(QString::number(int(outcome.status))));
    QVERIFY(!OutcomeText::reason(outcome).isEmpty());
    QVERIFY2(!outcome.systemError.isEmpty(), "no words");
    QVERIFY(!QFile::exists(out));
}

PARVIMAGE_TEST_MAIN(TestTiff)
#include "tst_tiff.moc"

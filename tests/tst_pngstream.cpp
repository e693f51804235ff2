#include "batch/outcometext.h"
#include "formats/png/pngdeflate.h"
#include "formats/registry.h"
#include "formats/toolkitcodec.h"
#include "resample/geometry.h"
#include "resample/wholeimage.h"
#include "row/imageresizer.h"
#include "system/workercores.h"
#include "testimages.h"
#include "testmain.h"

#include <QColorSpace>
#include <QDir>
#include <QImageReader>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <cstdlib>
#include <cstring>
#include <functional>

#include <spng.h>

// PNGs are streamed row by row; every kind must come out as the toolkit's decode followed by
// nearest-pixel sampling, and damage must refuse the file.
class TestPngStream : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void matchesToolkit_data();
    void matchesToolkit();
    void keyedDeepColourIsTransparent_data();
    void keyedDeepColourIsTransparent();
    void damaged_data();
    void damaged();
    void corpusDamageRefused_data();
    void corpusDamageRefused();
    void deflated_data();
    void deflated();

private:
    QTemporaryDir m_dir;
};

namespace {

// What a generated PNG holds besides its pixels.
struct PngLayout
{
    int colourType = 2;
    int depth = 8;
    QSize size{37, 23};
    bool trns = false;
    int paletteEntries = 0; // palette images: entries in PLTE (pixels may index past them)
    bool interlaced = false;
    std::function<void(spng_ctx *)> chunks = nullptr; // ancillary chunks to add
};

int channelsOf(int colourType)
{
    return colourType == 2 ? 3 : colourType == 4 ? 2 : colourType == 6 ? 4 : 1;
}

// Raw rows in the PNG's own layout, every value reachable: random bytes.
QByteArray rawPixels(const PngLayout &layout, quint32 seed)
{
    const int rowBytes =
        (layout.size.width() * channelsOf(layout.colourType) * layout.depth + 7) / 8;
    QByteArray raw(rowBytes * layout.size.height(), Qt::Uninitialized);
    QRandomGenerator random(seed);
    for (char &byte : raw)
        byte = char(random.bounded(256));
    // A few pixels that equal the transparent colour (zero), so the key is exercised.
    for (int y = 0; y < layout.size.height(); y += 3)
        std::fill_n(raw.data() + y * rowBytes, qMin(rowBytes, 8), 0);
    return raw;
}

QByteArray encodePng(const PngLayout &layout, const QByteArray &raw)
{
    spng_ctx *ctx = spng_ctx_new(SPNG_CTX_ENCODER);
    spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
    spng_ihdr ihdr{};
    ihdr.width = uint32_t(layout.size.width());
    ihdr.height = uint32_t(layout.size.height());
    ihdr.bit_depth = uint8_t(layout.depth);
    ihdr.color_type = uint8_t(layout.colourType);
    ihdr.interlace_method = layout.interlaced ? 1 : 0;
    spng_set_ihdr(ctx, &ihdr);
    if (layout.colourType == 3) {
        spng_plte plte{};
        plte.n_entries = uint32_t(layout.paletteEntries);
        for (int i = 0; i < layout.paletteEntries; ++i)
            plte.entries[i] = {uint8_t(i * 7), uint8_t(255 - i), uint8_t(i * 3), 255};
        spng_set_plte(ctx, &plte);
    }
    if (layout.trns) {
        spng_trns trns{}; // grey and colour keys stay zero
        trns.n_type3_entries = uint32_t(qMin(layout.paletteEntries, 5));
        for (uint32_t i = 0; i < trns.n_type3_entries; ++i)
            trns.type3_alpha[i] = uint8_t(i * 60);
        spng_set_trns(ctx, &trns);
    }
    if (layout.chunks)
        layout.chunks(ctx);
    QByteArray png;
    const int code = spng_encode_image(ctx, raw.constData(), size_t(raw.size()), SPNG_FMT_RAW,
                                       SPNG_ENCODE_FINALIZE);
    size_t length = 0;
    int error = 0;
    void *buffer = code == 0 ? spng_get_png_buffer(ctx, &length, &error) : nullptr;
    if (buffer)
        png = QByteArray(static_cast<const char *>(buffer), int(length));
    std::free(buffer);
    spng_ctx_free(ctx);
    return png;
}

QString writePng(const QString &folder, const QString &name, const PngLayout &layout)
{
    const QString path = QDir(folder).filePath(name + ".png");
    const QByteArray png = encodePng(layout, rawPixels(layout, qHash(name)));
    return !png.isEmpty() && TestImages::writeAll(path, png) ? path : QString();
}

void addText(spng_ctx *ctx)
{
    spng_text texts[3] = {};
    qstrcpy(texts[0].keyword, "Title");
    texts[0].type = SPNG_TEXT;
    texts[0].text = const_cast<char *>("Plage \xe0 mar\xe9"
                                       "e basse");
    qstrcpy(texts[1].keyword, "Comment");
    texts[1].type = SPNG_ZTXT;
    texts[1].text = const_cast<char *>("compressed words");
    qstrcpy(texts[2].keyword, "Author");
    texts[2].type = SPNG_ITXT;
    texts[2].text = const_cast<char *>("Zo\xc3\xab \xe2\x80\x94 \xe5\x86\x99\xe7\x9c\x9f");
    texts[2].language_tag = const_cast<char *>("");
    texts[2].translated_keyword = const_cast<char *>("");
    spng_set_text(ctx, texts, 3);
}

void addColourChunks(spng_ctx *ctx)
{
    spng_set_gama(ctx, 1 / 2.2);
    spng_chrm chrm{0.3127, 0.329, 0.64, 0.33, 0.21, 0.71, 0.15, 0.06};
    spng_set_chrm(ctx, &chrm);
    spng_phys phys{5906, 2953, 1};
    spng_set_phys(ctx, &phys);
}

void addIcc(spng_ctx *ctx)
{
    static QByteArray profile =
        QColorSpace(QColorSpace::ProPhotoRgb).iccProfile(); // kept alive for the encoder
    spng_iccp iccp{};
    qstrcpy(iccp.profile_name, "ProPhoto");
    iccp.profile = profile.data();
    iccp.profile_len = size_t(profile.size());
    spng_set_iccp(ctx, &iccp);
}

QImage viaToolkit(const QString &path, int box)
{
    const QImage full(path);
    return sampleNearest(full, fitInSquare(full.size(), box));
}

void compareImages(const QImage &streamed, const QImage &expected, bool withColourSpace = true)
{
    QCOMPARE(streamed.size(), expected.size());
    QCOMPARE(streamed.format(), expected.format());
    QCOMPARE(streamed.colorTable(), expected.colorTable());
    if (withColourSpace) {
        QCOMPARE(streamed.colorSpace(), expected.colorSpace());
        QCOMPARE(streamed.colorSpace().iccProfile(), expected.colorSpace().iccProfile());
    }
    QCOMPARE(streamed.dotsPerMeterX(), expected.dotsPerMeterX());
    QCOMPARE(streamed.dotsPerMeterY(), expected.dotsPerMeterY());
    QCOMPARE(streamed.textKeys(), expected.textKeys());
    for (const QString &key : expected.textKeys())
        QCOMPARE(streamed.text(key), expected.text(key));
    const int bytes = streamed.width() * streamed.depth() / 8;
    for (int y = 0; y < streamed.height(); ++y)
        QVERIFY2(std::memcmp(streamed.constScanLine(y), expected.constScanLine(y), size_t(bytes)) ==
                     0,
                 qPrintable(QString("row %1 differs").arg(y)));
}

QString corpus()
{
    return qEnvironmentVariable("PARVIMAGE_CORPORA");
}

} // namespace

void TestPngStream::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QImageReader::supportedImageFormats(); // load the plugins before any row
}

void TestPngStream::matchesToolkit_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("streamed"); // interlaced packed pixels are left to the toolkit
    const QString dir = m_dir.path();
    const auto add = [&](const QString &name, const PngLayout &layout) {
        QTest::newRow(qPrintable(name))
            << writePng(dir, name, layout) << !(layout.interlaced && layout.depth < 8);
    };
    for (int depth : {1, 2, 4, 8, 16}) {
        add(QString("grey %1").arg(depth), {0, depth});
        add(QString("grey %1 with tRNS").arg(depth), {0, depth, {37, 23}, true});
    }
    for (int depth : {1, 2, 4, 8}) {
        add(QString("palette %1").arg(depth), {3, depth, {37, 23}, false, 1 << depth});
        add(QString("palette %1 with tRNS").arg(depth), {3, depth, {37, 23}, true, 1 << depth});
    }
    add("palette 1 with one entry", {3, 1, {37, 23}, false, 1});
    add("palette 8 indexing past its 40 entries", {3, 8, {37, 23}, true, 40});
    add("rgb 8", {2, 8});
    add("rgb 8 with tRNS", {2, 8, {37, 23}, true});
    add("rgb 16", {2, 16});
    add("grey alpha 8", {4, 8});
    add("grey alpha 16", {4, 16});
    add("rgba 8", {6, 8});
    add("rgba 16", {6, 16});
    add("one pixel", {2, 8, {1, 1}});
    add("one row", {6, 8, {300, 1}});
    add("texts", {2, 8, {37, 23}, false, 0, false, addText});
    add("gamma, chromaticities and resolution",
        {6, 16, {37, 23}, false, 0, false, addColourChunks});
    add("gamma alone",
        {0, 8, {37, 23}, false, 0, false, [](spng_ctx *c) { spng_set_gama(c, 0.5); }});
    add("sRGB", {3, 4, {37, 23}, false, 16, false, [](spng_ctx *c) { spng_set_srgb(c, 0); }});
    add("ICC profile", {2, 8, {37, 23}, false, 0, false, addIcc});
    add("interlaced", {2, 8, {37, 23}, false, 0, true});
    add("interlaced palette 2", {3, 2, {37, 23}, true, 4, true});
    add("interlaced grey alpha 16", {4, 16, {37, 23}, false, 0, true});

    const QDir odd(corpus() + "/odd");
    for (const QString &name : odd.entryList({"*.png"}, QDir::Files, QDir::Name)) {
        const QByteArray header = TestImages::readAll(odd.filePath(name));
        const bool packedInterlaced = header.at(28) == 1 && header.at(24) < 8;
        QTest::newRow(qPrintable(name)) << odd.filePath(name) << !packedInterlaced;
    }
}

void TestPngStream::matchesToolkit()
{
    QFETCH(QString, path);
    QFETCH(bool, streamed);
    QVERIFY(!path.isEmpty());
    for (int box : {16, 50}) {
        Formats::Status status;
        const QImage image = TestImages::decoded(path, box, Resampling::Nearest, &status);
        QCOMPARE(status, Formats::Status::Decoded);
        const QImage expected = viaToolkit(path, box);
        if (streamed)
            compareImages(image, expected);
        {
            // A row alone decodes on one core and resamples on the other: the same rows.
            const WorkerCores::Scope two(2, 0);
            QCOMPARE(TestImages::decoded(path, box, Resampling::Smooth, &status), [&] {
                const WorkerCores::Scope one(1, 0);
                return TestImages::decoded(path, box, Resampling::Smooth, &status);
            }());
            QCOMPARE(TestImages::decoded(path, box, Resampling::Nearest, &status), image);
        }
        // A row's image is the same, but for a profile of another colour model than its pixels'
        // (grey pixels with gamma), which is left out.
        RowOutcome outcome;
        const QImage loaded = RowLoad::scaled(path, box, &outcome);
        compareImages(loaded, expected, false);
        const QByteArray model = loaded.colorSpace().iccProfile().mid(16, 4);
        const bool grey = loaded.format() == QImage::Format_Grayscale8 ||
                          loaded.format() == QImage::Format_Grayscale16;
        QVERIFY(model.isEmpty() || model == (grey ? "GRAY" : "RGB "));
    }
}

void TestPngStream::keyedDeepColourIsTransparent_data()
{
    QTest::addColumn<bool>("interlaced");
    QTest::newRow("row by row") << false;
    QTest::newRow("interlaced") << true;
}

// The toolkit leaves such pixels uninitialised; they must come out as the file says.
void TestPngStream::keyedDeepColourIsTransparent()
{
    QFETCH(bool, interlaced);
    const PngLayout layout{2, 16, {37, 23}, true, 0, interlaced};
    const QByteArray raw = rawPixels(layout, 7);
    const QString path = m_dir.filePath("keyed16.png");
    QVERIFY(TestImages::writeAll(path, encodePng(layout, raw)));

    QImage expected(layout.size, QImage::Format_RGBA64);
    const auto *words = reinterpret_cast<const uchar *>(raw.constData());
    for (int y = 0; y < layout.size.height(); ++y) {
        for (int x = 0; x < layout.size.width(); ++x) {
            const uchar *p = words + (y * layout.size.width() + x) * 6;
            const quint16 r = quint16(p[0] << 8 | p[1]), g = quint16(p[2] << 8 | p[3]),
                          b = quint16(p[4] << 8 | p[5]);
            const quint16 a = r == 0 && g == 0 && b == 0 ? 0 : 0xffff;
            reinterpret_cast<QRgba64 *>(expected.scanLine(y))[x] = QRgba64::fromRgba64(r, g, b, a);
        }
    }
    expected = sampleNearest(expected, fitInSquare(layout.size, 50));
    QVERIFY(expected.pixelColor(0, 0).alpha() == 0); // the test has transparent pixels

    for (int run = 0; run < 2; ++run) {
        RowOutcome outcome;
        const QImage loaded = RowLoad::scaled(path, 50, &outcome);
        QCOMPARE(outcome.status, RowOutcome::Pending);
        compareImages(loaded, expected);
    }
}

void TestPngStream::damaged_data()
{
    QTest::addColumn<QByteArray>("png");
    PngLayout layout{2, 8, {300, 200}};
    const QByteArray sound = encodePng(layout, rawPixels(layout, 3));
    const int idat = sound.indexOf("IDAT");
    QByteArray badCrc = sound;
    badCrc[idat + 100] = char(badCrc.at(idat + 100) ^ 0x40);
    QTest::newRow("cut at 60 %") << sound.left(sound.size() * 6 / 10);
    const int lastIdat = sound.lastIndexOf("IDAT");
    QTest::newRow("cut inside the last image data chunk")
        << sound.left(lastIdat + 4 + qFromBigEndian<quint32>(sound.constData() + lastIdat - 4) - 2);
    QTest::newRow("crc mismatch in the image data") << badCrc;
    PngLayout interlaced = layout;
    interlaced.interlaced = true;
    QTest::newRow("interlaced, cut at 60 %")
        << encodePng(interlaced, rawPixels(interlaced, 3)).left(sound.size() * 6 / 10);
}

void TestPngStream::damaged()
{
    QFETCH(QByteArray, png);
    const QString path = m_dir.filePath("damaged.png");
    QVERIFY(TestImages::writeAll(path, png));
    RowOutcome outcome;
    QVERIFY(RowLoad::scaled(path, 64, &outcome).isNull());
    QCOMPARE(outcome.status, RowOutcome::Damaged);
}

void TestPngStream::corpusDamageRefused_data()
{
    QTest::addColumn<QString>("path");
    if (corpus().isEmpty() || !QDir(corpus()).exists())
        QSKIP("no corpus folder: skipped");
    // The rest of the folder is damaged; these few are sound images kept among them.
    const QStringList sound = {"libpng_empty_ancillary_chunks.png", "png_basn0g02.png.png",
                               "png_video-001.rgb.png.png",
                               "png_be2a942852e6e4ee7d2f91c9fa3255cf86cc6bda-1.png"};
    for (const QString &folder : {QString("/corrupt"), QString("/corrupt/gofuzz_sample")}) {
        const QDir dir(corpus() + folder);
        for (const QString &name : dir.entryList({"*.png"}, QDir::Files, QDir::Name))
            if (!sound.contains(name))
                QTest::newRow(qPrintable(name)) << dir.filePath(name);
    }
}

void TestPngStream::corpusDamageRefused()
{
    QFETCH(QString, path);
    const QString output = m_dir.filePath("refused-" + QFileInfo(path).fileName() + ".png");
    const RowOutcome outcome = TestImages::runRow(path, output, 64);
    QVERIFY2(outcome.status == RowOutcome::Damaged || outcome.status == RowOutcome::Unreadable,
             qPrintable(OutcomeText::reason(outcome)));
    QVERIFY(!QFile::exists(output));
}

void TestPngStream::deflated_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<int>("cores");  // 0 or -1: through the writer, on a row with two or one
    QTest::addColumn<int>("packer"); // the one chosen, -1 where the writer chooses
    const int zlib = int(PngDeflate::Packer::Zlib);
    const int libdeflate = int(PngDeflate::Packer::Libdeflate);

    const QSize photo(1000, 700);
    QImage alpha = TestImages::pattern(QSize(333, 211), QImage::Format_ARGB32);
    for (int y = 0; y < alpha.height(); ++y)
        for (int x = 0; x < alpha.width(); x += 3)
            alpha.setPixel(x, y, qRgba(x % 256, y % 256, 7, (x + y) % 256));
    QTest::newRow("photo, by the writer") << TestImages::pattern(photo) << 0 << -1;
    QTest::newRow("photo, three shares") << TestImages::pattern(photo) << 3 << zlib;
    QTest::newRow("alpha") << alpha << 2 << zlib;
    QTest::newRow("16-bit") << TestImages::pattern(photo).convertToFormat(QImage::Format_RGBA64)
                            << 2 << zlib;
    QTest::newRow("grey") << TestImages::pattern(photo).convertToFormat(QImage::Format_Grayscale8)
                          << 2 << zlib;
    QTest::newRow("palette")
        << TestImages::pattern(QSize(301, 199)).convertToFormat(QImage::Format_Indexed8) << 2
        << zlib;
    QTest::newRow("one pixel, more shares than bytes")
        << TestImages::pattern(QSize(1, 1)) << 8 << zlib;
    QImage noise(700, 400, QImage::Format_RGB32);
    QRandomGenerator random(11);
    for (int y = 0; y < noise.height(); ++y)
        random.fillRange(reinterpret_cast<quint32 *>(noise.scanLine(y)), noise.width());
    QTest::newRow("noise, in several image data chunks") << noise << 2 << libdeflate;
    QImage grain(1200, 800, QImage::Format_RGB32);
    for (int y = 0; y < grain.height(); ++y)
        for (int x = 0; x < grain.width(); ++x) {
            const int n = int(random.bounded(9)) - 4;
            grain.setPixel(x, y,
                           qRgb(qBound(0, x / 5 + n, 255), qBound(0, y / 4 + n, 255),
                                qBound(0, (x + y) / 8 + n, 255)));
        }
    // Grain over gradients, as in photos: libdeflate packs it smaller.
    QTest::newRow("grain, one core") << grain << 1 << libdeflate;
    QTest::newRow("grain, three shares on two cores") << grain << 2 << libdeflate;
    QTest::newRow("grain, by the writer on one core") << grain << -1 << -1;
    // Faint grain over smooth shading, as smoothed photos are: zlib's short matches cost more
    // than they save there.
    QImage smoothed(1200, 800, QImage::Format_RGB32);
    for (int y = 0; y < smoothed.height(); ++y)
        for (int x = 0; x < smoothed.width(); ++x)
            smoothed.setPixel(x, y,
                              qRgb((3 * x + y) / 16 + int(random.bounded(3)),
                                   (x + 2 * y) / 12 + int(random.bounded(3)),
                                   x * y / 4096 + int(random.bounded(3))));
    QTest::newRow("faint grain, two cores")
        << smoothed << 2 << int(PngDeflate::Packer::ZlibHuffman);
    // A share whose last blocks are stored, not coded, is left open as well.
    QImage band = grain;
    for (int y = 430; y < 580; ++y)
        random.fillRange(reinterpret_cast<quint32 *>(band.scanLine(y)), band.width());
    QTest::newRow("grain, a share ending in noise") << band << 2 << libdeflate;
}

// Deflated again, on one core or several, a PNG keeps the toolkit's pixels, is the same file on
// one core, and is at most 1 % larger; libspng, which checks every chunk's CRC and the stream's
// checksum, reads it as the toolkit does.
void TestPngStream::deflated()
{
    QFETCH(QImage, image);
    QFETCH(int, cores);
    QFETCH(int, packer);
    QByteArray toolkit;
    QString words;
    QVERIFY(ToolkitCodec::encode(image, "png", -1, &toolkit, &words));
    QByteArray ours;
    if (cores <= 0) {
        const WorkerCores::Scope scope(cores == 0 ? 2 : 1, 0);
        LeftOuts leftOut;
        Formats::EncodeError error;
        QVERIFY(Formats::writerFor("png").encode(image, {{"png"}, -1, false}, PhotoMetadata(),
                                                 &ours, &leftOut, &error));
    } else {
        QVERIFY(ToolkitCodec::encode(image, "png", PngDeflate::StoredQuality, &ours, &words));
        PngDeflate::Packer used = PngDeflate::Packer::Zlib;
        const QByteArray stored = ours;
        QVERIFY(PngDeflate::compress(&ours, cores, &used));
        if (packer >= 0)
            QCOMPARE(int(used), packer);
        // The same file whatever the cores: a preview on one core sizes it to the byte.
        QByteArray alone = stored;
        QVERIFY(PngDeflate::compress(&alone, 1));
        QVERIFY(alone == ours);
    }
    // A faster way is chosen only where it packs no larger than the toolkit's zlib; zlib's
    // shares cost a few bytes each.
    const bool faster = packer > int(PngDeflate::Packer::Zlib);
    const int bound = faster ? toolkit.size() : 16 + toolkit.size() * 501 / 500;
    QVERIFY2(ours.size() <= bound,
             qPrintable(QString("%1 against %2").arg(ours.size()).arg(toolkit.size())));

    const QImage expected = QImage::fromData(toolkit, "png");
    QCOMPARE(QImage::fromData(ours, "png"), expected);
    const QString path = m_dir.filePath(QString("deflated-%1.png").arg(QTest::currentDataTag()));
    QVERIFY(TestImages::writeAll(path, ours));
    Formats::Status status;
    const QImage streamed = TestImages::decoded(path, qMax(image.width(), image.height()),
                                                Resampling::Nearest, &status);
    QCOMPARE(status, Formats::Status::Decoded);
    QCOMPARE(streamed.convertToFormat(QImage::Format_ARGB32),
             expected.convertToFormat(QImage::Format_ARGB32));
}

PARVIMAGE_TEST_MAIN(TestPngStream)
#include "tst_pngstream.moc"

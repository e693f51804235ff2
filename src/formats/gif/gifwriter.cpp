#include "formats/gif/gifwriter.h"

#include <gif_lib.h>
#include <libimagequant.h>

#include <QColorSpace>

#include <vector>

namespace GifWriter {

namespace {

// A picture reduced to a palette: its indices row after row, and the index shown as
// transparent, -1 for none.
struct Indexed
{
    QSize size;
    std::vector<GifColorType> palette;
    std::vector<GifByteType> pixels;
    int transparent = -1;
    QString error;
    bool outOfMemory = false;
};

// Straight RGBA, every pixel either opaque or wholly transparent, as GIF has it.
QImage gifAlpha(const QImage &image)
{
    QImage rgba = image.convertToFormat(QImage::Format_RGBA8888);
    if (!image.hasAlphaChannel())
        return rgba;
    for (int y = 0; y < rgba.height(); ++y) {
        uchar *p = rgba.scanLine(y);
        for (int x = 0; x < rgba.width(); ++x, p += 4) {
            if (p[3] < 128)
                p[0] = p[1] = p[2] = p[3] = 0;
            else
                p[3] = 255;
        }
    }
    return rgba;
}

Indexed quantise(const QImage &image)
{
    Indexed out;
    out.size = image.size();
    const QImage rgba = gifAlpha(image);
    if (rgba.isNull()) {
        out.error = QStringLiteral("out of memory");
        out.outOfMemory = true;
        return out;
    }
    std::vector<const uchar *> rows(size_t(rgba.height()));
    for (int y = 0; y < rgba.height(); ++y)
        rows[size_t(y)] = rgba.constScanLine(y);
    liq_attr *attr = liq_attr_create();
    liq_image *picture = liq_image_create_rgba_rows(
        attr, const_cast<void **>(reinterpret_cast<const void *const *>(rows.data())), rgba.width(),
        rgba.height(), 0);
    liq_result *result = nullptr;
    if (!picture || liq_image_quantize(picture, attr, &result) != LIQ_OK) {
        out.error = QStringLiteral("libimagequant could not reduce the colours");
    } else {
        liq_set_dithering_level(result, 1.0f);
        out.pixels.resize(size_t(rgba.width()) * rgba.height());
        const liq_error remapped =
            liq_write_remapped_image(result, picture, out.pixels.data(), out.pixels.size());
        const liq_palette *palette = remapped == LIQ_OK ? liq_get_palette(result) : nullptr;
        // Without its indices the picture would be written as its palette's first colour.
        if (!palette) {
            out.error = QStringLiteral("libimagequant could not remap the colours (error %1)")
                            .arg(int(remapped));
            out.outOfMemory = remapped == LIQ_OUT_OF_MEMORY;
        }
        for (unsigned i = 0; palette && i < palette->count; ++i) {
            const liq_color c = palette->entries[i];
            out.palette.push_back({c.r, c.g, c.b});
            if (c.a == 0 && out.transparent < 0)
                out.transparent = int(i);
        }
    }
    if (result)
        liq_result_destroy(result);
    if (picture)
        liq_image_destroy(picture);
    liq_attr_destroy(attr);
    return out;
}

int appendBytes(GifFileType *gif, const GifByteType *data, int length)
{
    static_cast<QByteArray *>(gif->UserData)->append(reinterpret_cast<const char *>(data), length);
    return length;
}

// A palette of a power of two entries, as GIF stores them.
ColorMapObject *colourMap(const std::vector<GifColorType> &palette)
{
    int bits = 1;
    while ((1 << bits) < int(palette.size()))
        ++bits;
    std::vector<GifColorType> padded = palette;
    padded.resize(size_t(1) << bits, GifColorType{0, 0, 0});
    return GifMakeMapObject(1 << bits, padded.data());
}

QString gifWords(int code)
{
    const char *words = GifErrorString(code);
    return words ? QString::fromLatin1(words) : QStringLiteral("giflib error %1").arg(code);
}

// A GIF being written into memory.
class Output
{
public:
    Output(const QSize &size, QByteArray *bytes)
    {
        int code = 0;
        m_gif = EGifOpen(bytes, appendBytes, &code);
        if (!m_gif)
            m_error = gifWords(code);
        else if (EGifPutScreenDesc(m_gif, size.width(), size.height(), 8, 0, nullptr) != GIF_OK)
            fail();
    }
    ~Output() { close(); }
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;

    // The animation's repeats, in the extension browsers read: 0 forever.
    void loop(int loopCount)
    {
        if (!ok())
            return;
        const int repeats = loopCount == 0 ? 0 : loopCount - 1;
        const GifByteType netscape[] = {'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'};
        const GifByteType block[] = {1, GifByteType(repeats & 0xFF), GifByteType(repeats >> 8)};
        if (EGifPutExtensionLeader(m_gif, APPLICATION_EXT_FUNC_CODE) != GIF_OK ||
            EGifPutExtensionBlock(m_gif, sizeof netscape, netscape) != GIF_OK ||
            EGifPutExtensionBlock(m_gif, sizeof block, block) != GIF_OK ||
            EGifPutExtensionTrailer(m_gif) != GIF_OK)
            fail();
    }

    // One frame, the whole canvas, shown for `delayMs`; the canvas is cleared after it, so
    // that the next frame's transparent pixels show nothing of this one.
    void frame(const Indexed &picture, int delayMs)
    {
        if (!ok())
            return;
        GraphicsControlBlock control{};
        control.DisposalMode = DISPOSE_BACKGROUND;
        control.DelayTime = qBound(0, (delayMs + 5) / 10, 0xFFFF);
        control.TransparentColor =
            picture.transparent < 0 ? NO_TRANSPARENT_COLOR : picture.transparent;
        GifByteType extension[4];
        const size_t length = EGifGCBToExtension(&control, extension);
        ColorMapObject *map = colourMap(picture.palette);
        bool written =
            map &&
            EGifPutExtension(m_gif, GRAPHICS_EXT_FUNC_CODE, int(length), extension) == GIF_OK &&
            EGifPutImageDesc(m_gif, 0, 0, picture.size.width(), picture.size.height(), false,
                             map) == GIF_OK;
        GifFreeMapObject(map);
        const int width = picture.size.width();
        for (int y = 0; written && y < picture.size.height(); ++y)
            written =
                EGifPutLine(m_gif,
                            const_cast<GifByteType *>(picture.pixels.data()) + size_t(y) * width,
                            width) == GIF_OK;
        if (!written)
            fail();
    }

    bool close()
    {
        if (!m_gif)
            return ok();
        int code = 0;
        if (EGifCloseFile(m_gif, &code) != GIF_OK && m_error.isEmpty())
            m_error = gifWords(code);
        m_gif = nullptr;
        return ok();
    }
    bool ok() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }

private:
    void fail()
    {
        if (m_error.isEmpty())
            m_error = gifWords(m_gif ? m_gif->Error : 0);
    }

    GifFileType *m_gif = nullptr;
    QString m_error;
};

// GIF holds no colour description: the source's, in its container or on the pixels, is lost.
LeftOuts colourLost(const QImage &image, const PhotoMetadata &metadata)
{
    LeftOuts lost = metadata.colourLeftOut(QColorSpace(), false);
    const QColorSpace pixels = image.colorSpace();
    if (lost.isEmpty() && pixels.isValid() && pixels != QColorSpace(QColorSpace::SRgb))
        lost.append(LeftOut::IccProfile);
    return lost;
}

} // namespace

qint64 memoryEstimate(const QSize &size)
{
    // The straight RGBA copy, the quantiser's own copy and histogram, and the indices.
    return qint64(size.width()) * size.height() * 10 + (1 << 20);
}

qint64 animationEstimate(const QSize &size)
{
    return memoryEstimate(size) + qint64(size.width()) * size.height();
}

bool encode(const QImage &image, const Formats::EncodeRequest &, const PhotoMetadata &metadata,
            QByteArray *bytes, LeftOuts *leftOut, Formats::EncodeError *error)
{
    const Indexed picture = quantise(image);
    if (!picture.error.isEmpty()) {
        error->words = picture.error;
        error->outOfMemory = picture.outOfMemory;
        return false;
    }
    QByteArray written;
    Output gif(image.size(), &written);
    gif.frame(picture, 0);
    if (!gif.close()) {
        error->words = gif.error();
        return false;
    }
    *bytes = written;
    *leftOut += metadata.present() + colourLost(image, metadata);
    return true;
}

struct Animation::Encoder
{
    QByteArray bytes;
    Output output;
    Indexed pending; // the frame before, until the next one's start gives its delay
    int pendingStart = -1;
    QString error;

    Encoder(const QSize &size, int loopCount) : output(size, &bytes) { output.loop(loopCount); }
};

Animation::Animation(const QSize &size, int loopCount)
    : m_encoder(std::make_unique<Encoder>(size, loopCount))
{}

Animation::~Animation() = default;

bool Animation::add(const QImage &frame, int startMs)
{
    Encoder &e = *m_encoder;
    if (e.pendingStart >= 0)
        e.output.frame(e.pending, startMs - e.pendingStart);
    e.pending = quantise(frame);
    e.pendingStart = startMs;
    if (e.error.isEmpty())
        e.error = !e.pending.error.isEmpty() ? e.pending.error : e.output.error();
    return e.error.isEmpty();
}

bool Animation::finish(int endMs, const PhotoMetadata &metadata, QByteArray *bytes,
                       LeftOuts *leftOut, QString *error)
{
    Encoder &e = *m_encoder;
    if (e.pendingStart >= 0 && e.error.isEmpty())
        e.output.frame(e.pending, endMs - e.pendingStart);
    if (!e.output.close() && e.error.isEmpty())
        e.error = e.output.error();
    if (!e.error.isEmpty()) {
        *error = e.error;
        return false;
    }
    *bytes = e.bytes;
    *leftOut += metadata.present();
    return true;
}

QString Animation::error() const
{
    return m_encoder->error;
}

} // namespace GifWriter

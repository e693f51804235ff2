#include "formats/jxl/jxldecoder.h"

#include "formats/jxl/jxlmetadata.h"
#include "metadata/exifblock.h"
#include "resample/geometry.h"
#include "resample/rowsink.h"
#include "system/peakmemory.h"
#include "system/sourcefile.h"

#include <QColorSpace>

#include <cstring>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include <jxl/decode_cxx.h>

namespace JxlDecoding {

using Formats::Status;
using JxlMetadata::statusWords;

namespace {

// Above this many pixels the decoder's freed buffers are handed back to the system at once.
constexpr qint64 LargePixels = 4 * 1000 * 1000;

// How libjxl's samples become the rows the sink takes.
enum class Samples
{
    Rgb8,   // three bytes a pixel, to opaque QRgb
    Rgba8,  // four bytes, to QRgb with alpha
    Grey8,  // one byte, as it is
    Rgba16, // four 16-bit samples, as QRgba64
    Grey16, // one 16-bit sample, as it is
};

struct PixelKind
{
    Samples samples = Samples::Rgb8;
    JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    RowLayout layout;
    int rowBytesPerPixel = 4; // in the rows pushed
};

PixelKind kindFor(const JxlBasicInfo &info)
{
    const bool alpha = info.alpha_bits > 0;
    const bool deep = info.bits_per_sample > 8;
    const bool grey = info.num_color_channels == 1 && !alpha;
    PixelKind k;
    if (grey) {
        k.samples = deep ? Samples::Grey16 : Samples::Grey8;
        k.format = {1, deep ? JXL_TYPE_UINT16 : JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
        k.layout = RowLayout::image(deep ? QImage::Format_Grayscale16 : QImage::Format_Grayscale8);
        k.rowBytesPerPixel = deep ? 2 : 1;
    } else if (deep) {
        // RGBA64's samples are in libjxl's order; alpha comes opaque where there is none.
        k.samples = Samples::Rgba16;
        k.format = {4, JXL_TYPE_UINT16, JXL_NATIVE_ENDIAN, 0};
        k.layout = RowLayout::image(alpha ? QImage::Format_RGBA64 : QImage::Format_RGBX64, alpha);
        k.rowBytesPerPixel = 8;
    } else {
        k.samples = alpha ? Samples::Rgba8 : Samples::Rgb8;
        k.format = {alpha ? 4u : 3u, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
        k.layout = RowLayout::image(alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32, alpha);
    }
    return k;
}

// Puts each row together from the parts libjxl's threads hand out, in any order, and pushes
// the rows the sink reads into it in order, each as soon as it and those before it are whole.
class RowAssembler
{
public:
    RowAssembler(RowSink *sink, int width, const PixelKind &kind)
        : m_sink(sink), m_width(width), m_kind(kind), m_next(sink->nextRow(0))
    {}

    static void take(void *opaque, size_t x, size_t y, size_t count, const void *pixels)
    {
        static_cast<RowAssembler *>(opaque)->put(int(x), int(y), int(count),
                                                 static_cast<const uchar *>(pixels));
    }

    // Every row the sink reads was pushed.
    bool isComplete() const { return m_next >= m_sink->rowCount() && m_sink->isValid(); }

private:
    struct Row
    {
        std::vector<uchar> bytes;
        int filled = 0;
    };

    bool wanted(int y) const { return y >= m_next && m_sink->nextRow(y) == y; }

    void put(int x, int y, int count, const uchar *pixels)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (!wanted(y) || x < 0 || count <= 0 || x + count > m_width)
            return;
        Row &row = m_pending[y];
        if (row.bytes.empty()) {
            if (m_spare.empty()) {
                row.bytes.resize(size_t(m_width) * size_t(m_kind.rowBytesPerPixel));
            } else {
                row.bytes = std::move(m_spare.back());
                m_spare.pop_back();
            }
        }
        convert(pixels, count, row.bytes.data() + size_t(x) * size_t(m_kind.rowBytesPerPixel));
        row.filled += count;
        pushReady();
    }

    void convert(const uchar *in, int count, uchar *out) const
    {
        switch (m_kind.samples) {
        case Samples::Rgb8: {
            auto *line = reinterpret_cast<QRgb *>(out);
            for (int i = 0; i < count; ++i, in += 3)
                line[i] = qRgb(in[0], in[1], in[2]);
            return;
        }
        case Samples::Rgba8: {
            auto *line = reinterpret_cast<QRgb *>(out);
            for (int i = 0; i < count; ++i, in += 4)
                line[i] = qRgba(in[0], in[1], in[2], in[3]);
            return;
        }
        default:
            std::memcpy(out, in, size_t(count) * size_t(m_kind.rowBytesPerPixel));
        }
    }

    void pushReady()
    {
        for (auto row = m_pending.find(m_next);
             row != m_pending.end() && row->second.filled >= m_width;
             row = m_pending.find(m_next)) {
            m_sink->pushImageRow(m_next, row->second.bytes.data());
            m_spare.push_back(std::move(row->second.bytes));
            m_pending.erase(row);
            m_next = m_sink->nextRow(m_next + 1);
        }
    }

    std::mutex m_mutex;
    RowSink *m_sink;
    int m_width;
    PixelKind m_kind;
    int m_next;
    std::unordered_map<int, Row> m_pending;
    std::vector<std::vector<uchar>> m_spare;
};

// One run of libjxl's decoder over the file: a decode of pixels with the row's threads, a read
// of headers on the caller's alone.
struct Run
{
    JxlDecoderPtr decoder = JxlDecoderMake(nullptr);
    std::unique_ptr<JxlMetadata::Threads> threads;

    bool start(const uchar *data, qint64 size, int events, bool pixels = false)
    {
        JxlDecoder *d = decoder.get();
        if (!d)
            return false;
        if (pixels)
            threads = std::make_unique<JxlMetadata::Threads>();
        if (threads && threads->runner() &&
            JxlDecoderSetParallelRunner(d, threads->runner(), threads->runnerData()) !=
                JXL_DEC_SUCCESS)
            return false;
        // The rows as stored: the sink turns them upright, as for EXIF.
        JxlDecoderSetKeepOrientation(d, JXL_TRUE);
        JxlDecoderSetUnpremultiplyAlpha(d, JXL_TRUE);
        if (JxlDecoderSubscribeEvents(d, events) != JXL_DEC_SUCCESS ||
            JxlDecoderSetInput(d, data, size_t(size)) != JXL_DEC_SUCCESS)
            return false;
        JxlDecoderCloseInput(d);
        return true;
    }
};

class Decoder : public Formats::Decoder
{
public:
    explicit Decoder(const SourceFile &source) : m_data(source.map()), m_size(source.size())
    {
        readHeader();
    }

    int imageCount() override;
    bool isLossless() override
    {
        return m_info.uses_original_profile && !boxes().jpegReconstruction;
    }
    PhotoMetadata metadata() override;
    qint64 memoryEstimate(const Target &target) override;
    Status decode(const Target &target, QImage *out, QString *words) override;
    bool decodesFrames() const override { return m_info.have_animation; }
    Status decodeFrames(const Target &target, Formats::Animation *animation,
                        const Formats::FrameSink &sink, int *endMs, QString *words) override;
    qint64 framesEstimate() override;

private:
    void readHeader();
    void readColour(JxlDecoder *d);
    void countFrames();
    const JxlMetadata::Boxes &boxes();
    // Decodes frame after frame, each fitted to `target`, until `frame` says to stop.
    using FrameDone = std::function<bool(QImage frame, const JxlFrameHeader &header)>;
    Status decodeWith(const Target &target, const FrameDone &frame, QString *words);

    const uchar *m_data;
    qint64 m_size;
    JxlBasicInfo m_info{};
    JxlMetadata::Colour m_colour;
    // Where libjxl has a choice of the pixels' colours (an XYB image whose original is a
    // profile), the encoding they come in.
    std::optional<JxlColorEncoding> m_preferred;
    std::optional<JxlMetadata::Boxes> m_boxes;
    int m_frames = -1;
};

void Decoder::readHeader()
{
    Run run;
    JxlDecoder *d = run.decoder.get();
    if (!m_data || !run.start(m_data, m_size, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING)) {
        refuse(Status::Failed, QStringLiteral("libjxl: JxlDecoderCreate"));
        return;
    }
    bool basic = false;
    for (;;) {
        const JxlDecoderStatus status = JxlDecoderProcessInput(d);
        if (status == JXL_DEC_BASIC_INFO) {
            basic = JxlDecoderGetBasicInfo(d, &m_info) == JXL_DEC_SUCCESS;
            if (!basic)
                break;
        } else if (status == JXL_DEC_COLOR_ENCODING) {
            readColour(d);
            break;
        } else {
            // The signature was there: a header cut short is damage; one libjxl refuses,
            // unreadable.
            refuse(status == JXL_DEC_NEED_MORE_INPUT || basic ? Status::Damaged : Status::Failed,
                   statusWords("JxlDecoderProcessInput", status));
            return;
        }
    }
    if (!basic || m_info.xsize == 0 || m_info.ysize == 0) {
        refuse(Status::Failed, statusWords("JxlDecoderGetBasicInfo", JXL_DEC_ERROR));
        return;
    }
    m_header.stored = QSize(int(qMin<uint32_t>(m_info.xsize, INT_MAX)),
                            int(qMin<uint32_t>(m_info.ysize, INT_MAX)));
    m_header.transform = ExifBlock::transformationOf(int(m_info.orientation));
    if (m_info.have_animation)
        countFrames();
}

// The original's description, and what the decoded pixels will be in.
void Decoder::readColour(JxlDecoder *d)
{
    JxlColorEncoding encoding;
    const bool encoded =
        JxlDecoderGetColorAsEncodedProfile(d, nullptr, JXL_COLOR_PROFILE_TARGET_ORIGINAL,
                                           &encoding) == JXL_DEC_SUCCESS;
    const bool xyb = !m_info.uses_original_profile;
    if (encoded && encoding.color_space != JXL_COLOR_SPACE_XYB &&
        encoding.color_space != JXL_COLOR_SPACE_UNKNOWN) {
        // libjxl converts XYB into the encoding itself.
        m_colour = JxlMetadata::fromEncoding(encoding);
        return;
    }
    QByteArray icc;
    size_t size = 0;
    if (!encoded &&
        JxlDecoderGetICCProfileSize(d, nullptr, JXL_COLOR_PROFILE_TARGET_ORIGINAL, &size) ==
            JXL_DEC_SUCCESS &&
        size > 0 && size < (64u << 20)) {
        icc.resize(int(size));
        if (JxlDecoderGetColorAsICCProfile(d, nullptr, JXL_COLOR_PROFILE_TARGET_ORIGINAL,
                                           reinterpret_cast<uint8_t *>(icc.data()),
                                           size) != JXL_DEC_SUCCESS)
            icc.clear();
    }
    if (!xyb) {
        m_colour = JxlMetadata::fromIcc(icc); // the pixels are in the profile's own space
        return;
    }
    // Without a colour engine libjxl would give linear sRGB: the pixels come in the encoding
    // that says the profile where one does, else as sRGB (what lies outside it clipped).
    JxlColorEncoding preferred;
    if (!icc.isEmpty() && JxlMetadata::encodingForIcc(icc, &preferred)) {
        m_colour = JxlMetadata::fromIcc(icc);
    } else {
        preferred = JxlMetadata::srgbEncoding(m_info.num_color_channels == 1);
        m_colour = JxlMetadata::fromEncoding(preferred);
    }
    m_preferred = preferred;
}

const JxlMetadata::Boxes &Decoder::boxes()
{
    if (!m_boxes)
        m_boxes = m_data && refusal() == Status::Decoded ? JxlMetadata::read(m_data, m_size)
                                                         : JxlMetadata::Boxes();
    return *m_boxes;
}

PhotoMetadata Decoder::metadata()
{
    if (refusal() != Status::Decoded)
        return PhotoMetadata();
    const JxlMetadata::Boxes &found = boxes();
    PhotoMetadata::Record record;
    record.exif = found.exif;
    record.xmp = found.xmp;
    record.icc = m_colour.icc;
    record.cicp = m_colour.cicp;
    return PhotoMetadata(record);
}

int Decoder::imageCount()
{
    return m_info.have_animation && m_frames > 0 ? m_frames : 1;
}

// Each frame's header and table of contents, libjxl skipping the rest: an animation whose
// frames do not all come whole is damaged, never one of fewer frames.
void Decoder::countFrames()
{
    Run run;
    m_frames = 0;
    if (!run.start(m_data, m_size, JXL_DEC_FRAME)) {
        refuse(Status::Failed, QStringLiteral("libjxl: JxlDecoderCreate"));
        return;
    }
    JxlDecoderStatus status;
    while ((status = JxlDecoderProcessInput(run.decoder.get())) == JXL_DEC_FRAME)
        ++m_frames;
    if (status != JXL_DEC_SUCCESS || m_frames == 0)
        refuse(Status::Damaged, statusWords("JxlDecoderProcessInput", status));
}

Status Decoder::decodeWith(const Target &target, const FrameDone &frame, QString *words)
{
    Run run;
    JxlDecoder *d = run.decoder.get();
    const int events =
        JXL_DEC_FRAME | JXL_DEC_FULL_IMAGE | (m_preferred ? JXL_DEC_COLOR_ENCODING : 0);
    if (!run.start(m_data, m_size, events, true)) {
        *words = QStringLiteral("libjxl: JxlDecoderCreate");
        return Status::Failed;
    }
    const PixelKind kind = kindFor(m_info);
    const QSize stored = m_header.stored;
    const QSize upright = m_header.upright();
    std::unique_ptr<RowSink> sink;
    std::unique_ptr<RowAssembler> rows;
    JxlFrameHeader header{};
    int decoded = 0;
    for (;;) {
        const JxlDecoderStatus status = JxlDecoderProcessInput(d);
        switch (status) {
        case JXL_DEC_COLOR_ENCODING:
            if (JxlDecoderSetPreferredColorProfile(d, &*m_preferred) != JXL_DEC_SUCCESS) {
                *words = statusWords("JxlDecoderSetPreferredColorProfile", JXL_DEC_ERROR);
                return Status::Failed;
            }
            break;
        case JXL_DEC_FRAME:
            if (JxlDecoderGetFrameHeader(d, &header) != JXL_DEC_SUCCESS)
                header = JxlFrameHeader{};
            break;
        case JXL_DEC_NEED_IMAGE_OUT_BUFFER:
            sink = target.sink(stored, upright, m_header.transform, kind.layout);
            if (!sink->isValid())
                return Status::Failed;
            rows = std::make_unique<RowAssembler>(sink.get(), stored.width(), kind);
            if (JxlDecoderSetImageOutCallback(d, &kind.format, RowAssembler::take, rows.get()) !=
                JXL_DEC_SUCCESS) {
                *words = statusWords("JxlDecoderSetImageOutCallback", JXL_DEC_ERROR);
                return Status::Failed;
            }
            break;
        case JXL_DEC_FULL_IMAGE: {
            if (!rows || !rows->isComplete())
                return Status::Failed;
            QImage image = sink->result();
            rows.reset();
            sink.reset();
            if (image.isNull())
                return Status::Failed;
            if (m_colour.space.isValid())
                image.setColorSpace(m_colour.space);
            ++decoded;
            if (!frame(std::move(image), header))
                return Status::Decoded;
            break;
        }
        case JXL_DEC_SUCCESS:
            if (decoded > 0)
                return Status::Decoded;
            *words = statusWords("JxlDecoderProcessInput", JXL_DEC_ERROR);
            return Status::Failed;
        default:
            // Cut short (libjxl asks for more of a file that has no more) or corrupt.
            *words = statusWords("JxlDecoderProcessInput", status);
            return Status::Damaged;
        }
    }
}

Status Decoder::decode(const Target &target, QImage *out, QString *words)
{
    if (refusal() != Status::Decoded)
        return refusal();
    const Status status = decodeWith(
        target,
        [out](QImage frame, const JxlFrameHeader &) {
            *out = std::move(frame);
            return false; // the first frame alone
        },
        words);
    if (qint64(m_header.stored.width()) * m_header.stored.height() > LargePixels)
        releaseFreedMemory();
    if (status != Status::Decoded)
        *out = QImage();
    return status;
}

Status Decoder::decodeFrames(const Target &target, Formats::Animation *animation,
                             const Formats::FrameSink &sink, int *endMs, QString *words)
{
    if (refusal() != Status::Decoded)
        return refusal();
    animation->lossless = isLossless();
    animation->canvas = m_header.stored;
    animation->loopCount = int(m_info.animation.num_loops);
    animation->background = 0;
    const double tickMs =
        m_info.animation.tps_numerator > 0
            ? 1000.0 * m_info.animation.tps_denominator / m_info.animation.tps_numerator
            : 100.0;
    double start = 0;
    bool stopped = false;
    // Each frame is fitted as a picture of its own: the target knows the canvas upright.
    const Status status = decodeWith(
        target,
        [&](QImage frame, const JxlFrameHeader &header) {
            if (!sink(frame, int(start + 0.5))) {
                stopped = true;
                return false;
            }
            start += header.duration * tickMs;
            return true;
        },
        words);
    *endMs = int(start + 0.5);
    return stopped ? Status::Failed : status;
}

// The canvases libjxl composites frames on, beside one frame's decode.
qint64 Decoder::framesEstimate()
{
    if (!m_info.have_animation)
        return 0;
    return 3 * 4 * qint64(m_header.stored.width()) * m_header.stored.height();
}

// What libjxl holds while it decodes: its own frame of floats and its buffers, measured at 13
// to 15 bytes a pixel for 12-megapixel photos, lossy or lossless, 8 or 16 bits, on one thread or
// two (djxl holds as much beside its output); the rows of the groups in flight on other threads;
// and what the sink holds. The file is mapped: its pages count too.
qint64 Decoder::memoryEstimate(const Target &target)
{
    if (refusal() != Status::Decoded)
        return 0;
    const QSize stored = m_header.stored;
    const qint64 pixels = qint64(stored.width()) * stored.height();
    const PixelKind kind = kindFor(m_info);
    const qint64 library = pixels * 15 + 4 * 1024 * 1024;
    const qint64 rows = 2 * 256 * qint64(stored.width()) * kind.rowBytesPerPixel;
    const qint64 sink =
        target.sinkEstimate(stored, m_header.upright(), m_header.transform, kind.layout);
    return m_size + library + rows + sink;
}

} // namespace

std::unique_ptr<Formats::Decoder> open(const SourceFile &source)
{
    return std::make_unique<Decoder>(source);
}

} // namespace JxlDecoding

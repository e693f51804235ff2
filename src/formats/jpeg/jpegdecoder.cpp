#include "formats/jpeg/jpegdecoder.h"

#include "colour/inks.h"
#include "colour/srgb.h"
#include "formats/jpeg/jpegbands.h"
#include "formats/jpeg/jpegmetadata.h"
#include "formats/jpegsource.h"
#include "formats/sourcedevice.h"
#include "formats/toolkitdecoder.h"
#include "metadata/exifblock.h"
#include "resample/pipelinedsink.h"
#include "resample/rowsink.h"
#include "system/cancellation.h"
#include "system/helperthreads.h"
#include "system/sourcefile.h"
#include "system/workercores.h"

#include <QColorSpace>
#include <QImageReader>
#include <QVector>

#include <atomic>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <jpeglib.h>
// after jpeglib.h, which they need
#include <jerror.h>
#include <jpegint.h> // the marker reader's count of skipped bytes

namespace JpegDecoder {

using Formats::Status;

namespace {

constexpr size_t BufferBytes = 64 * 1024;

// More scans than any encoder writes (libjpeg's own progression has ten): a file made of
// hundreds of thousands of tiny scans would keep a core busy for minutes. The limit is the one
// libjpeg-turbo's fuzzers set.
constexpr int MaxScans = 500;

// Where libjpeg reads: the file, or a band's file.
struct Source
{
    JpegSource base;
    const SourceFile *file;
    const JpegBands::BandFile *band; // read instead of the file where there is one
    qint64 offset;
    JOCTET buffer[BufferBytes];
};

// A band's made-up intervals end a buffer of their own: when libjpeg asks for the bytes after
// them, it has counted the bits it padded each of them with as bytes skipped, which it would
// report with the first interval that really has bytes left over.
qint64 readBandFile(j_decompress_ptr info, Source *source, JOCTET *to, qint64 length)
{
    const qint64 emptyEnd = source->band->emptyEnd();
    if (emptyEnd > 0 && source->offset == emptyEnd)
        info->marker->discarded_bytes = 0;
    const qint64 most = source->offset < emptyEnd ? emptyEnd - source->offset : length;
    return source->band->read(source->offset, to, qMin(most, length));
}

qint64 nextBytes(j_decompress_ptr info, JpegSource *base, JOCTET *to, qint64 length)
{
    auto *source = reinterpret_cast<Source *>(base);
    const qint64 got =
        source->band ? readBandFile(info, source, to, length)
                     : source->file->read(source->offset, reinterpret_cast<char *>(to), length);
    source->offset += qMax<qint64>(0, got);
    return got;
}

// libjpeg reports fatal errors by longjmp. Only the small functions below call into libjpeg,
// each with its own setjmp and nothing but plain data in its frame, so no C++ object is ever
// skipped by a jump.
struct Jpeg
{
    jpeg_decompress_struct info;
    jpeg_error_mgr errorManager;
    jpeg_progress_mgr progress;
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    bool created;
    bool damaged;
    bool cancelled;
    const std::atomic<bool> *cancel; // the run's, asked as libjpeg goes
    JOCTET *icc;
    unsigned int iccLength;
    Srgb::InkConverter *inks; // made once the profile is read, where it is CMYK and asked for
    Source *source;
};

void onError(j_common_ptr info)
{
    auto *jpeg = reinterpret_cast<Jpeg *>(info->client_data);
    (*info->err->format_message)(info, jpeg->message);
    longjmp(jpeg->jump, 1);
}

// Called by libjpeg as it goes, each row of blocks of each scan: where the run is cancelled, or
// the file is known to be damaged or has too many scans, it stops as on an error. Else a
// progressive file would be read to its last scan before the first row is asked for.
void onProgress(j_common_ptr info)
{
    auto *jpeg = reinterpret_cast<Jpeg *>(info->client_data);
    jpeg->cancelled = Cancellation::requested(jpeg->cancel);
    if (!jpeg->damaged && reinterpret_cast<j_decompress_ptr>(info)->input_scan_number > MaxScans) {
        std::snprintf(jpeg->message, sizeof jpeg->message, "More than %d scans", MaxScans);
        jpeg->damaged = true;
    }
    if (jpeg->cancelled || jpeg->damaged)
        longjmp(jpeg->jump, 1);
}

// A band's made-up intervals are empty: libjpeg warns once of each, before it reads past them.
bool inEmptyIntervals(const Source *source)
{
    return source && source->band &&
           source->offset - qint64(source->base.manager.bytes_in_buffer) <=
               source->band->emptyEnd();
}

// Warnings about the entropy-coded data mean that what follows is grey or garbage.
void onMessage(j_common_ptr info, int level)
{
    if (level != -1)
        return;
    switch (info->err->msg_code) {
    case JWRN_HIT_MARKER:
    case JWRN_JPEG_EOF:
    case JWRN_MUST_RESYNC:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_ARITH_BAD_CODE:
    case JWRN_NOT_SEQUENTIAL:
    case JWRN_BOGUS_PROGRESSION:
    case JWRN_EXTRANEOUS_DATA: {
        auto *jpeg = reinterpret_cast<Jpeg *>(info->client_data);
        if (info->err->msg_code == JWRN_HIT_MARKER && inEmptyIntervals(jpeg->source))
            break;
        // Bytes left over before a restart marker: intervals merged, the rows after shifted.
        // Padding between segments, or before the end, loses nothing.
        if (info->err->msg_code == JWRN_EXTRANEOUS_DATA &&
            (info->err->msg_parm.i[1] & 0xF8) != JPEG_RST0)
            break;
        if (!jpeg->damaged)
            (*info->err->format_message)(info, jpeg->message);
        jpeg->damaged = true;
        break;
    }
    default:
        break;
    }
}

void setSource(Jpeg *j, const SourceFile *file, const JpegBands::BandFile *band)
{
    j->source = static_cast<Source *>(std::calloc(1, sizeof(Source)));
    j->source->base.next = nextBytes;
    j->source->base.buffer = j->source->buffer;
    j->source->base.bufferBytes = qint64(BufferBytes);
    j->source->file = file;
    j->source->band = band;
    j->source->base.install(&j->info);
}

bool readHeader(Jpeg *j, const SourceFile *file, const JpegBands::BandFile *band = nullptr)
{
    j->info.err = jpeg_std_error(&j->errorManager);
    j->errorManager.error_exit = onError;
    j->errorManager.emit_message = onMessage;
    if (setjmp(j->jump))
        return false;
    jpeg_create_decompress(&j->info);
    j->info.client_data = j;
    j->created = true;
    j->progress.progress_monitor = onProgress;
    j->info.progress = &j->progress;
    setSource(j, file, band);
    jpeg_save_markers(&j->info, JPEG_COM, 0xFFFF);
    jpeg_save_markers(&j->info, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&j->info, TRUE);
    if (!jpeg_read_icc_profile(&j->info, &j->icc, &j->iccLength))
        j->icc = nullptr;
    return true;
}

bool startDecoding(Jpeg *j, J_COLOR_SPACE space)
{
    if (setjmp(j->jump))
        return false;
    j->info.out_color_space = space;
    jpeg_start_decompress(&j->info);
    return true;
}

// Both stop once the data is known to be damaged: the row is refused anyway, and libjpeg would
// otherwise go on decoding made-up data for every remaining row.
bool readRow(Jpeg *j, JSAMPROW row)
{
    if (j->damaged || setjmp(j->jump))
        return false;
    return jpeg_read_scanlines(&j->info, &row, 1) == 1;
}

bool skipRows(Jpeg *j, JDIMENSION count)
{
    if (j->damaged || setjmp(j->jump))
        return false;
    return jpeg_skip_scanlines(&j->info, count) == count;
}

// Decoded into `scratch` and dropped: libjpeg skips a file's last rows without decoding them,
// and the bytes left over before their restart markers would go unread. Bytes left over that
// libjpeg has counted but not yet reported (it reports them at the next restart marker it
// looks for itself) are decoded on to, as one core would.
bool checkRows(Jpeg *j, int count, JSAMPROW scratch)
{
    for (int i = 0; i < count; ++i)
        if (!readRow(j, scratch))
            return false;
    while (j->info.marker->discarded_bytes > 0 && !j->damaged &&
           j->info.output_scanline < j->info.output_height)
        if (!readRow(j, scratch))
            return false;
    return true;
}

void closeJpeg(Jpeg *j)
{
    if (j->created)
        jpeg_destroy_decompress(&j->info);
    std::free(j->source);
    std::free(j->icc);
    delete j->inks;
}

// The rows of one band from `from` to `end`, decoded on a thread of its own from a file of
// its own where row `first` is row `fileFirst`, and kept for the sink, which takes rows in
// order on its own thread.
struct Band
{
    JpegBands::Cut cut;
    int first = 0;
    int fileFirst = 0;
    int from = 0;
    int end = 0;
    // Decoded through, a row of MCUs past its end, so that the restart marker at the next cut is
    // read, and bytes left over before it found, as one core finds them.
    int checked = 0;
    QVector<int> wanted;             // the rows the sink reads
    std::unique_ptr<uchar[]> pixels; // their columns the sink reads, made on the band's thread
    bool decoded = false;
};

// What every band shares: the file and how libjpeg reads it.
struct Bands
{
    const std::atomic<bool> *cancel;
    const uchar *bytes; // the file, mapped before any band starts
    qint64 size;
    JpegBands::Scan scan;
    unsigned scale;
    J_COLOR_SPACE space;
    QSize rows; // libjpeg's output for the whole file
    int pixelBytes;
    QVector<int> columns; // the ones the sink reads
    std::vector<Band> each;
    int firstChecked = 0; // the first band's rows past its end, decoded as a band's are

    qint64 keptBytes() const { return qint64(columns.size()) * pixelBytes; }
    // A band keeps only the columns the sink reads: with the nearest, an eighth of a large
    // photo's.
    void keep(const uchar *row, uchar *kept) const
    {
        if (pixelBytes == 1)
            gather<uchar>(row, kept);
        else
            gather<quint32>(row, kept);
    }
    void restore(const uchar *kept, uchar *row) const
    {
        if (pixelBytes == 1)
            scatter<uchar>(kept, row);
        else
            scatter<quint32>(kept, row);
    }

private:
    template <typename Pixel> void gather(const uchar *row, uchar *kept) const
    {
        for (int i = 0; i < columns.size(); ++i)
            reinterpret_cast<Pixel *>(kept)[i] = reinterpret_cast<const Pixel *>(row)[columns[i]];
    }
    template <typename Pixel> void scatter(const uchar *kept, uchar *row) const
    {
        for (int i = 0; i < columns.size(); ++i)
            reinterpret_cast<Pixel *>(row)[columns[i]] = reinterpret_cast<const Pixel *>(kept)[i];
    }
};

bool readBand(Jpeg *j, const Bands &bands, const JpegBands::BandFile &file, Band *band)
{
    if (!readHeader(j, nullptr, &file))
        return false;
    j->info.scale_num = bands.scale;
    j->info.scale_denom = 8;
    const int shift = band->fileFirst - band->first;
    if (!startDecoding(j, bands.space) || int(j->info.output_width) != bands.rows.width() ||
        int(j->info.output_height) != bands.rows.height() + shift)
        return false;
    QVector<uchar> row(bands.rows.width() * bands.pixelBytes);
    int next = 0;
    for (int i = 0; i < band->wanted.size(); ++i) {
        const int y = band->wanted.at(i) + shift;
        if (y > next && !skipRows(j, JDIMENSION(y - next)))
            return false;
        if (!readRow(j, row.data()))
            return false;
        next = y + 1;
        bands.keep(row.constData(), band->pixels.get() + i * bands.keptBytes());
    }
    const int rows = band->checked + shift;
    return checkRows(j, rows - next, row.data());
}

// Any failure leaves the band to the whole file's decoder, which says what is wrong, if it is.
void decodeBand(const Bands *bands, Band *band)
{
    const std::optional<JpegBands::BandFile> file =
        JpegBands::BandFile::make(bands->bytes, bands->size, bands->scan, band->cut);
    if (!file)
        return;
    band->pixels.reset(new (std::nothrow) uchar[size_t(band->wanted.size() * bands->keptBytes())]);
    if (!band->pixels)
        return;
    Jpeg j;
    std::memset(&j, 0, sizeof j);
    j.cancel = bands->cancel;
    try {
        band->decoded = readBand(&j, *bands, *file, band) && !j.damaged;
    } catch (const std::bad_alloc &) {
        band->decoded = false;
    }
    closeJpeg(&j);
}

// The colour space libjpeg hands out for this file, or JCS_UNKNOWN where the toolkit decodes.
J_COLOR_SPACE outputSpace(const jpeg_decompress_struct &info)
{
    switch (info.jpeg_color_space) {
    case JCS_GRAYSCALE:
        return info.num_components == 1 ? JCS_GRAYSCALE : JCS_UNKNOWN;
    case JCS_YCbCr:
    case JCS_RGB:
        return info.num_components == 3 ? JCS_EXT_BGRA : JCS_UNKNOWN;
    case JCS_CMYK:
    case JCS_YCCK:
        return info.num_components == 4 ? JCS_CMYK : JCS_UNKNOWN;
    default:
        return JCS_UNKNOWN;
    }
}

// Whole-image coefficient arrays, as libjpeg allocates them for a file read in several scans.
qint64 coefficientBytes(const jpeg_decompress_struct &info)
{
    const auto roundUp = [](qint64 value, qint64 step) { return (value + step - 1) / step * step; };
    qint64 bytes = 0;
    for (int i = 0; i < info.num_components; ++i) {
        const jpeg_component_info &component = info.comp_info[i];
        bytes += roundUp(component.width_in_blocks, component.h_samp_factor) *
                 roundUp(component.height_in_blocks, component.v_samp_factor) *
                 qint64(sizeof(JBLOCK));
    }
    return bytes;
}

class Decoder : public Formats::Decoder
{
public:
    Decoder(const SourceFile &source, QImageIOHandler::Transformations transform) : m_source(source)
    {
        std::memset(&m_jpeg, 0, sizeof m_jpeg);
        m_header.transform = transform;
        if (!readHeader(&m_jpeg, &source)) {
            refuse(Status::Failed, QString::fromLocal8Bit(m_jpeg.message));
            return;
        }
        m_header.stored = QSize(int(m_jpeg.info.image_width), int(m_jpeg.info.image_height));
        m_space = outputSpace(m_jpeg.info);
    }
    ~Decoder() override { closeJpeg(&m_jpeg); }
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;

    // libjpeg hands the file out in a colour space of its own: else the toolkit decodes it.
    bool handled() const { return refusal() != Status::Decoded || m_space != JCS_UNKNOWN; }
    void leaveToToolkit() { m_toolkit = std::make_unique<Formats::ToolkitDecoder>(m_source); }
    void countBands(BandCounts *counts) { m_counts = counts; }

    PhotoMetadata metadata() override { return JpegMetadata::read(m_source); }
    std::unique_ptr<Formats::Decoder> gainMap() override;
    qint64 memoryEstimate(const Target &target) override;
    Status decode(const Target &target, QImage *out, QString *words) override;

private:
    RowLayout layout() const
    {
        return RowLayout::image(m_space == JCS_GRAYSCALE ? QImage::Format_Grayscale8
                                                         : QImage::Format_RGB32);
    }
    // The sizes libjpeg can reduce to in its DCT, in eighths, most reduced first. Only
    // halvings: libjpeg-turbo has vector code for those, the other sizes cost more than they
    // save.
    int scaleFor(const Target &target) const
    {
        QVector<QSizeF> reduced;
        const int eighths[] = {1, 2, 4};
        for (int e : eighths)
            reduced.append(QSizeF((qint64(m_jpeg.info.image_width) * e + 7) / 8,
                                  (qint64(m_jpeg.info.image_height) * e + 7) / 8));
        const int chosen = target.reductionFor(reduced, m_header.upright(), m_header.transform);
        return chosen < 0 ? 8 : eighths[chosen];
    }
    void prepareInks();
    void convertInks(uchar *row, int width) const
    {
        if (m_jpeg.inks)
            m_jpeg.inks->convertRow(row, width);
        else
            Inks::adobeToRgb(row, width);
    }
    Status failure() const
    {
        return m_jpeg.cancelled ? Status::Cancelled
               : m_jpeg.damaged ? Status::Damaged
                                : Status::Failed;
    }
    bool pushRows(RowSink *sink, int end);
    std::optional<JpegBands::Scan> bandScan() const;
    Bands bands(const RowSink &sink, int cores) const;
    int upsampledRows() const;
    bool pushBands(RowSink *sink, Bands *bands);
    void copyMetadata(QImage *out) const;

    const SourceFile &m_source;
    Jpeg m_jpeg;
    J_COLOR_SPACE m_space = JCS_UNKNOWN;
    std::unique_ptr<Formats::ToolkitDecoder> m_toolkit;
    BandCounts *m_counts = nullptr;
};

// With sRGB asked for, a CMYK file's inks go through its own profile.
void Decoder::prepareInks()
{
    if (!m_inksToSrgb || !m_jpeg.icc || m_space != JCS_CMYK)
        return;
    m_jpeg.inks = new Srgb::InkConverter(
        QByteArray(reinterpret_cast<const char *>(m_jpeg.icc), int(m_jpeg.iccLength)));
    if (!m_jpeg.inks->isValid()) {
        delete m_jpeg.inks;
        m_jpeg.inks = nullptr;
    }
}

// Every row before `end` the sink reads, skipping the runs it does not, and the rows after the
// last up to `end` too: damage there is found as it would be on one core, whether `end` is the
// image's or where the next band starts.
bool Decoder::pushRows(RowSink *sink, int end)
{
    const int width = int(m_jpeg.info.output_width);
    QVector<uchar> row(width * (m_space == JCS_GRAYSCALE ? 1 : 4));
    int next = int(m_jpeg.info.output_scanline); // the next row libjpeg hands out
    for (int y = sink->nextRow(next); y < end; y = sink->nextRow(y + 1)) {
        if (y > next && !skipRows(&m_jpeg, JDIMENSION(y - next)))
            return false;
        if (!readRow(&m_jpeg, row.data()))
            return false;
        next = y + 1;
        if (m_space == JCS_CMYK)
            convertInks(row.data(), width);
        sink->pushImageRow(y, row.constData());
    }
    return next >= end || skipRows(&m_jpeg, JDIMENSION(end - next));
}

// Inks go through one converter: serially.
std::optional<JpegBands::Scan> Decoder::bandScan() const
{
    const jpeg_decompress_struct &info = m_jpeg.info;
    if (info.progressive_mode || info.arith_code || info.restart_interval == 0 ||
        info.comps_in_scan != info.num_components || m_space == JCS_CMYK ||
        (info.comps_in_scan == 1 && info.max_v_samp_factor != 1))
        return std::nullopt;
    const int mcuWidth = DCTSIZE * (info.comps_in_scan == 1 ? 1 : info.max_h_samp_factor);
    const int mcuHeight = DCTSIZE * (info.comps_in_scan == 1 ? 1 : info.max_v_samp_factor);
    JpegBands::Scan scan;
    scan.dataStart = m_jpeg.source->offset - qint64(m_jpeg.source->base.manager.bytes_in_buffer);
    scan.interval = int(info.restart_interval);
    scan.mcusPerRow = int((info.image_width + mcuWidth - 1) / mcuWidth);
    scan.mcuRows = int((info.image_height + mcuHeight - 1) / mcuHeight);
    scan.mcuHeight = mcuHeight;
    scan.height = int(info.image_height);
    return scan;
}

// Chroma upsampled vertically reads the row above, which a band's first row lacks: that row
// comes from the band before.
int Decoder::upsampledRows() const
{
    const jpeg_decompress_struct &info = m_jpeg.info;
    for (int i = 0; i < info.num_components; ++i) {
        const jpeg_component_info &component = info.comp_info[i];
        if (info.max_v_samp_factor * info.min_DCT_scaled_size >
            component.v_samp_factor * component.DCT_scaled_size)
            return 1;
    }
    return 0;
}

// The bands after the first, one for each further core, with the rows the sink reads of them.
Bands Decoder::bands(const RowSink &sink, int cores) const
{
    Bands out{m_jpeg.cancel,
              nullptr,
              m_source.size(),
              {},
              m_jpeg.info.scale_num,
              m_space,
              QSize(int(m_jpeg.info.output_width), int(m_jpeg.info.output_height)),
              m_space == JCS_GRAYSCALE ? 1 : 4,
              sink.columns(),
              {}};
    const std::optional<JpegBands::Scan> scan = cores > 1 ? bandScan() : std::nullopt;
    out.bytes = scan ? m_source.map() : nullptr;
    if (!out.bytes)
        return out;
    out.scan = *scan;
    const QVector<JpegBands::Cut> cuts = JpegBands::evenCuts(*scan, cores);
    const int rowsPerMcu = scan->mcuHeight * int(out.scale) / 8;
    const int seam = upsampledRows();
    for (int i = 0; i < cuts.size(); ++i) {
        Band band;
        band.cut = cuts.at(i);
        band.first = band.cut.mcuRow * rowsPerMcu;
        band.fileFirst = band.cut.fileRow * rowsPerMcu;
        band.from = band.first + seam;
        band.end =
            i + 1 < cuts.size() ? cuts.at(i + 1).mcuRow * rowsPerMcu + seam : out.rows.height();
        band.checked = qMin(band.end + rowsPerMcu, out.rows.height());
        for (int y = sink.nextRow(band.from); y < band.end; y = sink.nextRow(y + 1))
            band.wanted.append(y);
        out.each.push_back(std::move(band));
    }
    if (!out.each.empty())
        out.firstChecked = qMin(out.each.front().from + rowsPerMcu, out.rows.height());
    return out;
}

// The first band on this thread into the sink while the others decode on their own, then
// theirs in order. Where one failed, this thread's decoder goes on through the rest of the file
// as it would alone: the outcome, whether damaged or sound, is one core's.
bool Decoder::pushBands(RowSink *sink, Bands *bands)
{
    std::vector<std::thread> threads;
    for (Band &band : bands->each)
        if (!HelperThreads::start(&threads, decodeBand, bands, &band))
            break; // the bands not started are left to this thread
    const bool first = pushRows(sink, bands->each.front().from) && !m_jpeg.damaged;
    HelperThreads::joinAll(&threads);
    if (!first)
        return false;
    for (const Band &band : bands->each) {
        if (!band.decoded) {
            if (m_counts)
                m_counts->left += int(bands->each.size());
            return pushRows(sink, bands->rows.height());
        }
    }
    if (m_counts)
        m_counts->decoded += int(bands->each.size());
    // This thread's rows past its band, read only now: where a band had failed, they were the
    // rest of the file's.
    QVector<uchar> row(bands->rows.width() * bands->pixelBytes);
    const int next = int(m_jpeg.info.output_scanline);
    if (!checkRows(&m_jpeg, bands->firstChecked - next, row.data()))
        return false;
    for (const Band &band : bands->each) {
        for (int i = 0; i < band.wanted.size(); ++i) {
            bands->restore(band.pixels.get() + i * bands->keptBytes(), row.data());
            sink->pushImageRow(band.wanted.at(i), row.constData());
        }
    }
    return true;
}

void Decoder::copyMetadata(QImage *out) const
{
    const jpeg_decompress_struct &info = m_jpeg.info;
    if (m_jpeg.icc)
        out->setColorSpace(QColorSpace::fromIccProfile(
            QByteArray(reinterpret_cast<const char *>(m_jpeg.icc), int(m_jpeg.iccLength))));
    const double perMeter = info.density_unit == 1 ? 100.0 / 2.54 : 100.0;
    if (info.density_unit == 1 || info.density_unit == 2) {
        out->setDotsPerMeterX(int(perMeter * info.X_density));
        out->setDotsPerMeterY(int(perMeter * info.Y_density));
    }
    for (auto *marker = info.marker_list; marker; marker = marker->next) {
        if (marker->marker != JPEG_COM)
            continue;
        const QString text = QString::fromUtf8(reinterpret_cast<const char *>(marker->data),
                                               int(marker->data_length));
        const int colon = text.indexOf(QLatin1String(": "));
        if (colon == -1 || text.indexOf(QLatin1Char(' ')) < colon)
            out->setText(QStringLiteral("Description"), text);
        else
            out->setText(text.left(colon), text.mid(colon + 2));
    }
    if (m_jpeg.inks)
        out->setColorSpace(QColorSpace(QColorSpace::SRgb));
}

Status Decoder::decode(const Target &target, QImage *out, QString *words)
{
    if (m_toolkit)
        return m_toolkit->decode(target, out, words);
    if (refusal() != Status::Decoded || m_space == JCS_UNKNOWN)
        return Status::Failed;
    prepareInks();
    m_jpeg.cancel = Cancellation::forThisThread();
    m_jpeg.info.scale_num = unsigned(scaleFor(target));
    m_jpeg.info.scale_denom = 8;
    if (!startDecoding(&m_jpeg, m_space)) {
        *words = QString::fromLocal8Bit(m_jpeg.message);
        return failure();
    }
    const QSize rows(int(m_jpeg.info.output_width), int(m_jpeg.info.output_height));
    std::unique_ptr<RowSink> sink =
        target.sink(rows, m_header.upright(), m_header.transform, layout());
    if (!sink->isValid())
        return Status::Failed;
    const int cores = WorkerCores::forThisThread();
    Bands cut = bands(*sink, cores);
    // A file that cannot be cut decodes on one core while the other resamples.
    if (cut.each.empty())
        sink = pipelined(std::move(sink), rows, layout());
    const bool pushed =
        cut.each.empty() ? pushRows(sink.get(), rows.height()) : pushBands(sink.get(), &cut);
    if (!pushed || m_jpeg.damaged) {
        *words = QString::fromLocal8Bit(m_jpeg.message);
        return failure();
    }
    *out = sink->result();
    if (out->isNull())
        return Status::Failed;
    copyMetadata(out);
    return Status::Decoded;
}

// The output, a scanline, the strips libjpeg keeps between decoding, upsampling and colour
// conversion, and for a progressive or multi-scan file the whole coefficient buffer.
qint64 Decoder::memoryEstimate(const Target &target)
{
    if (m_toolkit)
        return m_toolkit->memoryEstimate(target);
    const jpeg_decompress_struct &info = m_jpeg.info;
    const qint64 width = info.image_width;
    const int eighths = scaleFor(target);
    const QSize rows(int((width * eighths + 7) / 8),
                     int((qint64(info.image_height) * eighths + 7) / 8));
    const qint64 bytesPerPixel = m_space == JCS_GRAYSCALE ? 1 : 4;
    const qint64 strips = width * info.max_v_samp_factor * DCTSIZE * info.num_components * 2;
    const qint64 fixed = 256 * 1024;
    const qint64 sink = target.sinkEstimate(rows, m_header.upright(), m_header.transform, layout());
    const qint64 serial = sink + width * bytesPerPixel + strips + fixed +
                          (jpeg_has_multiple_scans(&m_jpeg.info) ? coefficientBytes(info) : 0);
    const int cores = WorkerCores::forThisThread();
    if (cores < 2 || info.progressive_mode || info.restart_interval == 0 || m_space == JCS_CMYK)
        return serial;
    // Each further band: its decoder, and the rows of it the sink reads.
    const QSize output = target.outputFor(m_header.upright());
    const qint64 kept = target.rowsRead(rows.height(), output);
    return serial + (cores - 1) * (strips + fixed + qint64(sizeof(Source))) +
           kept * rows.width() * bytesPerPixel;
}

std::unique_ptr<Formats::Decoder> Decoder::gainMap()
{
    const JpegMetadata::GainMapSource found = JpegMetadata::gainMapSource(m_source);
    if (found.coded.isEmpty())
        return nullptr;
    auto source = std::make_unique<SourceFile>(found.coded);
    std::unique_ptr<Formats::Decoder> map =
        openEmbedded(*source, ExifBlock::transformation(found.exif));
    map->adopt(std::move(source));
    return map;
}

} // namespace

std::unique_ptr<Formats::Decoder> openEmbedded(const SourceFile &source,
                                               QImageIOHandler::Transformations transform)
{
    return std::make_unique<Decoder>(source, transform);
}

std::unique_ptr<Formats::Decoder> open(const SourceFile &source, BandCounts *counts)
{
    const std::unique_ptr<QIODevice> device = Formats::sourceDevice(source);
    const QImageIOHandler::Transformations transform =
        QImageReader(device.get(), "jpeg").transformation();
    auto decoder = std::make_unique<Decoder>(source, transform);
    decoder->countBands(counts);
    if (!decoder->handled())
        decoder->leaveToToolkit();
    return decoder;
}

} // namespace JpegDecoder

// libFuzzer target for the JPEG band cutter: a sequential JPEG with restart markers, taken as
// it is where the input is one, else coded here from the input's bytes, cut in two to four
// bands. Each band's file must read the same in pieces as whole, never past the source's bytes
// (the source is an allocation of its exact size), and decode to the whole file's rows from its
// cut on, wherever the whole file decodes without a warning.
#include "formats/jpeg/jpegbands.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include <jpeglib.h>
// after jpeglib.h, which it needs
#include <jerror.h>

namespace {

// Larger images add nothing the small ones do not reach, and slow every run.
constexpr long LargestPixels = 1 << 18;
constexpr qint64 LargestIntervals = 1 << 20;

// Read lengths, taken from the input's bytes in turn: mostly short, some long.
class Lengths
{
public:
    Lengths(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}
    qint64 next()
    {
        const uint8_t byte = m_data[m_at++ % m_size];
        return byte & 0x80 ? 1 + qint64(byte & 0x7F) * 97 : 1 + (byte & 0x1F);
    }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_at = 0;
};

[[noreturn]] void fail(const char *what, int count, int band)
{
    std::fprintf(stderr, "fuzz_bands: %s (%d bands, band %d)\n", what, count, band);
    std::abort();
}

// libjpeg, with errors by longjmp and warnings counted. The functions that call it hold nothing
// with a destructor in their frames.
struct Jpeg
{
    jpeg_decompress_struct info;
    jpeg_error_mgr errors;
    jmp_buf jump;
    int warnings;   // any
    int markerHits; // a marker where data was due: once in each of the band's empty intervals
    int damage;     // the others the decoder takes for damaged data
    char first[JMSG_LENGTH_MAX]; // the first of those
    jpeg_source_mgr source;
    const JpegBands::BandFile *band;
    qint64 offset;
    Lengths *lengths;
    JOCTET buffer[4096];
};

void onError(j_common_ptr info)
{
    longjmp(reinterpret_cast<Jpeg *>(info->client_data)->jump, 1);
}

void onMessage(j_common_ptr info, int level)
{
    if (level != -1)
        return;
    auto *jpeg = reinterpret_cast<Jpeg *>(info->client_data);
    ++jpeg->warnings;
    // libjpeg counts the bits it made up in each empty interval as extraneous bytes, and says
    // so at the next marker it looks for: not damage, as the decoder has it.
    switch (info->err->msg_code) {
    case JWRN_HIT_MARKER:
        ++jpeg->markerHits;
        break;
    case JWRN_JPEG_EOF:
    case JWRN_MUST_RESYNC:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_ARITH_BAD_CODE:
    case JWRN_NOT_SEQUENTIAL:
    case JWRN_BOGUS_PROGRESSION:
        if (jpeg->damage++ == 0)
            (*info->err->format_message)(info, jpeg->first);
        break;
    default:
        break;
    }
}

void noOp(j_decompress_ptr) {}

// The band's file in pieces of the input's lengths, as the decoder's source reads it.
boolean fillFromBand(j_decompress_ptr info)
{
    auto *jpeg = reinterpret_cast<Jpeg *>(info->client_data);
    const qint64 wanted = std::min<qint64>(jpeg->lengths->next(), sizeof jpeg->buffer);
    qint64 got = jpeg->band->read(jpeg->offset, jpeg->buffer, wanted);
    if (got <= 0) {
        WARNMS(info, JWRN_JPEG_EOF);
        jpeg->buffer[0] = 0xFF;
        jpeg->buffer[1] = JPEG_EOI;
        got = 2;
    } else {
        jpeg->offset += got;
    }
    jpeg->source.next_input_byte = jpeg->buffer;
    jpeg->source.bytes_in_buffer = size_t(got);
    return TRUE;
}

void skipInBand(j_decompress_ptr info, long count)
{
    auto *jpeg = reinterpret_cast<Jpeg *>(info->client_data);
    while (count > long(jpeg->source.bytes_in_buffer)) {
        count -= long(jpeg->source.bytes_in_buffer);
        fillFromBand(info);
    }
    if (count > 0) {
        jpeg->source.next_input_byte += count;
        jpeg->source.bytes_in_buffer -= size_t(count);
    }
}

void create(Jpeg *j)
{
    std::memset(j, 0, sizeof *j);
    j->info.err = jpeg_std_error(&j->errors);
    j->errors.error_exit = onError;
    j->errors.emit_message = onMessage;
    jpeg_create_decompress(&j->info);
    j->info.client_data = j;
}

void useBand(Jpeg *j, const JpegBands::BandFile *band, Lengths *lengths)
{
    j->band = band;
    j->lengths = lengths;
    j->source.init_source = noOp;
    j->source.fill_input_buffer = fillFromBand;
    j->source.skip_input_data = skipInBand;
    j->source.resync_to_restart = jpeg_resync_to_restart;
    j->source.term_source = noOp;
    j->info.src = &j->source;
}

bool readHeader(Jpeg *j)
{
    if (setjmp(j->jump))
        return false;
    return jpeg_read_header(&j->info, TRUE) == JPEG_HEADER_OK;
}

// Every row, `stride` bytes each, into `rows`, sized for them once libjpeg knows them.
bool decodeRows(Jpeg *j, std::vector<uint8_t> *rows, int *stride)
{
    if (setjmp(j->jump))
        return false;
    jpeg_start_decompress(&j->info);
    *stride = int(j->info.output_width * j->info.output_components);
    rows->resize(size_t(*stride) * j->info.output_height);
    while (j->info.output_scanline < j->info.output_height) {
        JSAMPROW row = rows->data() + size_t(*stride) * j->info.output_scanline;
        jpeg_read_scanlines(&j->info, &row, 1);
    }
    jpeg_finish_decompress(&j->info);
    return true;
}

// As the decoder reads the scan: the same conditions for cutting it.
std::optional<JpegBands::Scan> scanOf(const jpeg_decompress_struct &info, qint64 dataStart)
{
    if (info.progressive_mode || info.arith_code || info.restart_interval == 0 ||
        info.comps_in_scan != info.num_components ||
        (info.comps_in_scan == 1 && info.max_v_samp_factor != 1))
        return std::nullopt;
    const int mcuWidth = DCTSIZE * (info.comps_in_scan == 1 ? 1 : info.max_h_samp_factor);
    const int mcuHeight = DCTSIZE * (info.comps_in_scan == 1 ? 1 : info.max_v_samp_factor);
    JpegBands::Scan scan;
    scan.dataStart = dataStart;
    scan.interval = int(info.restart_interval);
    scan.mcusPerRow = int((info.image_width + mcuWidth - 1) / mcuWidth);
    scan.mcuRows = int((info.image_height + mcuHeight - 1) / mcuHeight);
    scan.mcuHeight = mcuHeight;
    scan.height = int(info.image_height);
    return scan;
}

// Chroma upsampled vertically reads the row above: a band's first row has garbage there.
int seamRows(const jpeg_decompress_struct &info)
{
    for (int i = 0; i < info.num_components; ++i)
        if (info.comp_info[i].v_samp_factor < info.max_v_samp_factor)
            return 1;
    return 0;
}

// A JPEG coded from the input: its first bytes choose the sampling, the size, the restart
// interval and the quality, the rest are the pixels, repeated.
std::vector<uint8_t> codeJpeg(const uint8_t *data, size_t size)
{
    static const int samplings[][2] = {{0, 0}, {1, 1}, {2, 1}, {2, 2}, {1, 2}, {4, 1}};
    const uint8_t *head = data;
    const int kind = head[0] % 6;
    const int width = 1 + head[1] % 192;
    const int height = 1 + head[2] % 192;
    const int restart = head[3];
    const int quality = 1 + head[4] % 100;
    const uint8_t *pixels = data + 5;
    const size_t count = size - 5;
    const int components = kind == 0 ? 1 : 3;
    std::vector<uint8_t> image(size_t(width) * height * components);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = count > 0 ? pixels[i % count] : uint8_t(i * 7);

    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char *out = nullptr;
    unsigned long outSize = 0;
    jpeg_mem_dest(&info, &out, &outSize);
    info.image_width = JDIMENSION(width);
    info.image_height = JDIMENSION(height);
    info.input_components = components;
    info.in_color_space = kind == 0 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    if (kind != 0) {
        info.comp_info[0].h_samp_factor = samplings[kind][0];
        info.comp_info[0].v_samp_factor = samplings[kind][1];
    }
    // Every MCU to fifteen, or every row or two of them.
    if (restart & 0x80)
        info.restart_in_rows = 1 + (restart >> 6 & 1);
    else
        info.restart_interval = 1 + restart % 15;
    info.optimize_coding = (restart & 0x40) != 0;
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = image.data() + size_t(info.next_scanline) * width * components;
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::vector<uint8_t> jpeg(out, out + outSize);
    std::free(out);
    return jpeg;
}

// Reading the band's file whole and in pieces gives the same bytes, and nothing past its end.
void checkReads(const JpegBands::BandFile &band, qint64 sourceSize, int mcusPerRow,
                Lengths *lengths, std::vector<uint8_t> *whole, int count, int index)
{
    // The headers with their height changed and fewer empty intervals than a row has MCUs,
    // then the source's bytes after the cut.
    const qint64 most = sourceSize + 2 * qint64(mcusPerRow) + 16;
    whole->resize(size_t(most));
    const qint64 length = band.read(0, whole->data(), most);
    if (length <= 0 || length >= most)
        fail("a whole read of impossible length", count, index);
    whole->resize(size_t(length));
    uint8_t spare[16];
    if (band.read(length, spare, sizeof spare) != 0)
        fail("a read past the end gave bytes", count, index);
    for (qint64 at = 0; at < length;) {
        const qint64 piece = lengths->next();
        // Exactly the piece's size, so that a write past it is caught.
        std::unique_ptr<uint8_t[]> to(new uint8_t[size_t(piece)]);
        const qint64 got = band.read(at, to.get(), piece);
        if (got != std::min(piece, length - at) ||
            std::memcmp(to.get(), whole->data() + at, size_t(got)) != 0)
            fail("a read in pieces differs from the whole read", count, index);
        at += got;
    }
    // A few reads from anywhere.
    for (int i = 0; i < 4; ++i) {
        const qint64 at = lengths->next() * lengths->next() % length;
        const qint64 piece = lengths->next();
        std::unique_ptr<uint8_t[]> to(new uint8_t[size_t(piece)]);
        const qint64 got = band.read(at, to.get(), piece);
        if (got != std::min(piece, length - at) ||
            std::memcmp(to.get(), whole->data() + at, size_t(got)) != 0)
            fail("a read from the middle differs from the whole read", count, index);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 5)
        return 0;
    const bool asIs = data[0] == 0xFF && data[1] == 0xD8;
    const std::vector<uint8_t> coded = asIs ? std::vector<uint8_t>() : codeJpeg(data, size);
    const uint8_t *file = asIs ? data : coded.data();
    const size_t fileSize = asIs ? size : coded.size();
    // The file in an allocation of its own size: any read past it is caught.
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[fileSize]);
    std::memcpy(bytes.get(), file, fileSize);

    Jpeg whole;
    create(&whole);
    jpeg_mem_src(&whole.info, bytes.get(), fileSize);
    const bool header = readHeader(&whole);
    const qint64 dataStart = qint64(fileSize - whole.info.src->bytes_in_buffer);
    const std::optional<JpegBands::Scan> scan =
        header ? scanOf(whole.info, dataStart) : std::nullopt;
    // The cutter looks at every interval: a small file may declare millions of them.
    if (!scan || qint64(scan->mcusPerRow) * scan->mcuRows / scan->interval > LargestIntervals) {
        jpeg_destroy_decompress(&whole.info);
        return 0;
    }
    const int seam = seamRows(whole.info);
    const bool small =
        long(whole.info.image_width) * long(whole.info.image_height) <= LargestPixels;
    std::vector<uint8_t> wholeRows;
    int stride = 0;
    const bool clean = small && decodeRows(&whole, &wholeRows, &stride) && whole.warnings == 0;
    jpeg_destroy_decompress(&whole.info);

    Lengths lengths(data, size);
    std::vector<uint8_t> read;
    std::vector<uint8_t> bandRows;
    for (int count = 2; count <= 4; ++count) {
        const QVector<JpegBands::Cut> cuts = JpegBands::evenCuts(*scan, count);
        if (cuts.size() >= count)
            fail("too many cuts", count, -1);
        for (int i = 0; i < cuts.size(); ++i) {
            const JpegBands::Cut &cut = cuts.at(i);
            if (cut.interval < 1 || cut.mcuRow < 1 || cut.mcuRow >= scan->mcuRows ||
                cut.fileRow < 0 || cut.empty < 0 || (i > 0 && cut.mcuRow <= cuts.at(i - 1).mcuRow))
                fail("a cut out of place", count, i);
            const std::optional<JpegBands::BandFile> band =
                JpegBands::BandFile::make(bytes.get(), qint64(fileSize), *scan, cut);
            if (!band)
                continue;
            checkReads(*band, qint64(fileSize), scan->mcusPerRow, &lengths, &read, count, i);
            if (!clean)
                continue;
            Jpeg part;
            create(&part);
            useBand(&part, &*band, &lengths);
            const bool decoded = readHeader(&part) && decodeRows(&part, &bandRows, &stride);
            const JDIMENSION height = part.info.output_height;
            const bool damaged = part.damage > 0 || part.markerHits > cut.empty;
            jpeg_destroy_decompress(&part.info);
            if (!decoded || damaged) {
                std::fprintf(stderr, "fuzz_bands: libjpeg: %s, %d markers hit in %d empty\n",
                             part.first, part.markerHits, cut.empty);
                fail("the band does not decode cleanly", count, i);
            }
            const int shift = (cut.fileRow - cut.mcuRow) * scan->mcuHeight;
            if (int(height) != scan->height + shift)
                fail("the band's height is wrong", count, i);
            const int from = cut.mcuRow * scan->mcuHeight + seam;
            for (int y = from; y < scan->height; ++y) {
                if (std::memcmp(bandRows.data() + size_t(y + shift) * stride,
                                wholeRows.data() + size_t(y) * stride, size_t(stride)) != 0) {
                    std::fprintf(stderr, "fuzz_bands: row %d of the image differs\n", y);
                    fail("the band's rows differ from the whole file's", count, i);
                }
            }
        }
    }
    return 0;
}

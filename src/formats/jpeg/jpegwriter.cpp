#include "formats/jpeg/jpegwriter.h"

#include <QColorSpace>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>

#include <jpeglib.h>

namespace JpegWriter {

namespace {

constexpr int BufferBytes = 64 * 1024;
constexpr int MaxMarkerBytes = 65533;
constexpr int IccHeaderBytes = 14; // "ICC_PROFILE\0", the chunk's number, the count

// libjpeg reports fatal errors by longjmp: only the small functions below call into it, each
// with its own setjmp and nothing but plain data in its frame.
struct Jpeg
{
    jpeg_compress_struct info;
    jpeg_error_mgr errorManager;
    jpeg_destination_mgr destination;
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    bool created;
    bool outOfMemory;
    QByteArray *bytes;
    JOCTET buffer[BufferBytes];
};

// libjpeg's own progression but for the DC in a scan of each component's and luma's first
// bands apart: 0.3 to 1.3 % smaller on photos, smallest at the lowest levels (the scripts
// jpgcrush tries, measured with jpegtran on photos reduced to 1024).
const jpeg_scan_info ColourScans[] = {
    {1, {0}, 0, 0, 0, 0},  {1, {1}, 0, 0, 0, 0},  {1, {2}, 0, 0, 0, 0},  {1, {0}, 1, 8, 0, 2},
    {1, {1}, 1, 8, 0, 0},  {1, {2}, 1, 8, 0, 0},  {1, {0}, 9, 63, 0, 2}, {1, {0}, 1, 63, 2, 1},
    {1, {0}, 1, 63, 1, 0}, {1, {1}, 9, 63, 0, 0}, {1, {2}, 9, 63, 0, 0},
};

void onError(j_common_ptr info)
{
    auto *jpeg = reinterpret_cast<Jpeg *>(info->client_data);
    (*info->err->format_message)(info, jpeg->message);
    longjmp(jpeg->jump, 1);
}

bool flush(Jpeg *jpeg, size_t count)
{
    try {
        jpeg->bytes->append(reinterpret_cast<const char *>(jpeg->buffer), int(count));
        return true;
    } catch (const std::bad_alloc &) {
        jpeg->outOfMemory = true;
        return false;
    }
}

void startDestination(j_compress_ptr info)
{
    auto *jpeg = reinterpret_cast<Jpeg *>(info->client_data);
    info->dest->next_output_byte = jpeg->buffer;
    info->dest->free_in_buffer = BufferBytes;
}

boolean emptyBuffer(j_compress_ptr info)
{
    auto *jpeg = reinterpret_cast<Jpeg *>(info->client_data);
    if (!flush(jpeg, BufferBytes))
        longjmp(jpeg->jump, 1);
    startDestination(info);
    return TRUE;
}

void endDestination(j_compress_ptr info)
{
    auto *jpeg = reinterpret_cast<Jpeg *>(info->client_data);
    if (!flush(jpeg, BufferBytes - info->dest->free_in_buffer))
        longjmp(jpeg->jump, 1);
}

// As the toolkit's writer: 8-bit grey where every colour the image can hold is grey.
bool isGrey(const QImage &image)
{
    switch (image.format()) {
    case QImage::Format_Grayscale8:
        return true;
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
    case QImage::Format_Indexed8:
        for (const QRgb colour : image.colorTable())
            if (!qIsGray(colour))
                return false;
        return true;
    default:
        return false;
    }
}

// The density in whichever unit states it more exactly, as the toolkit's writer does.
void setDensity(jpeg_compress_struct *info, const QImage &image)
{
    const double inchX = image.dotsPerMeterX() * 2.54 / 100,
                 inchY = image.dotsPerMeterY() * 2.54 / 100;
    const double cmX = image.dotsPerMeterX() / 100., cmY = image.dotsPerMeterY() / 100.;
    const double offInch = qAbs(inchX - qRound(inchX)) + qAbs(inchY - qRound(inchY));
    const double offCm = (qAbs(cmX - qRound(cmX)) + qAbs(cmY - qRound(cmY))) * 2.54;
    if (offInch < offCm) {
        info->density_unit = 1;
        info->X_density = UINT16(qRound(inchX));
        info->Y_density = UINT16(qRound(inchY));
    } else {
        info->density_unit = 2;
        info->X_density = UINT16((image.dotsPerMeterX() + 50) / 100);
        info->Y_density = UINT16((image.dotsPerMeterY() + 50) / 100);
    }
}

bool start(Jpeg *j, const QImage &image, bool grey, const Settings &settings)
{
    j->info.err = jpeg_std_error(&j->errorManager);
    j->errorManager.error_exit = onError;
    if (setjmp(j->jump))
        return false;
    jpeg_create_compress(&j->info);
    j->created = true;
    j->info.client_data = j;
    j->destination.init_destination = startDestination;
    j->destination.empty_output_buffer = emptyBuffer;
    j->destination.term_destination = endDestination;
    j->info.dest = &j->destination;
    j->info.image_width = JDIMENSION(image.width());
    j->info.image_height = JDIMENSION(image.height());
    j->info.input_components = grey ? 1 : 3;
    j->info.in_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&j->info);
    setDensity(&j->info, image);
    j->info.optimize_coding = settings.optimized;
    if (settings.progressive && grey) {
        jpeg_simple_progression(&j->info);
    } else if (settings.progressive) {
        j->info.scan_info = ColourScans;
        j->info.num_scans = int(std::size(ColourScans));
    }
    jpeg_set_quality(&j->info, qBound(0, settings.quality, 100), TRUE);
    if (settings.fullChroma && !grey)
        j->info.comp_info[0].h_samp_factor = j->info.comp_info[0].v_samp_factor = 1;
    jpeg_start_compress(&j->info, TRUE);
    return true;
}

bool writeMarker(Jpeg *j, int marker, const QByteArray &payload)
{
    if (setjmp(j->jump))
        return false;
    jpeg_write_marker(&j->info, marker, reinterpret_cast<const JOCTET *>(payload.constData()),
                      unsigned(payload.size()));
    return true;
}

bool writeRow(Jpeg *j, JSAMPROW row)
{
    if (setjmp(j->jump))
        return false;
    jpeg_write_scanlines(&j->info, &row, 1);
    return true;
}

bool finish(Jpeg *j)
{
    if (setjmp(j->jump))
        return false;
    jpeg_finish_compress(&j->info);
    return true;
}

// Each text as a comment "key: value", in the keys' order.
bool writeTexts(Jpeg *j, const QImage &image)
{
    QStringList keys = image.textKeys();
    keys.sort();
    for (const QString &key : keys) {
        if (key.isEmpty())
            continue;
        const QByteArray comment = (key + QLatin1String(": ") + image.text(key)).toUtf8();
        if (!writeMarker(j, JPEG_COM, comment.left(MaxMarkerBytes)))
            return false;
    }
    return true;
}

bool writeProfile(Jpeg *j, const QImage &image)
{
    const QByteArray profile = image.colorSpace().iccProfile();
    const int chunk = MaxMarkerBytes - IccHeaderBytes;
    const int count = (profile.size() + chunk - 1) / chunk;
    for (int i = 0; i < count; ++i) {
        const QByteArray header = QByteArray("ICC_PROFILE", 12) + char(i + 1) + char(count);
        if (!writeMarker(j, JPEG_APP0 + 2, header + profile.mid(i * chunk, chunk)))
            return false;
    }
    return true;
}

// One row as libjpeg takes it: grey samples, or red, green and blue.
void fillRow(const QImage &image, int y, bool grey, uchar *row)
{
    const int width = image.width();
    switch (image.format()) {
    case QImage::Format_Grayscale8:
        std::memcpy(row, image.constScanLine(y), size_t(width));
        return;
    case QImage::Format_RGB888:
        std::memcpy(row, image.constScanLine(y), size_t(width) * 3);
        return;
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
    case QImage::Format_ARGB32_Premultiplied: {
        const auto *pixel = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < width; ++x, ++pixel) {
            *row++ = uchar(qRed(*pixel));
            *row++ = uchar(qGreen(*pixel));
            *row++ = uchar(qBlue(*pixel));
        }
        return;
    }
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
    case QImage::Format_Indexed8:
        for (int x = 0; x < width; ++x) {
            const QRgb colour = image.color(image.pixelIndex(x, y));
            *row++ = uchar(qRed(colour));
            if (!grey) {
                *row++ = uchar(qGreen(colour));
                *row++ = uchar(qBlue(colour));
            }
        }
        return;
    default: {
        const QImage line = image.copy(0, y, width, 1).convertToFormat(QImage::Format_RGB32);
        fillRow(line, 0, false, row);
    }
    }
}

bool writeImage(Jpeg *j, const QImage &image, bool grey, const Settings &settings)
{
    if (!start(j, image, grey, settings) || !writeTexts(j, image) ||
        (!grey && !writeProfile(j, image)))
        return false;
    QByteArray row(image.width() * (grey ? 1 : 3), Qt::Uninitialized);
    for (int y = 0; y < image.height(); ++y) {
        fillRow(image, y, grey, reinterpret_cast<uchar *>(row.data()));
        if (!writeRow(j, reinterpret_cast<JSAMPROW>(row.data())))
            return false;
    }
    return finish(j);
}

} // namespace

bool encode(const QImage &image, const Settings &settings, QByteArray *bytes, QString *error)
{
    if (image.isNull() || image.format() == QImage::Format_Alpha8) {
        *error = QStringLiteral("no image to encode");
        return false;
    }
    auto *j = new (std::nothrow) Jpeg();
    if (!j)
        return false;
    j->bytes = bytes;
    bytes->clear();
    const bool done = writeImage(j, image, isGrey(image), settings);
    if (!done)
        *error = j->outOfMemory ? QString() : QString::fromLocal8Bit(j->message);
    if (j->created)
        jpeg_destroy_compress(&j->info);
    delete j;
    return done;
}

} // namespace JpegWriter

#include "formats/jpeg/jpegstream.h"

#include "colour/srgb.h"
#include "resample/resampler.h"
#include "resample/sampler.h"

#include <QColorSpace>
#include <QFile>
#include <QVector>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>
// after jpeglib.h, which it needs
#include <jerror.h>

namespace JpegStream {

namespace {

// libjpeg reports fatal errors by longjmp. Only the small functions below call into libjpeg,
// each with its own setjmp and nothing but plain data in its frame, so no C++ object is ever
// skipped by a jump.
struct Decoder
{
    jpeg_decompress_struct info;
    jpeg_error_mgr errorManager;
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    bool created;
    bool damaged;
    FILE *file;
    JOCTET *icc;
    unsigned int iccLength;
    bool inksToSrgb;          // CMYK through its profile rather than as the toolkit does
    Srgb::InkConverter *inks; // made once the profile is read, where it is CMYK
};

void onError(j_common_ptr info)
{
    auto *decoder = reinterpret_cast<Decoder *>(info->client_data);
    (*info->err->format_message)(info, decoder->message);
    longjmp(decoder->jump, 1);
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
    case JWRN_BOGUS_PROGRESSION: {
        auto *decoder = reinterpret_cast<Decoder *>(info->client_data);
        if (!decoder->damaged)
            (*info->err->format_message)(info, decoder->message);
        decoder->damaged = true;
        break;
    }
    default:
        break;
    }
}

bool readHeader(Decoder *d)
{
    d->info.err = jpeg_std_error(&d->errorManager);
    d->errorManager.error_exit = onError;
    d->errorManager.emit_message = onMessage;
    if (setjmp(d->jump))
        return false;
    jpeg_create_decompress(&d->info);
    d->info.client_data = d;
    d->created = true;
    jpeg_stdio_src(&d->info, d->file);
    jpeg_save_markers(&d->info, JPEG_COM, 0xFFFF);
    jpeg_save_markers(&d->info, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&d->info, TRUE);
    if (!jpeg_read_icc_profile(&d->info, &d->icc, &d->iccLength))
        d->icc = nullptr;
    return true;
}

bool startDecoding(Decoder *d, J_COLOR_SPACE space)
{
    if (setjmp(d->jump))
        return false;
    d->info.out_color_space = space;
    jpeg_start_decompress(&d->info);
    return true;
}

// Both stop once the data is known to be damaged: the row is refused anyway, and libjpeg would
// otherwise go on decoding made-up data for every remaining row.
bool readRow(Decoder *d, JSAMPROW row)
{
    if (d->damaged || setjmp(d->jump))
        return false;
    return jpeg_read_scanlines(&d->info, &row, 1) == 1;
}

bool skipRows(Decoder *d, JDIMENSION count)
{
    if (d->damaged || setjmp(d->jump))
        return false;
    return jpeg_skip_scanlines(&d->info, count) == count;
}

void closeDecoder(Decoder *d)
{
    if (d->created)
        jpeg_destroy_decompress(&d->info);
    if (d->file)
        fclose(d->file);
    free(d->icc);
    delete d->inks;
}

void copyMetadata(const Decoder &d, QImage *out)
{
    if (d.icc)
        out->setColorSpace(QColorSpace::fromIccProfile(
            QByteArray(reinterpret_cast<const char *>(d.icc), int(d.iccLength))));
    const double perMeter = d.info.density_unit == 1 ? 100.0 / 2.54 : 100.0;
    if (d.info.density_unit == 1 || d.info.density_unit == 2) {
        out->setDotsPerMeterX(int(perMeter * d.info.X_density));
        out->setDotsPerMeterY(int(perMeter * d.info.Y_density));
    }
    for (auto *marker = d.info.marker_list; marker; marker = marker->next) {
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
}

// Reads the stored rows in order, skipping the runs that no output pixel needs.
bool sampleScanlines(Decoder *d, const SamplePlan &plan, QImage *out)
{
    const int bytesPerPixel = out->depth() / 8;
    QVector<uchar> row(int(d->info.output_width) * bytesPerPixel);
    const auto skip = [d](int count) { return skipRows(d, JDIMENSION(count)); };
    const auto read = [d, &row] { return readRow(d, row.data()); };
    const uchar *in = row.constData();
    if (bytesPerPixel == 4)
        return walkStoredRows(plan, skip, read, [&](int target) {
            sampleStoredRow<quint32>(target, plan, out, [in](int x) {
                return reinterpret_cast<const quint32 *>(in)[x];
            });
        });
    return walkStoredRows(plan, skip, read, [&](int target) {
        sampleStoredRow<quint8>(target, plan, out, [in](int x) { return in[x]; });
    });
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

// As the toolkit turns the (Adobe, inverted) CMYK it gets from libjpeg into RGB.
void cmykToRgb(uchar *line, int width)
{
    for (int x = 0; x < width; ++x) {
        uchar *p = line + 4 * x;
        const int k = p[3];
        reinterpret_cast<QRgb *>(p)[0] = qRgb(k * p[0] / 255, k * p[1] / 255, k * p[2] / 255);
    }
}

void cmykToRgb(const Decoder &d, uchar *line, int width)
{
    if (d.inks)
        d.inks->convertRow(line, width);
    else
        cmykToRgb(line, width);
}

void cmykToRgb(const Decoder &d, QImage *image)
{
    for (int y = 0; y < image->height(); ++y)
        cmykToRgb(d, image->scanLine(y), image->width());
    if (d.inks)
        image->setColorSpace(QColorSpace(QColorSpace::SRgb));
}

// With sRGB asked for, a CMYK file's inks go through its own profile.
void prepareInks(Decoder *d)
{
    if (!d->inksToSrgb || !d->icc)
        return;
    d->inks = new Srgb::InkConverter(
        QByteArray(reinterpret_cast<const char *>(d->icc), int(d->iccLength)));
    if (!d->inks->isValid()) {
        delete d->inks;
        d->inks = nullptr;
    }
}

// Rows after the last one sampled still have to be there: a file cut short is damaged.
bool readToEnd(Decoder *d)
{
    const JDIMENSION left = d->info.output_height - d->info.output_scanline;
    return left == 0 || skipRows(d, left);
}

// libjpeg reduces while it decodes, in eighths: to the smallest size that still leaves the
// filter about twice the output's pixels on each side. Only halvings: libjpeg-turbo has
// vector code for those, the other sizes cost more than they save.
unsigned int scaleInEighths(const jpeg_decompress_struct &info, const QSize &out)
{
    for (unsigned int eighths = 1; eighths < 8; eighths *= 2) {
        const qint64 width = (qint64(info.image_width) * eighths + 7) / 8;
        const qint64 height = (qint64(info.image_height) * eighths + 7) / 8;
        if (width >= Resampler::FilterShare * out.width() &&
            height >= Resampler::FilterShare * out.height())
            return eighths;
    }
    return 8;
}

// Every scanline, reduced by libjpeg, through the filter.
bool filterScanlines(Decoder *d, bool cmyk, SmoothRows *rows)
{
    const int width = int(d->info.output_width);
    QVector<uchar> row(width * (rows->channels() == 1 ? 1 : 4));
    for (JDIMENSION y = 0; y < d->info.output_height; ++y) {
        if (!readRow(d, row.data()))
            return false;
        if (rows->channels() == 1) {
            rows->pushGrey8(row.constData());
            continue;
        }
        if (cmyk)
            cmykToRgb(*d, row.data(), width);
        rows->pushRgb32(reinterpret_cast<const QRgb *>(row.constData()), false);
    }
    return true;
}

Status decodeSmooth(Decoder *d, QImageIOHandler::Transformations transform, int box,
                    J_COLOR_SPACE space, QImage *out)
{
    const QSize storedOut = SmoothRows::outputFor(
        QSize(int(d->info.image_width), int(d->info.image_height)), transform, box);
    d->info.scale_num = scaleInEighths(d->info, storedOut);
    d->info.scale_denom = 8;
    if (!startDecoding(d, space))
        return Status::Failed;
    const QSize stored(int(d->info.output_width), int(d->info.output_height));
    SmoothRows rows(stored, storedOut, transform,
                    space == JCS_GRAYSCALE ? QImage::Format_Grayscale8 : QImage::Format_RGB32);
    if (!rows.isValid())
        return Status::Failed;
    if (!filterScanlines(d, space == JCS_CMYK, &rows) || d->damaged)
        return d->damaged ? Status::Damaged : Status::Failed;
    *out = rows.result();
    copyMetadata(*d, out);
    if (d->inks)
        out->setColorSpace(QColorSpace(QColorSpace::SRgb));
    return out->isNull() ? Status::Failed : Status::Decoded;
}

Status decode(Decoder *d, QImageIOHandler::Transformations transform, int box,
              Resampling resampling, QImage *out)
{
    if (!readHeader(d))
        return Status::Failed;
    const J_COLOR_SPACE space = outputSpace(d->info);
    if (space == JCS_UNKNOWN)
        return Status::NotHandled;
    if (space == JCS_CMYK)
        prepareInks(d);
    if (resampling == Resampling::Smooth)
        return decodeSmooth(d, transform, box, space, out);
    const bool grey = space == JCS_GRAYSCALE;
    if (!startDecoding(d, space))
        return Status::Failed;

    const QSize stored(int(d->info.output_width), int(d->info.output_height));
    *out = uprightOutput(stored, transform, box,
                         grey ? QImage::Format_Grayscale8 : QImage::Format_RGB32);
    if (out->isNull())
        return Status::Failed;
    copyMetadata(*d, out);
    const bool complete = sampleScanlines(d, samplePlan(transform, stored, out->size()), out) &&
                          readToEnd(d) && !d->damaged;
    if (!complete) {
        *out = QImage();
        return d->damaged ? Status::Damaged : Status::Failed;
    }
    if (space == JCS_CMYK)
        cmykToRgb(*d, out);
    return Status::Decoded;
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

qint64 estimate(Decoder *d, int box, Resampling resampling)
{
    if (!readHeader(d))
        return -1;
    const J_COLOR_SPACE space = outputSpace(d->info);
    if (space == JCS_UNKNOWN)
        return -1;
    const bool grey = space == JCS_GRAYSCALE;
    const qint64 bytesPerPixel = grey ? 1 : 4;
    const qint64 width = d->info.image_width;
    const QSize out = fitInSquare(QSize(int(width), int(d->info.image_height)), box);
    // The strips libjpeg keeps between decoding, upsampling and colour conversion.
    const qint64 strips = width * d->info.max_v_samp_factor * DCTSIZE * d->info.num_components * 2;
    const qint64 fixed = 256 * 1024;
    const qint64 filter =
        resampling == Resampling::Smooth
            ? SmoothRows::memoryEstimate(QSize(int(width), int(d->info.image_height)), out,
                                         grey ? QImage::Format_Grayscale8 : QImage::Format_RGB32)
            : 0;
    return qint64(out.width()) * out.height() * bytesPerPixel + width * bytesPerPixel + strips +
           fixed + filter + (jpeg_has_multiple_scans(&d->info) ? coefficientBytes(d->info) : 0);
}

bool openDecoder(const QString &path, Decoder *decoder)
{
    std::memset(decoder, 0, sizeof *decoder);
    decoder->file = std::fopen(QFile::encodeName(path).constData(), "rb");
    return decoder->file != nullptr;
}

bool openDecoder(const QByteArray &jpeg, Decoder *decoder)
{
    std::memset(decoder, 0, sizeof *decoder);
    decoder->file = fmemopen(const_cast<char *>(jpeg.constData()), size_t(jpeg.size()), "rb");
    return decoder->file != nullptr;
}

// The estimate and the decode of a file or of bytes in memory: `source` is either.
template <typename Source> qint64 estimateFrom(const Source &source, int box, Resampling resampling)
{
    Decoder decoder;
    if (!openDecoder(source, &decoder))
        return -1;
    const qint64 bytes = estimate(&decoder, box, resampling);
    closeDecoder(&decoder);
    return bytes;
}

template <typename Source>
Status decodeFrom(const Source &source, QImageIOHandler::Transformations transform, int box,
                  Resampling resampling, bool inksToSrgb, QImage *out, QString *error)
{
    Decoder decoder;
    const bool opened = openDecoder(source, &decoder);
    decoder.inksToSrgb = inksToSrgb;
    if (!opened) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return Status::Failed;
    }
    const Status status = decode(&decoder, transform, box, resampling, out);
    if (status == Status::Failed || status == Status::Damaged)
        *error = QString::fromLocal8Bit(decoder.message);
    closeDecoder(&decoder);
    return status;
}

} // namespace

qint64 memoryEstimate(const QString &path, int box, Resampling resampling)
{
    return estimateFrom(path, box, resampling);
}

qint64 memoryEstimateData(const QByteArray &jpeg, int box, Resampling resampling)
{
    return estimateFrom(jpeg, box, resampling);
}

Status decodeScaled(const QString &path, QImageIOHandler::Transformations transform, int box,
                    Resampling resampling, QImage *out, QString *error)
{
    return decodeFrom(path, transform, box, resampling, false, out, error);
}

Status decodeScaledData(const QByteArray &jpeg, QImageIOHandler::Transformations transform, int box,
                        Resampling resampling, QImage *out, QString *error)
{
    return decodeFrom(jpeg, transform, box, resampling, false, out, error);
}

Status decodeScaledSrgb(const QString &path, QImageIOHandler::Transformations transform, int box,
                        Resampling resampling, QImage *out, QString *error)
{
    return decodeFrom(path, transform, box, resampling, true, out, error);
}

} // namespace JpegStream

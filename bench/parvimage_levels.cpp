// How each lossy encoder's quality setting trades file size for fidelity, to choose the values
// behind the Quality menu's levels: every source is reduced to fit the box as a run would,
// encoded at each setting, decoded again, and compared with what was encoded (SSIM on luma).
//
//   parvimage_levels [--size N] [--formats jpg,jxl,...] [--baseline] [--levels] FILE...
//
// Prints, per format and setting, the mean SSIM, file size and encode time; with --levels, only
// the settings behind the program's four levels, each encoded as a run with that level chosen
// would encode it (Normale: the start values); with --formats, only those formats' encoders;
// with --baseline, as with sequential JPEGs asked for.

#include "formats/registry.h"
#include "row/imageresizer.h"
#include "rowload.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImageWriter>
#include <QTemporaryDir>
#include <QVector>

#include <cmath>
#include <cstdio>

namespace {

using Plane = QVector<float>;

Plane luma(const QImage &image)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    Plane y(rgb.width() * rgb.height());
    for (int row = 0; row < rgb.height(); ++row) {
        const auto *line = reinterpret_cast<const QRgb *>(rgb.constScanLine(row));
        for (int x = 0; x < rgb.width(); ++x)
            y[row * rgb.width() + x] =
                0.299f * qRed(line[x]) + 0.587f * qGreen(line[x]) + 0.114f * qBlue(line[x]);
    }
    return y;
}

// A separable Gaussian of sigma 1.5 over 11 taps, edges clamped.
Plane blur(const Plane &in, int width, int height)
{
    float kernel[11], sum = 0;
    for (int i = 0; i < 11; ++i)
        sum += kernel[i] = std::exp(-(i - 5) * (i - 5) / (2 * 1.5f * 1.5f));
    for (float &k : kernel)
        k /= sum;
    Plane across(in.size()), out(in.size());
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            float v = 0;
            for (int i = 0; i < 11; ++i)
                v += kernel[i] * in[y * width + qBound(0, x + i - 5, width - 1)];
            across[y * width + x] = v;
        }
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            float v = 0;
            for (int i = 0; i < 11; ++i)
                v += kernel[i] * across[qBound(0, y + i - 5, height - 1) * width + x];
            out[y * width + x] = v;
        }
    return out;
}

double ssim(const QImage &a, const QImage &b)
{
    const int w = a.width(), h = a.height();
    const Plane x = luma(a), y = luma(b);
    Plane xx(x.size()), yy(x.size()), xy(x.size());
    for (int i = 0; i < x.size(); ++i) {
        xx[i] = x[i] * x[i];
        yy[i] = y[i] * y[i];
        xy[i] = x[i] * y[i];
    }
    const Plane mx = blur(x, w, h), my = blur(y, w, h), sxx = blur(xx, w, h), syy = blur(yy, w, h),
                sxy = blur(xy, w, h);
    const double c1 = 6.5025, c2 = 58.5225;
    double total = 0;
    for (int i = 0; i < x.size(); ++i) {
        const double vx = sxx[i] - mx[i] * mx[i], vy = syy[i] - my[i] * my[i];
        const double cov = sxy[i] - mx[i] * my[i];
        total += (2 * mx[i] * my[i] + c1) * (2 * cov + c2) /
                 ((mx[i] * mx[i] + my[i] * my[i] + c1) * (vx + vy + c2));
    }
    return total / x.size();
}

struct Format
{
    const char *name;
    QByteArray suffix;
    QVector<int> settings;
};

const Format LossyFormats[] = {
    {"JPEG (libjpeg)", "jpg", {35, 45, 55, 65, 75, 82, 88, 92, 95, 97}},
    {"WebP (libwebp)", "webp", {35, 45, 55, 65, 75, 82, 88, 92, 95, 97}},
    {"HEIC (x265, ultrafast)", "heic", {20, 30, 38, 45, 55, 65, 72, 80, 88}},
    {"AVIF (aom, speed 9)", "avif", {40, 50, 60, 70, 76, 82, 88, 92, 96}},
    // libjxl's quality, mapped to a distance as cjxl maps it (90: distance 1).
    {"JPEG XL (libjxl, effort 4)", "jxl", {30, 38, 44, 55, 63, 70, 77, 83, 90, 95, 97}},
};

// Through the program's own writers, at the encoder setting given, as a run with `encoding`
// would write.
bool encode(const QImage &image, const Formats::Encoding &encoding, int setting, QByteArray *bytes)
{
    LeftOuts leftOut;
    Formats::EncodeError error;
    return Formats::writerFor(encoding.format)
        .encode(image, {encoding, setting, false}, PhotoMetadata(), bytes, &leftOut, &error);
}

QImage decoded(const QByteArray &bytes, const char *suffix, const QSize &size, QTemporaryDir &dir)
{
    const QString path = dir.filePath(QStringLiteral("probe.") + suffix);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QImage();
    file.close();
    RowOutcome outcome;
    return RowLoad::scaled(path, qMax(size.width(), size.height()), &outcome);
}

// Each setting with the choices a run would have made to reach it: the start values, or the
// level chosen.
void measure(const Format &format, const QVector<int> &settings,
             const QVector<Formats::Encoding> &encodings, const QVector<QImage> &images,
             QTemporaryDir &dir)
{
    std::printf("%s\n  setting   SSIM     size       encode\n", format.name);
    for (int i = 0; i < settings.size(); ++i) {
        const int setting = settings.at(i);
        double quality = 0, bytes = 0;
        qint64 nanoseconds = 0;
        for (const QImage &image : images) {
            QByteArray encoded;
            QElapsedTimer timer;
            timer.start();
            const bool done = encode(image, encodings.at(i), setting, &encoded);
            nanoseconds += timer.nsecsElapsed();
            if (!done)
                continue;
            quality += ssim(image, decoded(encoded, format.suffix.constData(), image.size(), dir));
            bytes += encoded.size();
        }
        std::printf("  %7d  %.4f  %6.1f KB  %6.1f ms\n", setting, quality / images.size(),
                    bytes / images.size() / 1024, nanoseconds / 1e6 / images.size());
        std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    Formats::initialiseLibraries();
    QCoreApplication app(argc, argv);
    ImageResizer::tuneAllocator();
    QStringList args = app.arguments().mid(1);
    int size = 1024;
    if (args.size() >= 2 && args.first() == "--size") {
        size = args.at(1).toInt();
        args = args.mid(2);
    }
    QStringList only;
    if (args.size() >= 2 && args.first() == "--formats") {
        only = args.at(1).split(',');
        args = args.mid(2);
    }
    const bool baseline = !args.isEmpty() && args.first() == "--baseline";
    if (baseline)
        args.removeFirst();
    const bool levels = !args.isEmpty() && args.first() == "--levels";
    if (levels)
        args.removeFirst();
    QVector<QImage> images;
    for (const QString &path : args) {
        RowOutcome outcome;
        QImage image = RowLoad::scaled(path, size, &outcome, Resampling::Smooth);
        if (!image.isNull())
            images.append(image.convertToFormat(QImage::Format_RGB32));
    }
    if (images.isEmpty()) {
        std::fprintf(
            stderr,
            "usage: parvimage_levels [--size N] [--formats jpg,...] [--baseline] [--levels] "
            "FILE...\n");
        return 2;
    }
    std::printf("%d images at %d\n", int(images.size()), size);
    QTemporaryDir dir;
    const Quality order[] = {Quality::Maximum, Quality::High, Quality::Normal, Quality::Compact};
    for (const Format &format : LossyFormats) {
        if (!only.isEmpty() && !only.contains(QString::fromLatin1(format.suffix)))
            continue;
        QVector<int> settings = format.settings;
        Formats::Encoding encoding;
        encoding.format = format.suffix;
        encoding.baseline = baseline;
        QVector<Formats::Encoding> encodings(settings.size(), encoding);
        if (levels) {
            settings.clear();
            encodings.clear();
            for (Quality quality : order) {
                const int setting = EncoderQuality::setting(format.suffix, quality);
                settings.append(setting < 0 ? 75 : setting); // -1: the default, 75
                encoding.quality = quality;
                encodings.append(encoding);
            }
        }
        measure(format, settings, encodings, images, dir);
    }
    return 0;
}

// Compares the program's smooth filter with libswscale's on the same decoded photo: the time of
// each reduction in this one run, and how far each is from ImageMagick's Lanczos reduction of the
// same pixels (PSNR, higher is closer).
//
//   parvimage_filters PHOTO [SIZE]

#include "resample/geometry.h"
#include "resample/resampler.h"
#include "resample/wholeimage.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <cmath>
#include <functional>

extern "C" {
#include <libswscale/swscale.h>
}

namespace {

double psnr(const QImage &a, const QImage &b)
{
    double squares = 0;
    for (int y = 0; y < a.height(); ++y) {
        const auto *p = reinterpret_cast<const QRgb *>(a.constScanLine(y));
        const auto *q = reinterpret_cast<const QRgb *>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            const int dr = qRed(p[x]) - qRed(q[x]), dg = qGreen(p[x]) - qGreen(q[x]),
                      db = qBlue(p[x]) - qBlue(q[x]);
            squares += dr * dr + dg * dg + db * db;
        }
    }
    const double mse = squares / (3.0 * a.width() * a.height());
    return mse > 0 ? 10 * std::log10(255.0 * 255.0 / mse) : 99;
}

QImage swscale(const QImage &source, const QSize &target, int flags)
{
    QImage out(target, QImage::Format_RGB32);
    SwsContext *context =
        sws_getContext(source.width(), source.height(), AV_PIX_FMT_BGRA, target.width(),
                       target.height(), AV_PIX_FMT_BGRA, flags, nullptr, nullptr, nullptr);
    if (!context)
        return QImage();
    const uint8_t *in[] = {source.constBits()};
    const int inStride[] = {int(source.bytesPerLine())};
    uint8_t *outPlanes[] = {out.bits()};
    const int outStride[] = {int(out.bytesPerLine())};
    sws_scale(context, in, inStride, 0, source.height(), outPlanes, outStride);
    sws_freeContext(context);
    return out;
}

// The fastest of five runs, in milliseconds.
double fastest(const std::function<QImage()> &run, QImage *result)
{
    double best = 1e9;
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer timer;
        timer.start();
        *result = run();
        best = std::min(best, timer.nsecsElapsed() / 1e6);
    }
    return best;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2)
        return 2;
    const QImage source = QImage(args.at(1)).convertToFormat(QImage::Format_RGB32);
    const QSize target = fitInSquare(source.size(), args.value(2, "1024").toInt());
    QTemporaryDir dir;
    const QString reference = dir.filePath("reference.png");
    source.save(dir.filePath("source.png"));
    QProcess::execute("convert",
                      {dir.filePath("source.png"), "-filter", "Lanczos", "-resize",
                       QString("%1x%2!").arg(target.width()).arg(target.height()), reference});
    const QImage expected = QImage(reference).convertToFormat(QImage::Format_RGB32);
    QTextStream out(stdout);
    out << QString("%1 x %2 to %3 x %4, against ImageMagick's Lanczos\n")
               .arg(source.width())
               .arg(source.height())
               .arg(target.width())
               .arg(target.height());
    const auto line = [&](const QString &name, const std::function<QImage()> &run) {
        QImage result;
        const double ms = fastest(run, &result);
        out << QString("  %1 %2 ms   PSNR %3 dB\n")
                   .arg(name, -36)
                   .arg(ms, 7, 'f', 1)
                   .arg(result.isNull() ? 0 : psnr(result, expected), 5, 'f', 2);
        out.flush();
    };
    line("Parvimage (blocks, then Lanczos 3)", [&] { return sampleSmooth(source, target); });
    const int exact = SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_FULL_CHR_H_INP;
    line("libswscale Lanczos", [&] { return swscale(source, target, SWS_LANCZOS | exact); });
    line("libswscale Lanczos, fast rounding", [&] { return swscale(source, target, SWS_LANCZOS); });
    line("libswscale bicubic", [&] { return swscale(source, target, SWS_BICUBIC | exact); });
    line("libswscale area", [&] { return swscale(source, target, SWS_AREA | exact); });
    line("nearest pixels", [&] { return sampleNearest(source, target); });
    return 0;
}

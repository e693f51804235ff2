// Writes the seeds in fuzz/regressions/decode from drawn pictures: small sequential JPEGs with
// restart markers in each sampling the bands cut, and small grid HEICs, which no tool here
// writes. Run by hand when the seeds change: `fuzz_makeseeds fuzz/regressions/decode`.
#include "syntheticgrid.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cstdio>
#include <vector>

#include <jpeglib.h>

namespace {

// Gradients and a few shapes: every MCU different, edges for the chroma to smear.
QImage picture(const QSize &size)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            image.setPixel(x, y,
                           qRgb(x * 255 / size.width(), y * 255 / size.height(), (x * y) % 256));
    QPainter painter(&image);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(230, 40, 40));
    painter.drawEllipse(
        QRect(size.width() / 5, size.height() / 4, size.width() / 3, size.height() / 3));
    painter.setBrush(QColor(20, 20, 200));
    painter.drawRect(QRect(size.width() / 2, size.height() / 2, size.width() / 3, 9));
    return image;
}

// `hSample` x `vSample` luma to chroma, or grey where 0; a restart marker every `mcus` MCUs, or
// every `rows` rows of them.
bool writeJpeg(const QString &path, const QImage &image, int hSample, int vSample, int mcus,
               int rows)
{
    const bool grey = hSample == 0;
    const int components = grey ? 1 : 3;
    const QImage source = grey ? image.convertToFormat(QImage::Format_Grayscale8)
                               : image.convertToFormat(QImage::Format_RGB888);
    FILE *file = std::fopen(QFile::encodeName(path).constData(), "wb");
    if (!file)
        return false;
    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, file);
    info.image_width = JDIMENSION(source.width());
    info.image_height = JDIMENSION(source.height());
    info.input_components = components;
    info.in_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 70, TRUE);
    if (!grey) {
        info.comp_info[0].h_samp_factor = hSample;
        info.comp_info[0].v_samp_factor = vSample;
    }
    info.restart_interval = JDIMENSION(mcus);
    info.restart_in_rows = rows;
    jpeg_start_compress(&info, TRUE);
    std::vector<JSAMPLE> line(size_t(source.width()) * components);
    while (info.next_scanline < info.image_height) {
        const uchar *from = source.constScanLine(int(info.next_scanline));
        line.assign(from, from + line.size());
        JSAMPROW row = line.data();
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return std::fclose(file) == 0;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv); // QPainter's fonts and brushes
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s folder\n", argv[0]);
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    struct Jpeg
    {
        const char *name;
        QSize size;
        int h, v, mcus, rows;
    };
    // Widths whose rows of MCUs the intervals do not divide, so that bands start with empty
    // intervals, beside intervals of one MCU and of one row.
    const Jpeg jpegs[] = {
        {"restart-420-1mcu.jpg", {96, 80}, 2, 2, 1, 0},
        {"restart-420-5mcu.jpg", {112, 96}, 2, 2, 5, 0},
        {"restart-420-1row.jpg", {120, 72}, 2, 2, 0, 1},
        {"restart-422-3mcu.jpg", {104, 64}, 2, 1, 3, 0},
        {"restart-422-1row.jpg", {64, 88}, 2, 1, 0, 1},
        {"restart-444-1mcu.jpg", {72, 56}, 1, 1, 1, 0},
        {"restart-444-4mcu.jpg", {88, 72}, 1, 1, 4, 0},
        {"restart-grey-1mcu.jpg", {80, 64}, 0, 0, 1, 0},
        {"restart-grey-1row.jpg", {96, 40}, 0, 0, 0, 1},
        // Tall, so that a small box reads few of its rows: the bands' rows between the last
        // one read and the next cut still have to be checked.
        {"restart-420-tall-2mcu.jpg", {48, 640}, 2, 2, 2, 0},
        {"restart-grey-tall-1row.jpg", {24, 720}, 0, 0, 0, 1},
    };
    bool ok = true;
    for (const Jpeg &j : jpegs)
        ok = writeJpeg(folder.filePath(j.name), picture(j.size), j.h, j.v, j.mcus, j.rows) && ok;
    // Tiles running past the right and bottom edges; a single row of tiles; a turned grid.
    ok = writeSyntheticGrid(folder.filePath("grid-2x2.heic"), picture({120, 100}), {64, 64}, false,
                            {}, 40) &&
         ok;
    ok = writeSyntheticGrid(folder.filePath("grid-3x1.heic"), picture({160, 48}), {64, 64}, false,
                            {}, 40) &&
         ok;
    ok = writeSyntheticGrid(folder.filePath("grid-2x2-turned.heic"), picture({96, 96}), {64, 64},
                            false, {"irot 1", "imir 1"}, 40) &&
         ok;
    return ok ? 0 : 1;
}

// Times the batch core against the toolkit-only path, each in a child process of its own so
// that its peak resident memory is its own, and prints the ratios measured in this one run.
//
//   parvimage_bench [--input FOLDER] [--size N] [--sets FOLDER] [--rounds N] [--only
//   sending|cameras|tiff|jxl|heic-grid|alone|gif|png|estimates]
//
// Without --input it generates sets of large photo-like JPEGs and PNGs in a temporary folder,
// or in the --sets folder, where a later run finds them again, and ends with each kind of
// row's memory estimate beside the peak it measured.
// Nothing is ever written into the input folder.
//
// The sets are in benchfixtures, the floors in references, the child processes in harness and
// the suites in suitesformats and suitescases: this file only chooses what to run.

#include "benchfixtures.h"
#include "formats/registry.h"
#include "harness.h"
#include "suitescases.h"
#include "suitesformats.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>
#include <functional>

using namespace Bench;

namespace {

struct Options
{
    int size = 1024, rounds = 3;
    QString input, sets, only;
};

using Rows = QList<QPair<QString, QString>>;
using Make = std::function<bool(const QString &)>;

// The generated sets under `root`.
struct Sets
{
    QString root;

    // A set already there from an earlier run with the same --sets folder is used again.
    bool ready(const char *set, const Make &make) const
    {
        const QString folder = root + "/" + set;
        return QDir(folder).exists() || make(folder);
    }

    // The first `count` pictures of `set` in another form.
    Make from(const char *set, int count,
              const std::function<bool(const QString &, const QString &)> &convert) const
    {
        const QString folder = root + "/" + set;
        return [=](const QString &f) { return convertEach(folder, f, count, convert); };
    }

    // The cameras' sets; from the corpus beside the checkout, where it is.
    bool cameras() const
    {
        ready("raw-corpus", [](auto f) {
            return copiesOf(corpusFile("raw", "imageio-test_images_Blackmagic.dng"), f, "dng", 4);
        });
        ready("ultrahdr", [this](auto f) { return ultraHdrSets(f, root + "/ultrahdr-without"); });
        return ready("raw", [](auto f) { return writeRaws(f, 4, QSize(6000, 4000)); }) &&
               ready("raw-preview",
                     [](auto f) { return writeRaws(f, 4, QSize(6000, 4000), true); }) &&
               ready("raw-huge", [](auto f) { return writeRaws(f, 1, QSize(8256, 5504)); });
    }

    bool jxl() const
    {
        return ready("jxl", [](auto f) { return writeJxlPhotos(f, 6, QSize(4000, 3000)); });
    }

    bool tiff() const
    {
        return ready("tiff16", [](auto f) { return writeDeepTiffs(f, 4, QSize(6000, 4000)); });
    }

    bool grid() const
    {
        return ready("huge-heic-grid", writeGridHuge) && ready("heic-2048", writeHeic2048);
    }

    // Every set but the cameras'.
    bool all() const
    {
        return ready(
                   "baseline",
                   [](auto f) { return generate(f, "b", 24, QSize(4000, 3000), "jpg", false); }) &&
               ready("tagged", [this](auto f) { return tagCopies(root + "/baseline", f); }) &&
               ready("progressive",
                     [](auto f) { return generate(f, "p", 24, QSize(4000, 3000), "jpg", true); }) &&
               ready("png-photos", from("baseline", 6, asPng)) &&
               ready("huge",
                     [](auto f) { return generate(f, "h", 8, QSize(8660, 5774), "jpg", false); }) &&
               ready("huge-progressive-444", from("huge", 3, asProgressive444)) &&
               ready("huge-png", from("huge", 2, asPng)) && ready("bomb", writeBomb) &&
               ready("png-interlaced", from("png-photos", 1, asInterlacedPng)) &&
               ready("heic", from("baseline", 6, asHeic)) &&
               ready("avif", from("baseline", 6, asAvif)) && ready("huge-heic", writePhoneHuge) &&
               ready("webp", from("png-photos", 6, asWebP)) &&
               ready("webp-animated", writeAnimation) && ready("gif-animated", writeGifAnimation) &&
               ready("send", from("baseline", 6,
                                  [](const QString &source, const QString &base) {
                                      return QFile::copy(source, base + ".jpg");
                                  })) &&
               ready("display-p3", from("baseline", 6, asDisplayP3)) && tiff() && jxl();
    }

    Rows cameraRows() const
    {
        return {{"raw 45 MP (8256 x 5504)", root + "/raw-huge/r0.dng"},
                {"raw 24 MP", root + "/raw/r0.dng"},
                {"raw 24 MP, by its full-size preview", root + "/raw-preview/r0.dng"},
                {"Ultra HDR JPEG 8 MP, with its gain map", root + "/ultrahdr/c0.jpg"}};
    }

    Rows tiffRows() const { return {{"TIFF 16-bit 24 MP, deflated", root + "/tiff16/t0.tif"}}; }

    Rows rows() const
    {
        return {{"baseline JPEG 12 MP", root + "/baseline/b0.jpg"},
                {"progressive JPEG 12 MP", root + "/progressive/p0.jpg"},
                {"baseline JPEG 50 MP", root + "/huge/h0.jpg"},
                {"progressive 4:4:4 JPEG 50 MP", root + "/huge-progressive-444/h0.jpg"},
                {"PNG 12 MP", root + "/png-photos/b0.png"},
                {"PNG 50 MP", root + "/huge-png/h0.png"},
                {"PNG 16000 x 16000", root + "/bomb/bomb.png"},
                {"interlaced PNG 12 MP (decoded whole)", root + "/png-interlaced/b0.png"},
                {"HEIC 12 MP", root + "/heic/b0.heic"},
                {"AVIF 12 MP", root + "/avif/b0.avif"},
                {"HEIC 48 MP", root + "/huge-heic/s0.heic"},
                {"HEIC 48 MP grid", root + "/huge-heic-grid/g0.heic"},
                {"lossy WebP 12 MP", root + "/webp/b0.webp"},
                {"animated WebP, 50 x 1920 x 1080", root + "/webp-animated/anim.webp"},
                {"JPEG XL 12 MP", root + "/jxl/j0.jxl"}};
    }
};

int usage()
{
    std::fprintf(
        stderr,
        "usage: parvimage_bench [--input FOLDER] [--size N] [--sets FOLDER] "
        "[--rounds N] [--only sending|cameras|heic-grid|tiff|jxl|alone|gif|png|estimates]\n");
    return 2;
}

// False where an option is unknown, lacks its value or the size is not positive.
bool parse(const QStringList &args, Options *options)
{
    for (int i = 1; i < args.size(); i += 2) {
        const QString value = args.value(i + 1);
        if (i + 1 == args.size())
            return false;
        if (args.at(i) == "--size")
            options->size = value.toInt();
        else if (args.at(i) == "--input")
            options->input = value;
        else if (args.at(i) == "--sets")
            options->sets = value;
        else if (args.at(i) == "--only")
            options->only = value;
        else if (args.at(i) == "--rounds")
            options->rounds = qMax(1, value.toInt());
        else
            return false;
    }
    return options->size >= 1;
}

// A folder of the user's own, against the floor of the format of its first image.
int reportInput(QTextStream &out, const QString &input, int size, int rounds)
{
    // The toolkit reads neither HEIC nor AVIF: such a folder is compared with libheif.
    const QString first = imagesIn(input).value(0).toLower();
    if (first.endsWith(".jxl")) {
        reportJxl(out, input, size, rounds);
        return 0;
    }
    const bool heif = first.endsWith(".heic") || first.endsWith(".avif");
    const Floor floor = heif                      ? Floor::Libheif
                        : first.endsWith(".webp") ? Floor::Dwebp
                        : first.endsWith(".jpg")  ? Floor::Djpeg
                                                  : Floor::None;
    report(out, QDir::toNativeSeparators(input), input, size, rounds, floor);
    if (heif)
        reportConversion(out, QDir::toNativeSeparators(input) + ", JPEG out", input, size, rounds);
    return 0;
}

// The --only suites that need their own sets alone; -1 for the others.
int reportOnOwnSets(QTextStream &out, const Sets &sets, const QString &only, int size, int rounds)
{
    const QString root = sets.root;
    if (only == "heic-grid") {
        if (!sets.grid())
            return 1;
        reportGrid(out, "HEIC 48 MP grid of 512 x 512 tiles", root + "/huge-heic-grid",
                   root + "/heic-2048");
        const Rows grid{{"HEIC 48 MP grid", root + "/huge-heic-grid/g0.heic"}};
        reportEstimates(out, grid, 2048);
        reportEstimates(out, grid, 2048, "estimate-smooth");
        return 0;
    }
    if (only == "tiff") {
        if (!sets.tiff())
            return 1;
        reportTiff(out, "TIFF 16-bit 24 MP, TIFF out", root + "/tiff16", size, rounds);
        reportEstimates(out, sets.tiffRows(), size);
        return 0;
    }
    if (only == "jxl") {
        if (!sets.jxl())
            return 1;
        reportJxl(out, root + "/jxl", size, rounds);
        reportEstimates(out, {{"JPEG XL 12 MP", root + "/jxl/j0.jxl"}}, 2048);
        return 0;
    }
    if (only == "cameras") {
        if (!sets.cameras())
            return 1;
        reportCameras(out, root, size, rounds);
        reportEstimates(out, sets.cameraRows(), 2048);
        return 0;
    }
    return -1;
}

// The --only suites run once every set is made; false for the others.
bool reportOnAllSets(QTextStream &out, const Sets &sets, const QString &only, int size, int rounds)
{
    const QString root = sets.root;
    if (only == "estimates") {
        reportEstimates(out, sets.rows(), 2048);
        reportEstimates(out, sets.rows(), 2048, "estimate-smooth");
    } else if (only == "sending")
        reportSending(out, root + "/send", root + "/display-p3", 2048, rounds);
    else if (only == "gif")
        reportGif(out, root + "/gif-animated", 240, rounds);
    else if (only == "png") {
        report(out, "PNG photos 12 MP", root + "/png-photos", size, rounds);
        report(out, "PNG photos 12 MP, PNG out at 2048", root + "/png-photos", 2048, rounds);
    } else if (only == "alone") {
        reportAlone(out, root, size, rounds);
        report(out, "PNG photos 12 MP, PNG out at 2048", root + "/png-photos", 2048, rounds);
    } else
        return false;
    return true;
}

// What the camera metadata adds to a row: the difference of the two sets, then the step alone.
void reportMetadata(QTextStream &out, const Measure &plain, const Measure &tagged,
                    const QString &folder)
{
    if (plain.images > 0 && tagged.images > 0) {
        const double extra = (tagged.seconds - plain.seconds) / plain.images;
        out << QString("Metadata step: %1 ms/image on one worker (%2 % of the time per image)\n\n")
                   .arg(extra * 1000, 0, 'f', 1)
                   .arg(100 * extra * plain.images / plain.seconds, 0, 'f', 1);
        out << QString("Metadata step alone: %1 ms/image (reading and inserting it)\n\n")
                   .arg(metadataMilliseconds(folder), 0, 'f', 2);
    }
}

// Each format's suites, the metadata step among them.
void reportFormats(QTextStream &out, const Sets &sets, int size, int rounds)
{
    const QString root = sets.root;
    const Measure plain =
        report(out, "Baseline JPEG 12 MP", root + "/baseline", size, rounds, Floor::Djpeg);
    const Measure tagged =
        report(out, "The same, with camera metadata", root + "/tagged", size, rounds);
    reportMetadata(out, plain, tagged, root + "/tagged");
    report(out, "Progressive JPEG 12 MP", root + "/progressive", size, rounds);
    report(out, "PNG photos 12 MP", root + "/png-photos", size, rounds);
    report(out, "Baseline JPEG 50 MP", root + "/huge", 2048, rounds, Floor::Djpeg);
    // The large sets are about peak memory: one round is enough.
    report(out, "Progressive 4:4:4 JPEG 50 MP", root + "/huge-progressive-444", 2048, 1);
    report(out, "PNG 50 MP", root + "/huge-png", 2048, 1);
    report(out, "PNG declaring 16000 x 16000 (750 KB)", root + "/bomb", 2048, 1);
    report(out, "HEIC 12 MP, HEIC out", root + "/heic", size, rounds, Floor::Libheif);
    reportConversion(out, "HEIC 12 MP, JPEG out", root + "/heic", size, rounds);
    report(out, "AVIF 12 MP, AVIF out", root + "/avif", size, rounds, Floor::Libheif);
    report(out, "HEIC 48 MP (8064 x 6048), HEIC out", root + "/huge-heic", 2048, 1, Floor::Libheif);
    if (sets.grid())
        reportGrid(out, "HEIC 48 MP grid of 512 x 512 tiles", root + "/huge-heic-grid",
                   root + "/heic-2048");
    report(out, "Lossy WebP 12 MP, WebP out", root + "/webp", size, rounds, Floor::Dwebp);
    report(out, "Animated WebP, 50 frames of 1920 x 1080", root + "/webp-animated", size, 1);
    reportTiff(out, "TIFF 16-bit 24 MP, TIFF out", root + "/tiff16", size, rounds);
    reportJxl(out, root + "/jxl", size, rounds);
}

// Every suite, then every kind of row's estimate.
void reportAll(QTextStream &out, const Sets &sets, int size, int rounds)
{
    const QString root = sets.root;
    reportFormats(out, sets, size, rounds);
    reportSending(out, root + "/send", root + "/display-p3", 2048, rounds);
    reportCameras(out, root, size, rounds);
    reportGif(out, root + "/gif-animated", 240, rounds);
    reportAlone(out, root, size, rounds);
    report(out, "PNG photos 12 MP, PNG out at 2048", root + "/png-photos", 2048, rounds);
    reportEstimates(out, sets.rows(), 2048);
    reportEstimates(out, sets.rows(), 2048, "estimate-smooth");
    reportEstimates(out, corpusGrids(), 2048);
    reportEstimates(out, sets.cameraRows(), 2048);
    reportEstimates(out, sets.tiffRows(), size);
}

} // namespace

int main(int argc, char *argv[])
{
    Formats::initialiseLibraries();
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments();
    if (args.size() == 6 && args.at(1) == "--child" && args.at(2).startsWith("estimate"))
        return runEstimate(args.at(3), args.at(4), args.at(5).toInt(),
                           args.at(2).contains("smooth") ? Resampling::Smooth : Resampling::Nearest,
                           args.at(2).endsWith("alone") ? 2 : 0);
    if (args.size() == 6 && args.at(1) == "--child")
        return runChild(args.at(2), args.at(3), args.at(4), args.at(5).toInt());

    Options options;
    if (!parse(args, &options))
        return usage();
    QTextStream out(stdout);
    if (!options.input.isEmpty())
        return reportInput(out, options.input, options.size, options.rounds);

    QTemporaryDir work;
    const Sets sets{options.sets.isEmpty() ? work.path() : options.sets};
    out << "Photo-like images in " << sets.root << "\n\n";
    out.flush();
    const int own = reportOnOwnSets(out, sets, options.only, options.size, options.rounds);
    if (own >= 0)
        return own;
    if (!sets.all() || !sets.cameras()) {
        out << "cannot write the generated images\n";
        return 1;
    }
    if (!reportOnAllSets(out, sets, options.only, options.size, options.rounds))
        reportAll(out, sets, options.size, options.rounds);
    return 0;
}

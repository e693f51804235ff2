#include "row/render.h"

#include "colour/srgb.h"
#include "resample/framing.h"
#include "resample/imagecopy.h"
#include "resample/subject.h"
#include "resample/wholeimage.h"
#include "row/photo.h"

#include <cmath>

namespace Render {

namespace {

RowOutcome::Status rowStatus(Formats::Status status)
{
    switch (status) {
    case Formats::Status::Damaged:
        return RowOutcome::Damaged;
    case Formats::Status::Cancelled:
        return RowOutcome::NotStarted;
    default:
        return RowOutcome::Unreadable;
    }
}

// The photo decoded for `target`, or why not.
QImage decoded(Formats::Decoder &decoder, const Target &target, bool srgb, RowOutcome *failed)
{
    QImage image;
    QString words;
    decoder.setInksToSrgb(srgb);
    const Formats::Status status = decoder.decode(target, &image, &words);
    if (status != Formats::Status::Decoded) {
        *failed = RowOutcome::make(rowStatus(status), words);
        if (status == Formats::Status::Damaged)
            failed->damage = decoder.damage();
        return QImage();
    }
    if (image.isNull())
        *failed = RowOutcome::make(RowOutcome::Unreadable);
    Srgb::dropForeignProfile(&image);
    return image;
}

// The output decoded first: the largest of those needed.
int largestNeeded(const QVector<Shape> &shapes, const QVector<bool> &needed)
{
    int largest = -1;
    qint64 pixels = -1;
    for (int i = 0; i < shapes.size(); ++i) {
        const qint64 area = qint64(shapes.at(i).size.width()) * shapes.at(i).size.height();
        if (needed.at(i) && area > pixels) {
            largest = i;
            pixels = area;
        }
    }
    return largest;
}

// The gain map's box for an output of `output` pixels showing `part` of the picture.
int gainMapBox(const GainMap &map, const QSize &upright, const QRectF &part, const QSize &output)
{
    if (part == QRectF(0, 0, 1, 1))
        return map.boxFor(upright, output);
    const QSize shown = Framing::partPixels(part, upright);
    const QSize mapShown = Framing::partPixels(part, map.size);
    const double scale =
        qMax(double(output.width()) / shown.width(), double(output.height()) / shown.height());
    return qMax(1, int(std::lround(qMax(mapShown.width(), mapShown.height()) * scale)));
}

// The photo's gain map decoded, upright, showing what the picture shows in proportion to its
// largest output; a null image where it does not decode whole.
QImage gainMapPixels(Photo &photo, const QSize &output, Resampling resampling, const QRectF &part)
{
    const GainMap &map = photo.metadata().record().gainMap;
    const std::unique_ptr<Formats::Decoder> mapDecoder = photo.opened().gainMap();
    QImage image;
    QString words;
    const QSize upright = photo.header().upright();
    if (mapDecoder && mapDecoder->refusal() == Formats::Status::Decoded)
        mapDecoder->decode(Target(gainMapBox(map, upright, part, output), resampling, part), &image,
                           &words);
    return image;
}

} // namespace

QVector<Shape> shapes(const Photo &photo, const Geometry &geometry, const QVector<int> &sizes)
{
    const QSize upright = photo.header().upright();
    QVector<Shape> shapes;
    for (const int size : sizes) {
        const OutputShape::Plan plan = OutputShape::planFor(geometry, upright, size);
        shapes.append({plan, plan.output(upright)});
    }
    return shapes;
}

Pixels pixels(Photo &photo, const Geometry &geometry, const QVector<Shape> &shapes,
              const QVector<bool> &needed, bool srgb, bool gainMap)
{
    Pixels out;
    out.images.resize(shapes.size());
    const int largest = largestNeeded(shapes, needed);
    const Shape &first = shapes.at(largest);
    QImage image = decoded(photo.decoder(), first.plan.target, srgb, &out.failed);
    out.part = first.plan.target.part();
    if (!image.isNull() && first.plan.subjectFrame.isValid()) {
        const QRect frame = Subject::frame(image, first.plan.subjectFrame);
        out.part = Framing::fractions(frame, image.size());
        image = partOf(image, frame);
    }
    out.lossless = photo.isLossless();
    if (image.isNull())
        return out;
    if (gainMap)
        out.gainMap = gainMapPixels(photo, image.size(), geometry.resampling, out.part);
    for (int i = 0; i < shapes.size(); ++i) {
        const QSize size = shapes.at(i).size;
        if (needed.at(i))
            out.images[i] = i == largest || size == image.size()
                                ? image
                                : resampled(image, size, geometry.resampling);
    }
    return out;
}

Pixels single(Photo &photo, const Geometry &geometry)
{
    return pixels(photo, geometry, shapes(photo, geometry, {geometry.size}), {true}, false, false);
}

} // namespace Render

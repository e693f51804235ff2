#include "row/thumbnail.h"

#include "row/photo.h"
#include "row/render.h"

namespace Thumbnail {

namespace {

// A copy the file carries, where it has one large enough: a HEIF's thumbnail item, which spares
// decoding a picture of millions of pixels.
bool fromSmallCopy(Photo &photo, const Render::Shape &shape, Made *made)
{
    const std::unique_ptr<Formats::Decoder> copy = photo.opened().smallCopy(shape.size);
    if (!copy)
        return false;
    QString words;
    QImage image;
    if (copy->decode(shape.plan.target, &image, &words) != Formats::Status::Decoded ||
        image.isNull())
        return false;
    made->image = image;
    return true;
}

} // namespace

Made make(const QString &path, int box)
{
    Made made;
    Photo photo(path);
    if (photo.isRefused()) {
        made.refused = photo.refusal();
        return made;
    }
    Geometry geometry;
    geometry.size = box;
    geometry.enlarge = false;
    geometry.resampling = Resampling::Smooth;
    const QVector<Render::Shape> shapes = Render::shapes(photo, geometry, {box});
    if (fromSmallCopy(photo, shapes.first(), &made))
        return made;
    // Every byte of the photo goes through the decoder, even at its smallest scale (a JPEG's
    // eighth): a damaged file is found here as the run would find it.
    const Render::Pixels pixels = Render::single(photo, geometry);
    made.refused = pixels.failed;
    if (photo.changed())
        made.refused = RowOutcome::make(RowOutcome::Changed);
    if (made.refused.status == RowOutcome::Pending)
        made.image = pixels.images.value(0);
    return made;
}

} // namespace Thumbnail

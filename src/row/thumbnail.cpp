#include "row/thumbnail.h"

#include "row/photo.h"
#include "row/render.h"

namespace Thumbnail {

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
    // Every byte of the photo goes through the decoder, even at its smallest scale: a damaged
    // file is found here as the run would find it.
    const Render::Pixels pixels = Render::pixels(
        photo, geometry, Render::shapes(photo, geometry, {box}), {true}, false, false);
    made.refused = pixels.failed;
    if (photo.changed())
        made.refused = RowOutcome::make(RowOutcome::Changed);
    if (made.refused.status == RowOutcome::Pending)
        made.image = pixels.images.value(0);
    return made;
}

} // namespace Thumbnail

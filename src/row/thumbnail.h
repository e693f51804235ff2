#pragma once

#include "row/rowoutcome.h"

#include <QImage>
#include <QString>

// A list's small picture of a photo, upright, from the decoder's cheapest shrink; and whether
// the photo can be read at all, found before any run.
namespace Thumbnail {

struct Made
{
    RowOutcome refused; // Pending where the photo decoded
    QImage image;       // fitted to the box
};

Made make(const QString &path, int box);

} // namespace Thumbnail

#pragma once

#include <QByteArray>

#include <exiv2/exiv2.hpp>

#include <set>
#include <string>
#include <vector>

// The EXIF block a JPEG output takes from a TIFF-based file's directories as Exiv2 reads them
// (a TIFF's, a camera raw's): what describes the photo, never the file's own layout.
namespace ExifFilter {

struct Kept
{
    // The first directory's tags that describe the photo rather than the file's layout.
    std::set<std::string> imageTags;
    // The groups, by the start of their names, that hold the file's layout: its other images,
    // strips and thumbnails; the maker notes' other groups are kept with them.
    std::vector<std::string> layout{"Image", "SubImage", "SubThumb", "Thumbnail"};
};

// Little-endian, with the maker notes where that fits a JPEG segment, else without them.
QByteArray block(const Exiv2::ExifData &all, const Kept &kept);

} // namespace ExifFilter

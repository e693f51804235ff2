#pragma once

namespace Formats {

// What a decoder found wrong in a damaged file, where it can say more than that the data is
// corrupt or cut short.
enum class Damage
{
    Unspecified,
    AlphaSize,     // the alpha plane is not the image's size
    CanvasSize,    // a grid's or an overlay's canvas is not the size the image declares
    CleanAperture, // a crop that leaves a pixel or none, or reaches outside the image
};

} // namespace Formats

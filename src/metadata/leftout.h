#pragma once

#include <QList>

// What of a source's metadata an output was written without, and why.
enum class LeftOut
{
    Exif, // the output's container carries none
    Xmp,
    Iptc,
    ExifUnreadable,    // its directories cannot be walked
    ExifDirectoryLost, // the Exif directory's pointer leads nowhere: the directory went
    ExifDimensions,    // the pixel size could not be corrected
    ExifNotWritten,    // the encoder refused it
    ExifTooLarge,      // longer than a JPEG segment holds
    ExifWithLocation,  // the location could not be taken out: the block went whole
    XmpUncorrectable,  // the orientation or size stands in a form that cannot be edited
    XmpNotWritten,     // the encoder refused it
    XmpTooLarge,       // longer than a JPEG segment holds
    XmpWithLocation,   // the location could not be taken out: the packet went whole
    ExtendedXmp,       // the container has no place for it
    IptcUnreadable,    // the Photoshop resources around it cannot be walked
    IptcTooLarge,      // longer than a JPEG segment holds
    IccProfile,        // the toolkit could not read it, and the writer takes no bytes
    ColourDescription, // code points that no profile expresses
    GainMap,           // the HDR gain map, and what declares it
    PngChunks,         // the EXIF and XMP chunks could not be put in the encoded PNG
    TiffExif,          // a TIFF's own directories, which no other container takes
    TiffGps,
    TiffXmp,
    TiffIptc,
    ModificationDate, // the source's modification time could not be given to the output
};

using LeftOuts = QList<LeftOut>;

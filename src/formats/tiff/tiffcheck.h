#pragma once

#include "formats/format.h"

class SourceFile;

// What the toolkit's TIFF plug-in does not tell: libtiff, under it, reports damaged pixel data
// as warnings and still hands out an image, which this listens for while the current thread
// decodes; and some layouts it reads wrongly.
namespace TiffCheck {

// True where the plug-in would read uninitialised memory for pixels: 16-bit samples stored
// plane by plane, of which it reads the first plane only.
bool misreadByToolkit(const SourceFile &source);

// True where a strip or tile declares more bytes than any image the program accepts could
// need: libtiff would try to allocate it (a 900-row file declaring 65535 samples a pixel asks
// for 171 GB).
bool implausible(const SourceFile &source);

// The pages of the file: its directories, less those that only hold a reduced copy of a page
// (a thumbnail or an overview).
int pageCount(const SourceFile &source);

// Sends libtiff's messages here, for the program's life.
void initialise();

// Starts listening on this thread, forgetting what was heard before.
void start();

// True where libtiff complained about the pixel data, not only about the directory, since
// start() on this thread.
bool dataDamaged();

// The same, or any error at all: an image that came out despite one is not to be trusted.
bool anyError();

// A layout the plug-in misreads or a strip no image needs is refused before the plug-in sees
// it.
Formats::Status refuse(const SourceFile &source, QString *detail);
// libtiff tells a cut-short strip from a variant it cannot decode, and still hands out an
// image from damaged strips.
Formats::Status verdict(bool headerRead, bool decoded);

} // namespace TiffCheck

#pragma once

#include <QString>

#include <tiffio.h>

class SourceFile;

// What libtiff says while it reads: damaged pixel data comes as warnings beside data that is
// still handed out, which this listens for while the current thread decodes.
namespace TiffCheck {

// Why the strips or tiles are not to be read, empty where they may be: a strip or tile that
// declares more bytes than any image the program accepts could need, which libtiff would try to
// allocate (a 900-row file declaring 65535 samples a pixel asks for 171 GB); or a tile larger
// than the image explains, which the RGBA conversion would fill whole.
QString implausible(TIFF *tiff);

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

// libtiff's first complaint since start(), in its own words.
QString words();

} // namespace TiffCheck

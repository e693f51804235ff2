#pragma once

// libtiff, under the toolkit's TIFF plug-in, reports damaged pixel data as warnings and still
// hands out an image. This listens to what it says while the current thread decodes.
namespace TiffWatch {

// Starts listening on this thread, forgetting what was heard before.
void start();

// True where libtiff complained about the pixel data, not only about the directory, since
// start() on this thread.
bool dataDamaged();

// The same, or any error at all: an image that came out despite one is not to be trusted.
bool anyError();

} // namespace TiffWatch

#pragma once

#include <QtGlobal>

#include <cstdio>

#include <jpeglib.h>

// libjpeg's source of a decoder's bytes, as its stdio source reads a file: a missing end gives a
// warning and a made-up end of image. The JPEG decoder and a raw's lossy tiles read through it,
// each with its own `next`; it is the first member of the reader's own record.
struct JpegSource
{
    jpeg_source_mgr manager;
    // Up to `length` of the next bytes into `to`: how many, 0 or less at the end.
    qint64 (*next)(j_decompress_ptr info, JpegSource *source, JOCTET *to, qint64 length);
    JOCTET *buffer;
    qint64 bufferBytes;
    bool startOfFile;

    // Makes `info` read through this.
    void install(j_decompress_ptr info);
};

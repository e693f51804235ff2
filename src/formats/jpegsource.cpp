#include "formats/jpegsource.h"

// after jpeglib.h, which it needs
#include <jerror.h>

namespace {

JpegSource *sourceOf(j_decompress_ptr info)
{
    return reinterpret_cast<JpegSource *>(info->src);
}

void initSource(j_decompress_ptr info)
{
    sourceOf(info)->startOfFile = true;
}

boolean fillInputBuffer(j_decompress_ptr info)
{
    JpegSource *source = sourceOf(info);
    qint64 got = source->next(info, source, source->buffer, source->bufferBytes);
    if (got <= 0) {
        if (source->startOfFile)
            ERREXIT(info, JERR_INPUT_EMPTY);
        WARNMS(info, JWRN_JPEG_EOF);
        source->buffer[0] = 0xFF;
        source->buffer[1] = JPEG_EOI;
        got = 2;
    }
    source->manager.next_input_byte = source->buffer;
    source->manager.bytes_in_buffer = size_t(got);
    source->startOfFile = false;
    return TRUE;
}

void skipInputData(j_decompress_ptr info, long count)
{
    JpegSource *source = sourceOf(info);
    if (count <= 0)
        return;
    while (count > long(source->manager.bytes_in_buffer)) {
        count -= long(source->manager.bytes_in_buffer);
        fillInputBuffer(info);
    }
    source->manager.next_input_byte += count;
    source->manager.bytes_in_buffer -= size_t(count);
}

void termSource(j_decompress_ptr) {}

} // namespace

void JpegSource::install(j_decompress_ptr info)
{
    manager.init_source = initSource;
    manager.fill_input_buffer = fillInputBuffer;
    manager.skip_input_data = skipInputData;
    manager.resync_to_restart = jpeg_resync_to_restart;
    manager.term_source = termSource;
    manager.bytes_in_buffer = 0;
    manager.next_input_byte = nullptr;
    info->src = &manager;
}

#include "formats/heif/heifreader.h"

#include "system/sourcefile.h"

#include <algorithm>

namespace {

HeifReader *readerOf(void *user)
{
    return static_cast<HeifReader *>(user);
}

int64_t getPosition(void *user)
{
    return readerOf(user)->position;
}

int read(void *data, size_t size, void *user)
{
    HeifReader *reader = readerOf(user);
    auto *bytes = static_cast<char *>(data);
    const qint64 start = reader->position;
    const qint64 got = reader->source->read(start, bytes, qint64(size));
    if (got != qint64(size))
        return 1;
    if (reader->hiddenFlags) {
        const QVector<qint64> &flags = *reader->hiddenFlags;
        for (auto flag = std::lower_bound(flags.begin(), flags.end(), start);
             flag != flags.end() && *flag < start + got; ++flag)
            bytes[*flag - start] = char(bytes[*flag - start] & ~1);
    }
    reader->position += got;
    return 0;
}

int seek(int64_t position, void *user)
{
    readerOf(user)->position = position;
    return 0;
}

heif_reader_grow_status waitForFileSize(int64_t size, void *user)
{
    return size <= readerOf(user)->source->size() ? heif_reader_grow_status_size_reached
                                                  : heif_reader_grow_status_size_beyond_eof;
}

} // namespace

const heif_reader HeifReader::functions{1, getPosition, read, seek, waitForFileSize};

#include "formats/tiff/tiffclient.h"

#include "system/sourcefile.h"

#include <cstdio>

namespace {

TiffClient *clientOf(thandle_t handle)
{
    return static_cast<TiffClient *>(handle);
}

tsize_t readClient(thandle_t handle, tdata_t to, tsize_t size)
{
    TiffClient *client = clientOf(handle);
    const qint64 got =
        client->source().read(qint64(client->position), static_cast<char *>(to), qint64(size));
    if (got > 0)
        client->position += toff_t(got);
    return tsize_t(got);
}

tsize_t writeClient(thandle_t, tdata_t, tsize_t)
{
    return 0;
}

toff_t seekClient(thandle_t handle, toff_t offset, int whence)
{
    TiffClient *client = clientOf(handle);
    switch (whence) {
    case SEEK_SET:
        client->position = offset;
        break;
    case SEEK_CUR:
        client->position += offset;
        break;
    case SEEK_END:
        client->position = toff_t(client->source().size()) + offset;
        break;
    default:
        break;
    }
    return client->position;
}

int closeClient(thandle_t)
{
    return 0;
}

toff_t sizeClient(thandle_t handle)
{
    return toff_t(clientOf(handle)->source().size());
}

int mapClient(thandle_t, tdata_t *, toff_t *)
{
    return 0;
}

void unmapClient(thandle_t, tdata_t, toff_t) {}

} // namespace

TiffClient::TiffClient(const SourceFile &source) : m_source(source)
{
    m_tiff =
        TIFFClientOpen(source.path().toLocal8Bit().constData(), "rm", this, readClient, writeClient,
                       seekClient, closeClient, sizeClient, mapClient, unmapClient);
}

TiffClient::~TiffClient()
{
    if (m_tiff)
        TIFFClose(m_tiff);
}

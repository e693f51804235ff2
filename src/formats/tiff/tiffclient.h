#pragma once

#include <tiffio.h>

class SourceFile;

// A TIFF read by libtiff from the source, where it asks, rather than from a file it opens.
class TiffClient
{
public:
    explicit TiffClient(const SourceFile &source);
    ~TiffClient();
    TiffClient(const TiffClient &) = delete;
    TiffClient &operator=(const TiffClient &) = delete;

    // Null where libtiff cannot read the header.
    TIFF *tiff() const { return m_tiff; }

    const SourceFile &source() const { return m_source; }
    toff_t position = 0;

private:
    const SourceFile &m_source;
    TIFF *m_tiff = nullptr;
};

#include "row/photo.h"

#include "formats/registry.h"
#include "formats/toolkitcodec.h"
#include "system/sourcefile.h"

#include <QImageReader>

namespace {

RowOutcome::Status rowStatus(Formats::Status status)
{
    return status == Formats::Status::Damaged ? RowOutcome::Damaged : RowOutcome::Unreadable;
}

// An image larger than MaxPixels, itself or what the library allocates on the way.
bool tooLarge(const Formats::Header &header, RowOutcome *outcome)
{
    for (const QSize &size : {header.upright(), header.largest}) {
        if (size.isValid() && qint64(size.width()) * size.height() > ToolkitCodec::MaxPixels) {
            *outcome = RowOutcome::make(RowOutcome::TooLarge);
            outcome->imageSize = size;
            return true;
        }
    }
    return false;
}

} // namespace

Photo::Photo(const QString &path) : m_path(path), m_source(std::make_unique<SourceFile>(path))
{
    if (!m_source->isOpen()) {
        // The toolkit's words for a file it cannot open, as rows have always given them.
        QImageReader reader(path);
        reader.read();
        m_refusal = RowOutcome::make(RowOutcome::Unreadable, reader.errorString());
        return;
    }
    m_opened = Formats::open(*m_source);
    if (m_opened->refusal() != Formats::Status::Decoded) {
        m_refusal = RowOutcome::make(rowStatus(m_opened->refusal()), m_opened->refusalWords());
        m_refusal.damage = m_opened->damage();
        return;
    }
    tooLarge(m_opened->header(), &m_refusal);
}

// The decoders go before the bytes they read.
Photo::~Photo()
{
    m_fresh.reset();
    m_opened.reset();
}

int Photo::imageCount()
{
    if (m_imageCount < 0)
        m_imageCount = m_opened->imageCount();
    return m_imageCount;
}

const PhotoMetadata &Photo::metadata()
{
    if (!m_metadata)
        m_metadata = m_opened->metadata();
    return *m_metadata;
}

Formats::Decoder &Photo::decoder()
{
    if (!m_openedUsed) {
        m_openedUsed = true;
        return *m_opened;
    }
    m_fresh = Formats::open(*m_source);
    return *m_fresh;
}

bool Photo::changed() const
{
    return m_source->isOpen() && m_source->changed();
}

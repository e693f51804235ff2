#pragma once

#include "formats/decoder.h"
#include "row/rowoutcome.h"

#include <QString>

#include <memory>
#include <optional>

class SourceFile;

// One photo of the list, opened once: its refusal, header, image count and metadata read from
// that one opening, the metadata parsed once. A decoder decodes once: each decode asks for one,
// the opening's own first, then a new one on the same bytes; the file is never opened again.
class Photo
{
public:
    explicit Photo(const QString &path);
    ~Photo();
    Photo(const Photo &) = delete;
    Photo &operator=(const Photo &) = delete;

    const QString &path() const { return m_path; }
    const SourceFile &source() const { return *m_source; }
    // Why the photo is refused before any of its pixels is read: it cannot be opened, its
    // decoder refuses it, or it is larger than any photo accepted. Pending where it may be read.
    const RowOutcome &refusal() const { return m_refusal; }
    bool isRefused() const { return m_refusal.status != RowOutcome::Pending; }

    const Formats::Header &header() const { return m_opened->header(); }
    int imageCount();
    bool isLossless() { return m_opened->isLossless(); }
    const PhotoMetadata &metadata();
    // The opening's decoder, for what does not decode: estimates, its gain map's decoder.
    Formats::Decoder &opened() { return *m_opened; }
    // A decoder no decode has used yet: the opening's own the first time.
    Formats::Decoder &decoder();

    // Whether the file changed since it was opened: what was read of it may mix two files.
    bool changed() const;

private:
    QString m_path;
    std::unique_ptr<SourceFile> m_source;
    std::unique_ptr<Formats::Decoder> m_opened;
    std::unique_ptr<Formats::Decoder> m_fresh; // the last one handed out after the opening's
    bool m_openedUsed = false;
    RowOutcome m_refusal;
    std::optional<PhotoMetadata> m_metadata;
    int m_imageCount = -1;
};

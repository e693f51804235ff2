#pragma once

#include <QByteArray>
#include <QSize>
#include <QString>

#include <memory>

// The EXIF, XMP and IPTC metadata of a JPEG source, read once and inserted into the encoded
// output in memory. Never throws.
class PhotoMetadata
{
public:
    // Reads the metadata of the JPEG at `path`. Other formats give an empty record.
    static PhotoMetadata read(const QString &path);

    bool isEmpty() const;
    // Some or all of the source's metadata could not be read: what could is still carried.
    bool failed() const { return !m_error.isEmpty(); }
    QString error() const { return m_error; }

    // Inserts the metadata into the JPEG bytes `jpeg`, corrected for an upright image of `size`
    // without a thumbnail. On failure `jpeg` is left as it was and `error` says why.
    bool insertInto(QByteArray *jpeg, const QSize &size, QString *error) const;

private:
    struct Data;
    std::shared_ptr<const Data> m_data;
    QString m_error;
};

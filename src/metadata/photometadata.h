#pragma once

#include <QByteArray>
#include <QList>
#include <QSize>
#include <QString>
#include <QStringList>

// The EXIF, XMP and IPTC metadata of a JPEG source, carried into the encoded output as the
// camera wrote it: only the orientation, the pixel dimensions and the thumbnail change.
class PhotoMetadata
{
public:
    // Reads the metadata segments of the JPEG at `path`. Other formats give an empty record.
    static PhotoMetadata read(const QString &path);

    bool isEmpty() const;

    // Inserts the metadata into the JPEG bytes `jpeg`, corrected for an upright image of `size`
    // without a thumbnail. What cannot be carried safely is left out, and `leftOut` says what;
    // returns false when something was.
    bool insertInto(QByteArray *jpeg, const QSize &size, QStringList *leftOut) const;

private:
    QByteArray m_exif;               // the TIFF block
    bool m_exifFirst = false;        // right after the start of image, as cameras write it
    QByteArray m_xmp;                // the main packet
    QList<QByteArray> m_extendedXmp; // the extension segments, as they were
    QByteArray m_iptc;               // the IPTC resource of the Photoshop segment
    QStringList m_unreadable;        // what was there but could not be read
};

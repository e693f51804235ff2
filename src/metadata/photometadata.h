#pragma once

#include <QByteArray>
#include <QColorSpace>
#include <QList>
#include <QSize>
#include <QString>
#include <QStringList>

// The EXIF, XMP, IPTC and colour description of a source, whatever its container, carried into
// the encoded output as the camera wrote them: only the orientation, the pixel dimensions and
// the thumbnail change.
class PhotoMetadata
{
public:
    // Reads the metadata of the JPEG segments, HEIF items, WebP chunks or PNG chunks at
    // `path`. Other formats give an empty record.
    static PhotoMetadata read(const QString &path);

    // The EXIF and XMP blocks corrected for an upright image of `size` without a thumbnail,
    // for a container that stores them whole; `leftOut` says what could not be.
    struct Corrected
    {
        QByteArray exif; // the TIFF block
        QByteArray xmp;
        QStringList leftOut;
    };
    Corrected corrected(const QSize &size) const;

    // The colour description a HEIF or WebP source gave, to be written as it was: the nclx
    // values (see HeifMetadata::Blocks), and the ICC profile to write: the source's own bytes;
    // else, where it gave no nclx either or the output keeps no nclx, the profile the pixels
    // carry (other sources' profile travels with the pixels, an nclx's as its equivalent).
    QByteArray nclx() const { return m_nclx; }
    QByteArray profileFor(const QColorSpace &pixels, bool keepsNclx = true) const;
    // What of the colour description an output without nclx leaves out, for pixels that carry
    // `pixels`: an nclx that no profile expresses, and, unless the writer takes the source's
    // profile bytes, a profile the toolkit could not read.
    QStringList colourLeftOut(const QColorSpace &pixels, bool writesProfileBytes) const;
    // What a container without IPTC or extended XMP leaves out.
    QStringList jpegOnly() const;
    // Everything the source had, for an output that carries no metadata at all.
    QStringList present() const;

    // Inserts the metadata into the JPEG bytes `jpeg`, corrected for an upright image of `size`
    // without a thumbnail. What cannot be carried safely is left out, and `leftOut` says what;
    // returns false when something was.
    bool insertInto(QByteArray *jpeg, const QSize &size, QStringList *leftOut) const;

    // The same for the PNG bytes `png`: EXIF and XMP chunks, the other text as encoded.
    bool insertIntoPng(QByteArray *png, const QSize &size, QStringList *leftOut) const;

private:
    static PhotoMetadata readHeif(const QString &path);
    static PhotoMetadata withBlocks(const QByteArray &exif, const QByteArray &xmp,
                                    const QByteArray &icc = QByteArray(),
                                    const QByteArray &nclx = QByteArray());

    QByteArray m_exif;               // the TIFF block
    bool m_exifFirst = false;        // right after the start of image, as cameras write it
    QByteArray m_xmp;                // the main packet
    QList<QByteArray> m_extendedXmp; // the extension segments, as they were
    QByteArray m_iptc;               // the IPTC resource of the Photoshop segment
    QStringList m_unreadable;        // what was there but could not be read or carried
    QByteArray m_icc;
    QByteArray m_nclx;
};

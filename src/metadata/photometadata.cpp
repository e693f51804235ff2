#include "metadata/photometadata.h"

#include "metadata/exifblock.h"
#include "metadata/location.h"

#include <QColorSpace>
#include <QtEndian>

namespace {

bool isNameChar(char c)
{
    return QChar::isLetterOrNumber(uchar(c)) || c == '_' || c == '-' || c == '.' || c == ':';
}

// Sets every occurrence of the XMP property `name` to `value` in the packet's text, in
// attribute (name="v") or element (<name>v</name>) form. False where the name appears in any
// other form, which could not be corrected.
bool setXmpProperty(QByteArray *packet, const QByteArray &name, const QByteArray &value)
{
    QByteArray out;
    int from = 0;
    for (int at = packet->indexOf(name); at != -1; at = packet->indexOf(name, at + 1)) {
        const int after = at + name.size();
        const char before = at > 0 ? packet->at(at - 1) : ' ';
        if (isNameChar(before) || (after < packet->size() && isNameChar(packet->at(after))))
            continue; // part of another name
        if (before == '/' && at > 1 && packet->at(at - 2) == '<')
            continue; // an element's end, handled with its start
        int valueStart = -1, valueEnd = -1;
        if (before == '<' && packet->mid(after, 1) == ">") {
            valueStart = after + 1;
            valueEnd = packet->indexOf("</" + name + ">", valueStart);
        } else {
            int i = after;
            while (i < packet->size() && QChar::isSpace(uchar(packet->at(i))))
                ++i;
            if (packet->mid(i, 1) != "=")
                return false;
            for (++i; i < packet->size() && QChar::isSpace(uchar(packet->at(i)));)
                ++i;
            const char quote = i < packet->size() ? packet->at(i) : 0;
            if (quote != '"' && quote != '\'')
                return false;
            valueStart = i + 1;
            valueEnd = packet->indexOf(quote, valueStart);
        }
        if (valueEnd < 0 || packet->mid(valueStart, valueEnd - valueStart).contains('<'))
            return false;
        out += packet->mid(from, valueStart - from) + value;
        from = valueEnd;
    }
    *packet = out + packet->mid(from);
    return true;
}

bool correctXmp(QByteArray *packet, const QSize &size)
{
    QByteArray edited = *packet;
    const QByteArray width = QByteArray::number(size.width());
    const QByteArray height = QByteArray::number(size.height());
    const bool done = setXmpProperty(&edited, "tiff:Orientation", "1") &&
                      setXmpProperty(&edited, "exif:PixelXDimension", width) &&
                      setXmpProperty(&edited, "exif:PixelYDimension", height) &&
                      setXmpProperty(&edited, "tiff:ImageWidth", width) &&
                      setXmpProperty(&edited, "tiff:ImageLength", height);
    if (done)
        *packet = edited;
    return done;
}

} // namespace

QByteArray PhotoMetadata::profileFor(const QColorSpace &pixels, bool keepsNclx) const
{
    if (!m.icc.isEmpty() || (keepsNclx && m.cicp) || !pixels.isValid())
        return m.icc;
    return pixels.iccProfile();
}

LeftOuts PhotoMetadata::colourLeftOut(const QColorSpace &pixels, bool writesProfileBytes) const
{
    if (pixels.isValid())
        return {};
    if (!m.icc.isEmpty())
        return writesProfileBytes ? LeftOuts() : LeftOuts{LeftOut::IccProfile};
    if (!m.cicp || m.cicp->readsAsSrgb())
        return {};
    return {LeftOut::ColourDescription};
}

PhotoMetadata::Corrected PhotoMetadata::corrected(const QSize &size) const
{
    Corrected result;
    result.leftOut = m.unreadable;
    QByteArray exif = m.exif;
    std::optional<LeftOut> why;
    if (!exif.isEmpty() && ExifBlock::correct(&exif, size, &why))
        result.exif = exif;
    if (why)
        result.leftOut.append(*why);
    QByteArray xmp = m.xmp;
    if (!xmp.isEmpty() && correctXmp(&xmp, size))
        result.xmp = xmp;
    else if (!xmp.isEmpty())
        result.leftOut.append(LeftOut::XmpUncorrectable);
    return result;
}

LeftOuts PhotoMetadata::jpegOnly() const
{
    LeftOuts leftOut;
    if (!m.extendedXmp.isEmpty())
        leftOut.append(LeftOut::ExtendedXmp);
    if (!m.iptc.isEmpty())
        leftOut.append(LeftOut::Iptc);
    return leftOut;
}

LeftOuts PhotoMetadata::present() const
{
    LeftOuts found = m.unreadable;
    if (!m.exif.isEmpty())
        found.append(LeftOut::Exif);
    if (!m.xmp.isEmpty() || !m.extendedXmp.isEmpty())
        found.append(LeftOut::Xmp);
    if (!m.iptc.isEmpty())
        found.append(LeftOut::Iptc);
    return found;
}

namespace {

// Ultra HDR's and Adobe's gain map description, and the container directory that gives the
// gain map's place in the file.
bool declaresGainMap(const QByteArray &prefix, const QByteArray &localName)
{
    return prefix == "hdrgm" || (prefix == "Container" && localName == "Directory");
}

PhotoMetadata::Record withoutGainMapRecord(PhotoMetadata::Record r)
{
    r.gainMap = GainMap();
    if (!Location::removeProperties(&r.xmp, declaresGainMap) ||
        !Location::removeFromExtended(&r.extendedXmp, &r.xmp, declaresGainMap)) {
        r.xmp.clear();
        r.extendedXmp.clear();
    }
    r.unreadable.append(LeftOut::GainMap);
    return r;
}

} // namespace

PhotoMetadata PhotoMetadata::withoutGainMap() const
{
    return PhotoMetadata(withoutGainMapRecord(m));
}

PhotoMetadata PhotoMetadata::withGainMapImage(
    const QImage &image, const QSize &base,
    const std::function<QImage(const QImage &, const QSize &)> &resample) const
{
    Record r = m;
    r.gainMap.image = image;
    r.gainMap.base = base;
    r.gainMap.resample = resample;
    return PhotoMetadata(r);
}

PhotoMetadata PhotoMetadata::filtered(MetadataKeep keep, bool keepsGainMap) const
{
    const bool carried = keepsGainMap && keep != MetadataKeep::ColourOnly && m.gainMap.readable();
    if (m.gainMap.present() && !carried)
        return withoutGainMap().filtered(keep);
    if (keep == MetadataKeep::All)
        return *this;
    Record r;
    r.icc = m.icc;
    r.cicp = m.cicp;
    r.tiff = m.tiff;
    if (keep == MetadataKeep::ColourOnly) {
        for (int i = 0; i < m.unreadable.count(LeftOut::GainMap); ++i)
            r.unreadable.append(LeftOut::GainMap);
        return PhotoMetadata(r);
    }
    r = m;
    r.gainMap.removeLocation();
    if (!r.exif.isEmpty() && !ExifBlock::removeLocation(&r.exif)) {
        r.exif.clear();
        r.unreadable.append(LeftOut::ExifWithLocation);
    }
    if (!Location::removeFromXmp(&r.xmp) ||
        !Location::removeFromExtendedXmp(&r.extendedXmp, &r.xmp)) {
        r.xmp.clear();
        r.extendedXmp.clear();
        r.unreadable.append(LeftOut::XmpWithLocation);
    }
    return PhotoMetadata(r);
}

PhotoMetadata PhotoMetadata::withoutColour() const
{
    Record r = m;
    r.icc.clear();
    r.cicp.reset();
    r.tiff.whitePoint.clear();
    r.tiff.primaries.clear();
    return PhotoMetadata(r);
}

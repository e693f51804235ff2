#include "metadata/gainmap.h"

#include "metadata/location.h"

#include <cmath>

QSize GainMap::sizeFor(const QSize &output) const
{
    if (image.isNull() || base.isEmpty())
        return QSize();
    const auto scaled = [](int map, int out, int from) {
        return qMax(1, int(std::lround(double(map) * out / from)));
    };
    return QSize(scaled(image.width(), output.width(), base.width()),
                 scaled(image.height(), output.height(), base.height()));
}

QImage GainMap::imageFor(const QSize &output) const
{
    const QSize size = sizeFor(output);
    return size == image.size() || !resample ? image : resample(image, size);
}

void GainMap::removeLocation()
{
    static const QByteArray xmp("http://ns.adobe.com/xap/1.0/\0", 29);
    for (auto it = segments.begin(); it != segments.end();) {
        if (!it->payload.startsWith(xmp)) {
            ++it;
            continue;
        }
        QByteArray packet = it->payload.mid(xmp.size());
        if (!Location::removeFromXmp(&packet)) {
            it = segments.erase(it);
            continue;
        }
        it->payload = xmp + packet;
        ++it;
    }
}

int GainMap::boxFor(const QSize &upright, const QSize &output) const
{
    if (upright.isEmpty())
        return 0;
    const double scale =
        qMax(double(output.width()) / upright.width(), double(output.height()) / upright.height());
    return qMax(1, int(std::lround(qMax(size.width(), size.height()) * scale)));
}

namespace GainMapXmp {

namespace {

bool isDirectory(const QByteArray &prefix, const QByteArray &localName)
{
    return prefix == "Container" && localName == "Directory";
}

QByteArray directory(qint64 gainMapLength)
{
    return "<Container:Directory"
           " xmlns:Container=\"http://ns.google.com/photos/1.0/container/\""
           " xmlns:Item=\"http://ns.google.com/photos/1.0/container/item/\"><rdf:Seq>"
           "<rdf:li rdf:parseType=\"Resource\"><Container:Item Item:Semantic=\"Primary\""
           " Item:Mime=\"image/jpeg\"/></rdf:li>"
           "<rdf:li rdf:parseType=\"Resource\"><Container:Item Item:Semantic=\"GainMap\""
           " Item:Mime=\"image/jpeg\" Item:Length=\"" +
           QByteArray::number(gainMapLength) +
           "\"/></rdf:li>"
           "</rdf:Seq></Container:Directory>";
}

// Just after the start tag of the description that declares hdrgm, else of the first one.
int insertionPoint(const QByteArray &packet)
{
    const int declared = packet.indexOf("xmlns:hdrgm");
    int description = declared >= 0 ? packet.lastIndexOf("<rdf:Description", declared) : -1;
    if (description < 0)
        description = packet.indexOf("<rdf:Description");
    return description < 0 ? -1 : packet.indexOf('>', description);
}

} // namespace

bool setDirectory(QByteArray *packet, QList<QByteArray> *extended, qint64 gainMapLength)
{
    QByteArray edited = *packet;
    QList<QByteArray> extension = *extended;
    if (!Location::removeProperties(&edited, isDirectory) ||
        !Location::removeFromExtended(&extension, &edited, isDirectory))
        return false;
    const int tagEnd = insertionPoint(edited);
    if (tagEnd < 0)
        return false;
    // A self-closed description is opened to hold the directory.
    if (edited.at(tagEnd - 1) == '/')
        edited.replace(tagEnd - 1, 2, ">" + directory(gainMapLength) + "</rdf:Description>");
    else
        edited.insert(tagEnd + 1, directory(gainMapLength));
    *packet = edited;
    *extended = extension;
    return true;
}

} // namespace GainMapXmp

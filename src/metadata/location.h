#pragma once

#include <QByteArray>
#include <QList>

#include <functional>

// Where a photo was taken, taken out of its XMP: every property whose name says it is a
// coordinate (exif:GPS…, and any namespace's …Latitude, …Longitude, …Altitude, Gps…).
namespace Location {

// Whether a property, by its prefix and local name, is to go.
using Predicate = std::function<bool(const QByteArray &prefix, const QByteArray &localName)>;

// Removes every property `removed` names from the packet's text, in attribute or element form.
// False where one stands in a form that cannot be removed safely; the packet is then as it was.
bool removeProperties(QByteArray *packet, const Predicate &removed);

// The same for an extended XMP packet stored in extension segments (signature, GUID, full
// length, offset and a piece of the packet each): the packet is put together, cleaned, cut
// again under its new GUID, and the main packet's reference to it follows. False where the
// pieces do not make one packet; nothing is changed then.
bool removeFromExtended(QList<QByteArray> *segments, QByteArray *mainPacket,
                        const Predicate &removed);

// Whether a property's local name (after its prefix) names a coordinate.
bool isLocationName(const QByteArray &localName);

// The coordinates, from a packet and from its extended part.
bool removeFromXmp(QByteArray *packet);
bool removeFromExtendedXmp(QList<QByteArray> *segments, QByteArray *mainPacket);

} // namespace Location

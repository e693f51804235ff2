#pragma once

#include <QByteArray>
#include <QList>

// Where a photo was taken, taken out of its XMP: every property whose name says it is a
// coordinate (exif:GPS…, and any namespace's …Latitude, …Longitude, …Altitude, Gps…).
namespace Location {

// Whether a property's local name (after its prefix) names a coordinate.
bool isLocationName(const QByteArray &localName);

// Removes those properties from the packet's text, in attribute or element form. False where
// one stands in a form that cannot be removed safely; the packet is then as it was.
bool removeFromXmp(QByteArray *packet);

// The same for an extended XMP packet stored in extension segments (signature, GUID, full
// length, offset and a piece of the packet each): the packet is put together, cleaned, cut
// again under its new GUID, and the main packet's reference to it follows. False where the
// pieces do not make one packet; nothing is changed then.
bool removeFromExtendedXmp(QList<QByteArray> *segments, QByteArray *mainPacket);

} // namespace Location

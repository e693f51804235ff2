#include "metadata/location.h"
#include "testmain.h"

#include <QCryptographicHash>
#include <QTest>
#include <QtEndian>

class TestLocation : public QObject
{
    Q_OBJECT

private slots:
    void xmp_data();
    void xmp();
    void extended();
};

void TestLocation::xmp_data()
{
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<QByteArray>("cleaned");
    QTest::addColumn<bool>("removed");
    QTest::newRow("attributes") << QByteArray("<rdf:Description exif:GPSLatitude=\"43,28N\" "
                                              "dc:format='image/jpeg' exif:GPSLongitude='1W'/>")
                                << QByteArray("<rdf:Description dc:format='image/jpeg'/>") << true;
    QTest::newRow("elements, nested value")
        << QByteArray("<a>\n <exif:GPSAltitude>12/1</exif:GPSAltitude>\n <exif:GPSVersionID>"
                      "<rdf:Seq><rdf:li>2</rdf:li></rdf:Seq></exif:GPSVersionID>\n</a>")
        << QByteArray("<a>\n</a>") << true;
    QTest::newRow("self-closing, other namespace")
        << QByteArray("<a><drone-dji:GpsLatitude rdf:resource='x'/><b/></a>")
        << QByteArray("<a><b/></a>") << true;
    QTest::newRow("a name in no removable form: packet kept")
        << QByteArray("<x xmlns:gps='u' dc:title='GPSLatitude here' exif:GPSish/>") << QByteArray()
        << false;
    QTest::newRow("nothing to remove")
        << QByteArray("<x dc:creator='A'/>") << QByteArray("<x dc:creator='A'/>") << true;
}

// Coordinates go in whatever form they stand; a form that cannot be cut safely leaves the
// packet as it was and says so.
void TestLocation::xmp()
{
    QFETCH(QByteArray, packet);
    QFETCH(QByteArray, cleaned);
    QFETCH(bool, removed);
    QByteArray edited = packet;
    QCOMPARE(Location::removeFromXmp(&edited), removed);
    QCOMPARE(edited, removed ? cleaned : packet);
}

// The extended packet is put together from its pieces, cleaned, cut again under the MD5 of
// what it now holds, and the main packet points at the new GUID.
void TestLocation::extended()
{
    const QByteArray signature("http://ns.adobe.com/xmp/extension/\0", 35);
    const QByteArray guid(32, 'A');
    const QByteArray full = "<e exif:GPSLatitude='1N' dc:x='" + QByteArray(70000, 'y') + "'/>";
    QList<QByteArray> segments;
    for (int at = 0; at < full.size(); at += 40000) {
        QByteArray header(8, '\0');
        qToBigEndian<quint32>(quint32(full.size()), header.data());
        qToBigEndian<quint32>(quint32(at), header.data() + 4);
        segments.append(signature + guid + header + full.mid(at, 40000));
    }
    QByteArray main = "<m xmpNote:HasExtendedXMP='" + guid + "'/>";
    QVERIFY(Location::removeFromExtendedXmp(&segments, &main));
    const QByteArray expected = "<e dc:x='" + QByteArray(70000, 'y') + "'/>";
    const QByteArray newGuid =
        QCryptographicHash::hash(expected, QCryptographicHash::Md5).toHex().toUpper();
    QCOMPARE(main, "<m xmpNote:HasExtendedXMP='" + newGuid + "'/>");
    QByteArray joined;
    for (const QByteArray &segment : segments) {
        QVERIFY(segment.startsWith(signature + newGuid));
        QVERIFY(segment.size() <= 65533);
        joined += segment.mid(35 + 32 + 8);
    }
    QCOMPARE(joined, expected);
    segments.removeLast(); // a missing piece: left as it was
    QVERIFY(!Location::removeFromExtendedXmp(&segments, &main));
}

PARVIMAGE_GUILESS_TEST_MAIN(TestLocation)
#include "tst_location.moc"

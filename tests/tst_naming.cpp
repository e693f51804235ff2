#include "batch/batchplan.h"
#include "batch/naming.h"
#include "testmain.h"

#include <QFileInfo>
#include <QTest>

Q_DECLARE_METATYPE(RowOutcome::Status)

class TestNaming : public QObject
{
    Q_OBJECT

private slots:
    void plan_data();
    void plan();
    void rowNumbers_data();
    void rowNumbers();
    void sameFileByTwoSpellings();
};

using Statuses = QList<RowOutcome::Status>;

void TestNaming::plan_data()
{
    QTest::addColumn<QStringList>("sources");
    QTest::addColumn<bool>("rename");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("destination");
    QTest::addColumn<QStringList>("outputs");
    QTest::addColumn<Statuses>("statuses");
    QTest::addColumn<QStringList>("arguments");

    const auto P = RowOutcome::Pending;
    QTest::newRow("into destination")
        << QStringList{"/s/photo.jpg"} << false << ""
        << "/d" << QStringList{"/d/photo.jpg"} << Statuses{P} << QStringList{""};
    QTest::newRow("in place") << QStringList{"/s/photo.jpg"} << false << ""
                              << "" << QStringList{"/s/photo.jpg"} << Statuses{P}
                              << QStringList{""};
    QTest::newRow("numbered by row")
        << QStringList{"/s/a.jpg", "/s/b.jpg"} << true << "vacances"
        << "/d" << QStringList{"/d/vacances000.jpg", "/d/vacances001.jpg"} << Statuses{P, P}
        << QStringList{"", ""};
    QTest::newRow("rename beside source")
        << QStringList{"/s/a.png"} << true << "x%1y"
        << "" << QStringList{"/s/x000y.png"} << Statuses{P} << QStringList{""};
    QTest::newRow("empty pattern")
        << QStringList{"/s/a.jpg"} << true << ""
        << "/d" << QStringList{"/d/000.jpg"} << Statuses{P} << QStringList{""};
    QTest::newRow("every marker") << QStringList{"/s/a.jpg"} << true << "a%1b%1"
                                  << "/d" << QStringList{"/d/a000b000.jpg"} << Statuses{P}
                                  << QStringList{""};
    QTest::newRow("complete suffix")
        << QStringList{"/s/archive.2012.jpg"} << false << ""
        << "/d" << QStringList{"/d/archive.2012.jpg"} << Statuses{P} << QStringList{""};
    // Found by fuzzing: the toolkit takes a name starting with ":" for a resource path.
    QTest::newRow("colon first, destination")
        << QStringList{"/s/:photo.jpg"} << false << ""
        << "/d" << QStringList{"/d/:photo.jpg"} << Statuses{P} << QStringList{""};
    QTest::newRow("colon first, beside the source")
        << QStringList{"/s/:photo.jpg"} << false << ""
        << "" << QStringList{"/s/:photo.jpg"} << Statuses{P} << QStringList{""};
    QTest::newRow("complete suffix renamed")
        << QStringList{"/s/archive.2012.jpg"} << true << "x"
        << "/d" << QStringList{"/d/x000.2012.jpg"} << Statuses{P} << QStringList{""};
    QTest::newRow("marker in source name")
        << QStringList{"/s/x%1.jpg"} << false << ""
        << "/d" << QStringList{"/d/x%1.jpg"} << Statuses{P} << QStringList{""};
    QTest::newRow("path characters in pattern")
        << QStringList{"/s/a.jpg"} << true << "../a:b\\c"
        << "/d" << QStringList{"/d/..abc000.jpg"} << Statuses{P} << QStringList{""};
    QTest::newRow("upper-case suffix")
        << QStringList{"/s/A.JPG"} << false << ""
        << "/d" << QStringList{"/d/A.JPG"} << Statuses{P} << QStringList{""};
    QTest::newRow("no dot") << QStringList{"/s/README"} << false << ""
                            << "/d" << QStringList{"/d/README."} << Statuses{RowOutcome::NoSuffix}
                            << QStringList{""};
    QTest::newRow("no writer") << QStringList{"/s/a.xyz"} << false << ""
                               << "/d" << QStringList{"/d/a.xyz"}
                               << Statuses{RowOutcome::UnsupportedFormat} << QStringList{"xyz"};
    QTest::newRow("read but never written, refused before any decode; raw and MPO as JPEG")
        << QStringList{"/s/Calques.psd", "/s/photo.CR2", "/s/b.webp", "/s/pair.MPO"} << false << ""
        << "/d" << QStringList{"/d/Calques.psd", "/d/photo.jpg", "/d/b.webp", "/d/pair.jpg"}
        << Statuses{RowOutcome::UnsupportedFormat, P, P, P} << QStringList{"psd", "", "", ""};
    QTest::newRow("same name, two folders")
        << QStringList{"/s1/a.jpg", "/s2/a.jpg"} << false << ""
        << "/d" << QStringList{"/d/a.jpg", "/d/a.jpg"} << Statuses{P, RowOutcome::DuplicateOutput}
        << QStringList{"", "/s1/a.jpg"};
    QTest::newRow("same file twice in place")
        << QStringList{"/s/a.jpg", "/s/a.jpg"} << false << ""
        << "" << QStringList{"/s/a.jpg", "/s/a.jpg"} << Statuses{P, RowOutcome::DuplicateOutput}
        << QStringList{"", "/s/a.jpg"};
    QTest::newRow("would overwrite a listed source")
        << QStringList{"/s/a.jpg", "/s/x000.jpg"} << true << "x"
        << "/s" << QStringList{"/s/x000.jpg", "/s/x001.jpg"}
        << Statuses{RowOutcome::OverwritesListed, P} << QStringList{"/s/x000.jpg", ""};
    QTest::newRow("refused row claims nothing")
        << QStringList{"/s/a", "/t/a.", "/u/a.png"} << false << ""
        << "/d" << QStringList{"/d/a.", "/d/a.", "/d/a.png"}
        << Statuses{RowOutcome::NoSuffix, RowOutcome::NoSuffix, P} << QStringList{"", "", ""};
}

void TestNaming::plan()
{
    QFETCH(QStringList, sources);
    QFETCH(bool, rename);
    QFETCH(QString, pattern);
    QFETCH(QString, destination);
    QFETCH(QStringList, outputs);
    QFETCH(Statuses, statuses);
    QFETCH(QStringList, arguments);

    BatchSettings settings;
    settings.rename = rename;
    settings.pattern = pattern;
    settings.destination = destination;
    const QVector<PlannedRow> plan = planBatch(sources, settings);
    QCOMPARE(plan.size(), sources.size());
    for (int i = 0; i < plan.size(); ++i) {
        QCOMPARE(plan.at(i).outputs[0].path, outputs.at(i));
        QCOMPARE(plan.at(i).outputs[0].outcome.status, statuses.at(i));
        const RowOutcome &outcome = plan.at(i).outputs[0].outcome;
        QCOMPARE(outcome.status == RowOutcome::UnsupportedFormat ? outcome.suffix
                                                                 : outcome.otherSource,
                 arguments.at(i));
    }
}

void TestNaming::rowNumbers_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("expected");
    QTest::newRow("first row is 000") << 0 << "v"
                                      << "v000";
    QTest::newRow("padded") << 42 << "v"
                            << "v042";
    QTest::newRow("row 999") << 999 << "v%1"
                             << "v999";
    QTest::newRow("row 1000 has four digits") << 1000 << "v"
                                              << "v1000";
    QTest::newRow("lowest marker wins") << 7 << "a%2b"
                                        << "a%2b007";
}

void TestNaming::rowNumbers()
{
    QFETCH(int, row);
    QFETCH(QString, pattern);
    QFETCH(QString, expected);
    QCOMPARE(
        Naming::newBaseName(true, Naming::effectivePattern(pattern), row, QFileInfo("/s/a.jpg")),
        expected);
}

// A listed source reached through a "..", written by a later row, is still the same file.
void TestNaming::sameFileByTwoSpellings()
{
    BatchSettings settings;
    settings.destination = "/d";
    const QVector<PlannedRow> plan = planBatch({"/d/sub/../a.jpg", "/e/a.jpg"}, settings);
    QCOMPARE(plan.at(1).outputs[0].outcome.status, RowOutcome::DuplicateOutput);
    const QVector<PlannedRow> overwrite = planBatch({"/e/a.jpg", "/d/sub/../a.jpg"}, settings);
    QCOMPARE(overwrite.at(0).outputs[0].outcome.status, RowOutcome::OverwritesListed);
}

PARVIMAGE_GUILESS_TEST_MAIN(TestNaming)
#include "tst_naming.moc"

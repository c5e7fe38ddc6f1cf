#include "CoreTestHome.h"
#include "core/PropertyList.h"

#include <QDateTime>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

class TestPropertyList : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { startInThrowAwayHome(); }

    void roundTripsInBothFormats_data()
    {
        QTest::addColumn<int>("format");
        QTest::newRow("xml") << int(PropertyList::Format::Xml);
        QTest::newRow("binary") << int(PropertyList::Format::Binary);
    }

    void roundTripsInBothFormats()
    {
        QFETCH(int, format);
        const QDateTime before2001 = QDateTime::fromMSecsSinceEpoch(Q_INT64_C(946684800250), QTimeZone::utc());
        const QDateTime after2001 = QDateTime::fromMSecsSinceEpoch(Q_INT64_C(1700000000125), QTimeZone::utc());
        const QVariantMap value{
            {"negative", -42},
            {"big", Q_INT64_C(1) << 40},
            {"real", 2.5},
            {"yes", true},
            {"no", false},
            {"text", QString::fromUtf8("\xc3\xa9t\xc3\xa9 & <tags>")},
            {"data", QByteArray("\x00\x01\xfe", 3)},
            {"old", before2001},
            {"new", after2001},
            {QString::fromUtf8("cl\xc3\xa9"), QVariantList{1, QVariantList{"nested"}, QVariantMap{}}},
        };
        const QByteArray bytes = PropertyList::serialize(value, PropertyList::Format(format));
        QString error;
        const QVariantMap back = PropertyList::parse(bytes, &error).toMap();
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(back.value("negative").toLongLong(), -42);
        QCOMPARE(back.value("big").toLongLong(), Q_INT64_C(1) << 40);
        QCOMPARE(back.value("real").toDouble(), 2.5);
        QCOMPARE(back.value("yes").typeId(), int(QMetaType::Bool));
        QCOMPARE(back.value("yes").toBool(), true);
        QCOMPARE(back.value("no").toBool(), false);
        QCOMPARE(back.value("text").toString(), value.value("text").toString());
        QCOMPARE(back.value("data").toByteArray(), QByteArray("\x00\x01\xfe", 3));
        // Before 2001 dates keep whole seconds (rounded down).
        QCOMPARE(back.value("old").toDateTime(), before2001.addMSecs(-250));
        // XML dates carry whole seconds; binary ones keep the milliseconds.
        QCOMPARE(back.value("new").toDateTime(),
                 format == int(PropertyList::Format::Xml) ? after2001.addMSecs(-125) : after2001);
        const QVariantList list = back.value(QString::fromUtf8("cl\xc3\xa9")).toList();
        QCOMPARE(list.size(), 3);
        QCOMPARE(list.at(1).toList().value(0).toString(), QStringLiteral("nested"));
    }

    void rejectsWhatIsNotAPropertyList()
    {
        QString error;
        QVERIFY(PropertyList::parse("", &error).isNull());
        QVERIFY(!error.isEmpty());
        QVERIFY(PropertyList::parse("not a plist at all", &error).isNull());
        QVERIFY(!error.isEmpty());
        QVERIFY(PropertyList::parse(QByteArray("bplist00\xff\xff\xff", 11), &error).isNull());
        QVERIFY(!error.isEmpty());
        QVERIFY(PropertyList::readFile("/nonexistent/file.plist", &error).isNull());
        QVERIFY(!error.isEmpty());

        // Deep nesting is cut off instead of exhausting the stack.
        QByteArray deep = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
        for (int i = 0; i < 2000; ++i)
            deep += "<array>";
        for (int i = 0; i < 2000; ++i)
            deep += "</array>";
        deep += "</plist>";
        PropertyList::parse(deep, &error); // must return, whatever it makes of it
    }

    void writesAtomically()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("Settingsx.plist");
        QString error;
        QVERIFY(PropertyList::writeFile(path, QVariantMap{{"a", 1}}, &error));
        QCOMPARE(PropertyList::readFile(path).toMap().value("a").toInt(), 1);
        QVERIFY(!PropertyList::writeFile(dir.filePath("missing/dir/x.plist"), 1, &error));
        QVERIFY(!error.isEmpty());
        QCOMPARE(PropertyList::readFile(path).toMap().value("a").toInt(), 1);
    }
};

QTEST_GUILESS_MAIN(TestPropertyList)
#include "tst_propertylist.moc"

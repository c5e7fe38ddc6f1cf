#include "CoreTestHome.h"
#include "core/PropertyList.h"

#include <QDateTime>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>
#include <cstring>
#include <limits>

namespace {

// A binary property list of one object graph, written by hand: libplist and our writer never
// produce the hostile forms these tests need. `objects` are the encoded objects in order; the
// first is the top object, references are one byte wide.
QByteArray binaryPlist(const QList<QByteArray> &objects)
{
    QByteArray out("bplist00");
    QByteArray offsets;
    for (const QByteArray &o : objects) {
        offsets.append(char(out.size()));
        out.append(o);
    }
    const int tableOffset = int(out.size());
    out.append(offsets);
    QByteArray trailer(32, '\0');
    trailer[6] = 1; // offset size
    trailer[7] = 1; // reference size
    trailer[15] = char(objects.size());
    trailer[31] = char(tableOffset);
    return out + trailer;
}

// UTF-16 strings are where a NUL survives libplist's decoding.
QByteArray utf16String(const QString &s)
{
    QByteArray o(1, char(0x60 | s.size()));
    for (QChar c : s) {
        o.append(char(c.unicode() >> 8));
        o.append(char(c.unicode() & 0xFF));
    }
    return o;
}

QByteArray realDate(double secondsSince2001)
{
    QByteArray o(1, char(0x33));
    quint64 bits;
    std::memcpy(&bits, &secondsSince2001, 8);
    for (int i = 7; i >= 0; --i)
        o.append(char((bits >> (8 * i)) & 0xFF));
    return o;
}

} // namespace

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

    void refusesStringsAndKeysHoldingNul_data()
    {
        QTest::addColumn<QByteArray>("data");
        const QString withNul = QString::fromUtf8("\xc3\xa9") + QChar(0) + QStringLiteral("b");
        // {key-with-NUL: "v"}, as a ".lumoraExclusion" from anyone's hands could be.
        QTest::newRow("key") << binaryPlist({QByteArray("\xD1\x01\x02", 3), utf16String(withNul), QByteArray("\x51v", 2)});
        QTest::newRow("value") << binaryPlist({QByteArray("\xD1\x01\x02", 3), QByteArray("\x51k", 2), utf16String(withNul)});
        QTest::newRow("top string") << binaryPlist({utf16String(withNul)});
        // [["ok", {"k": value-with-NUL}]]: deep inside an array of dictionaries.
        QTest::newRow("nested") << binaryPlist({QByteArray("\xA1\x01", 2), QByteArray("\xA2\x02\x03", 3),
                                                QByteArray("\x52ok", 3), QByteArray("\xD1\x04\x05", 3),
                                                QByteArray("\x51k", 2), utf16String(withNul)});
    }

    void refusesStringsAndKeysHoldingNul()
    {
        QFETCH(QByteArray, data);
        QString error;
        QVERIFY(PropertyList::parse(data, &error).isNull());
        QVERIFY(!error.isEmpty());

        QTemporaryDir dir;
        const QString path = dir.filePath(".lumoraExclusion");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(data);
        f.close();
        QVERIFY(PropertyList::readFile(path, &error).isNull());
        QVERIFY(!error.isEmpty());
    }

    void readsWellFormedUtf16StringsAndKeys()
    {
        // The same road as above without the NUL: nothing well-formed is refused.
        const QString text = QString::fromUtf8("\xc3\xa9t\xc3\xa9");
        const QVariantMap back = PropertyList::parse(binaryPlist({QByteArray("\xD1\x01\x02", 3), utf16String(text),
                                                                  utf16String(text + text)}))
                                     .toMap();
        QCOMPARE(back.value(text).toString(), text + text);
    }

    void outlandishDatesDoNotOverflow()
    {
        // libplist hands such dates over as the most negative second and microsecond.
        for (double seconds : {1e300, -1e300, std::numeric_limits<double>::infinity()}) {
            QString error;
            const QDateTime date = PropertyList::parse(binaryPlist({realDate(seconds)}), &error).toDateTime();
            QVERIFY2(error.isEmpty(), qPrintable(error));
            // A negative fraction moves a date before 2001 earlier, never past its whole second.
            const QDateTime second = QDateTime::fromSecsSinceEpoch(978307200LL + std::numeric_limits<int>::min(), QTimeZone::utc());
            QVERIFY2(date <= second, qPrintable(date.toString(Qt::ISODateWithMs)));
        }
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

#include "CoreTestHome.h"
#include "core/Localization.h"

#include <QCoreApplication>
#include <QStandardPaths>
#include <QTest>
#include <QTranslator>
#include <atomic>
#include <thread>

// A translation table held in memory: what a .qm file provides, without needing one on disk.
class TableTranslator : public QTranslator
{
public:
    QHash<QString, QString> table;
    bool isEmpty() const override { return table.isEmpty(); }
    QString translate(const char *context, const char *source, const char *, int) const override
    {
        if (QByteArray(context) != Localization::kContext)
            return {};
        return table.value(QString::fromUtf8(source));
    }
};

class TestLocalization : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { startInThrowAwayHome(); }

    void englishWithoutATranslation()
    {
        QVERIFY(!Localization::isLocalized());
        QCOMPARE(Localization::tr("Upload"), QStringLiteral("Upload"));
        QCOMPARE(Localization::removeNewlinesIfLocalized("one\ntwo\n\nthree"), QStringLiteral("one\ntwo\n\nthree"));
        QCOMPARE(Localization::useOldTranslatedPhrase("Alt", "New phrase", "Neu"), QStringLiteral("New phrase"));
        QVERIFY(!Localization::installTranslations(QLocale(QLocale::Esperanto)));
        QVERIFY(!Localization::isLocalized());
    }

    void translationInUse()
    {
        TableTranslator translator;
        translator.table.insert(Localization::kProbePhrase, QString::fromLatin1(Localization::kProbePhrase).toUpper());
        translator.table.insert("Upload", "Hochladen");
        QVERIFY(QCoreApplication::installTranslator(&translator));

        QVERIFY(Localization::isLocalized());
        QCOMPARE(Localization::tr("Upload"), QStringLiteral("Hochladen"));
        QCOMPARE(Localization::tr("Not translated"), QStringLiteral("Not translated"));
        QCOMPARE(Localization::tr(""), QString());
        QCOMPARE(Localization::removeNewlinesIfLocalized("one\ntwo\n\nthree\nfour"),
                 QStringLiteral("one two\n\nthree four"));
        // The newer phrase's translation wins once it exists; until then the older one's.
        QCOMPARE(Localization::useOldTranslatedPhrase("Alt", "New phrase", "Neu"), QStringLiteral("Neu"));
        QCOMPARE(Localization::useOldTranslatedPhrase("Alt", "New phrase", "New phrase"), QStringLiteral("Alt"));
        QCOMPARE(Localization::useOldTranslatedPhrase("Alt", "New phrase", QString()), QStringLiteral("Alt"));

        QCoreApplication::removeTranslator(&translator);
        QVERIFY(!Localization::isLocalized());
    }

    void monthNamesFromAnyThread()
    {
        std::atomic<int> ok{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < 50; ++i) {
                    Localization::updateLocale();
                    ok += !Localization::monthName(1 + i % 12).isEmpty();
                }
            });
        for (auto &t : threads)
            t.join();
        QCOMPARE(ok.load(), 200);
        QVERIFY(Localization::monthName(0).isEmpty());
        QVERIFY(Localization::monthName(13).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestLocalization)
#include "tst_localization.moc"

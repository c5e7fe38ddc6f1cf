#include "CoreTestHome.h"
#include "core/Utils.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTest>

struct Plain
{
    int v = 0;
    bool operator==(const Plain &o) const { return v == o.v; }
};

class TestUtils : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { startInThrowAwayHome(); }

    void orderedSetChanges()
    {
        int calls = 0;
        changesSinceOrderedSet(QStringList{"a", "b", "c", "d"}, QStringList{"e", "c", "a", "f"},
                               [&](const QStringList &added, const QStringList &removed, const QStringList &kept) {
                                   ++calls;
                                   QCOMPARE(added, (QStringList{"e", "f"}));
                                   QCOMPARE(removed, (QStringList{"b", "d"}));
                                   QCOMPARE(kept, (QStringList{"c", "a"}));
                               });
        QCOMPARE(calls, 1);

        // No older set: everything is new. Types without a hash work too.
        changesSinceOrderedSet(QList<Plain>{}, QList<Plain>{{2}, {1}},
                               [&](const QList<Plain> &added, const QList<Plain> &removed, const QList<Plain> &kept) {
                                   ++calls;
                                   QCOMPARE(added.size(), 2);
                                   QCOMPARE(added.first().v, 2);
                                   QVERIFY(removed.isEmpty() && kept.isEmpty());
                               });
        QCOMPARE(calls, 2);
    }

    void listHelpers()
    {
        const QStringList list{"x", "y"};
        QCOMPARE(objectAtIndexOrNil(list, 1), QStringLiteral("y"));
        QVERIFY(objectAtIndexOrNil(list, 2).isNull());
        QVERIFY(objectAtIndexOrNil(list, -1).isNull());

        QVariantList values;
        QVERIFY(!addObjectUnlessNil(values, QVariant()));
        QVERIFY(addObjectUnlessNil(values, QVariant(0)));
        QList<QObject *> objects;
        QVERIFY(!addObjectUnlessNil<QObject *>(objects, nullptr));
        QVERIFY(addObjectUnlessNil<QObject *>(objects, this));
        QCOMPARE(values.size() + objects.size(), 2);
    }

    void stringHelpers()
    {
        using namespace StringUtils;
        QVERIFY(containsString("Photos Library", "Library"));
        QVERIFY(!containsString("Photos Library", "library"));
        QVERIFY(containsString("Photos Library", "library", Qt::CaseInsensitive));
        QVERIFY(!containsString("anything", ""));
        QCOMPARE(indexOfString("a/b/c", "/"), 1);
        QCOMPARE(lastIndexOfString("a/b/c", "/"), 3);
        QCOMPARE(indexOfString("abc", "z"), -1);
        QCOMPARE(indexOfString("abc", ""), -1);
        QVERIFY(beginsWithString("/Volumes/Card", "/volumes", Qt::CaseInsensitive));
        QVERIFY(!beginsWithString("/Volumes/Card", "/volumes"));
        QVERIFY(!beginsWithString("abc", ""));
        QVERIFY(isEqualToStringCaseInsensitive("JPEG", "jpeg"));
    }

    void dateHelpers()
    {
        const QDateTime local(QDate(2021, 3, 14), QTime(12, 0));
        QCOMPARE(DateUtils::year(local), 2021);
        QCOMPARE(DateUtils::month(local), 3);
        QCOMPARE(DateUtils::day(local), 14);
        QCOMPARE(DateUtils::components(QDateTime()).year, 0);
        QVERIFY(DateUtils::isInFuture(QDateTime::currentDateTime().addSecs(60)));
        QVERIFY(!DateUtils::isInFuture(QDateTime::currentDateTime().addSecs(-60)));
        QVERIFY(!DateUtils::isInFuture(QDateTime()));
        const double away = DateUtils::timeIntervalSinceNowAbs(QDateTime::currentDateTime().addSecs(-100));
        QVERIFY(away >= 100 && away < 200);
        QVERIFY(DateUtils::timeIntervalSinceNowAbs(QDateTime::currentDateTime().addSecs(100)) > 90);
        QVERIFY(std::abs(DateUtils::timeIntervalSince1970() - QDateTime::currentSecsSinceEpoch()) < 5);
    }

    void findOrCreateDirectory()
    {
        QString error;
        const QString path = FileUtils::findOrCreateDirectory(QStandardPaths::GenericDataLocation, "Lumora/Temp/OSXPhotosDB", &error);
        QVERIFY2(!path.isEmpty(), qPrintable(error));
        QVERIFY(path.endsWith("Lumora/Temp/OSXPhotosDB"));
        QVERIFY(FileUtils::directoryExistsAtPath(path));
        QVERIFY(path.contains(".qttest")); // never the real user's folders in tests

        // A file in the way is an error, not a crash.
        QFile blocker(QDir(path).filePath("file"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QVERIFY(FileUtils::findOrCreateDirectory(QStandardPaths::GenericDataLocation, "Lumora/Temp/OSXPhotosDB/file/sub", &error).isNull());
        QVERIFY(!error.isEmpty());
        QVERIFY(!FileUtils::directoryExistsAtPath(blocker.fileName()));
        QVERIFY(!FileUtils::directoryExistsAtPath(""));
    }
};

QTEST_GUILESS_MAIN(TestUtils)
#include "tst_utils.moc"

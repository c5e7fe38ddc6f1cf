// The launch's catalogue step with the real catalogue: a damaged catalogue is kept aside and the
// user is told so; one that cannot be opened at all is shown as such; silent repairs (an empty
// file, a lost journal) are at least reported to analytics.
#include "app/launch/ShellBridge.h"
#include "catalogue/CatalogueFileTestSupport.h"
#include "catalogue/DataStore.h"
#include "core/Settings.h"
#include "platform/StandardPaths.h"
#include "support/ScriptedModalUi.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTest>

class TestCatalogueAlert : public QObject
{
    Q_OBJECT
    ScriptedAlerts *alerts = nullptr;
    QStringList events;

    void writeStoreFile(const QByteArray &bytes)
    {
        DataStore::resetForTesting();
        QVERIFY(DataStore::deleteStoreFiles());
        QFile f(DataStore::storePath());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

    void launchStep()
    {
        ShellBridge::instance().runCatalogueMigrations();
    }

private Q_SLOTS:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init()
    {
        Settings::clearAllSettingsPERMANENTLY();
        ShellBridge::resetToDefaults();
        events.clear();
        ShellBridge::instance().track = [this](const QString &event, int) { events << event; };
        alerts = new ScriptedAlerts;
        Alerts::setPresenter(alerts);
    }

    void cleanup()
    {
        Alerts::setPresenter(nullptr);
        delete alerts;
        DataStore::resetForTesting();
        ShellBridge::resetToDefaults();
    }

    void healthyCatalogueSaysNothing()
    {
        writeStoreFile(QByteArray());
        launchStep(); // the empty file becomes a fresh store (reported below)
        DataStore::shutdown();
        events.clear();
        launchStep();
        QCOMPARE(alerts->count(), 0);
        QVERIFY(events.isEmpty());
    }

    void damagedCatalogueIsKeptAsideAndShown()
    {
        writeStoreFile(QByteArray(4096, 'g'));
        launchStep();
        QVERIFY(DataStore::instance()->isOpen());
        QCOMPARE(alerts->count(), 1);
        const QString aside = DataStore::instance()->recovery().setAsidePath;
        QVERIFY(QFileInfo::exists(aside));
        QCOMPARE(alerts->last().title, QStringLiteral("Lumora Hoistly started a new photo catalogue"));
        QVERIFY2(alerts->last().message.contains(aside), qPrintable(alerts->last().message));
        QVERIFY(alerts->last().message.contains(QStringLiteral("not a database")));
        QCOMPARE(events, QStringList{QStringLiteral("CoreData: Catalogue set aside")});
        QFile::remove(aside);
    }

    void catalogueThatCannotBeOpenedIsShown()
    {
        QVERIFY(CatalogueTest::writeNewerVersionCatalogue());
        launchStep();
        QVERIFY(!DataStore::instance()->isOpen());
        QCOMPARE(alerts->count(), 1);
        QCOMPARE(alerts->last().title, QStringLiteral("Lumora Hoistly could not open its photo catalogue"));
        QVERIFY(alerts->last().message.contains(QStringLiteral("newer version")));
        QCOMPARE(events, QStringList{QStringLiteral("CoreData: Catalogue could not be opened")});
        DataStore::resetForTesting();
        QVERIFY(DataStore::deleteStoreFiles());
    }

    void emptyCatalogueIsReported()
    {
        writeStoreFile(QByteArray());
        launchStep();
        QVERIFY(DataStore::instance()->isOpen());
        QCOMPARE(alerts->count(), 0);
        QCOMPARE(events, QStringList{QStringLiteral("CoreData: Catalogue file was empty")});
    }
};

QTEST_MAIN(TestCatalogueAlert)
#include "tst_catalogue_alert.moc"

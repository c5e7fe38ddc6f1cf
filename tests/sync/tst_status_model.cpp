// The status model: which state wins when several hold, what each state says, and which flags
// the tray and the popover get.
#include "sync/StatusModel.h"

#include "SyncTestHome.h"

#include <QStandardPaths>
#include <QtTest>

class TestStatusModel : public QObject
{
    Q_OBJECT

    static StatusInputs base()
    {
        StatusInputs in;
        in.now = QDateTime(QDate(2026, 3, 4), QTime(10, 0), Qt::LocalTime).toUTC();
        return in;
    }

private Q_SLOTS:
    void initTestCase() { useThrowAwayHome(); }

    void completeWhenNothingWaits()
    {
        const StatusModel m = composeStatus(base());
        QVERIFY(m.complete);
        QVERIFY(!m.running);
        QVERIFY(!m.scanning);
        QCOMPARE(m.line1, QStringLiteral("All photos uploaded."));
        QCOMPARE(m.toGo, 0);
        QCOMPARE(m.resumeMessage, QString());
        QCOMPARE(m.percent, 1.0);
    }

    void uploadingShowsProgressAndCounts()
    {
        StatusInputs in = base();
        in.uploading = true;
        in.uploadingName = QStringLiteral("IMG_0001.jpg");
        in.uploadPercent = 0.456;
        in.uploadedThisRun = 2;
        in.filesToUpload = 5; // the file being sent is no longer counted as waiting
        in.pendingTickets = 3;
        const StatusModel m = composeStatus(in);
        QVERIFY(m.running);
        QVERIFY(m.animateTray);
        QVERIFY(m.showsUploadPercent);
        QVERIFY(!m.complete);
        // The files with the service count as taken: 2 done + 3 processing, this is the 6th.
        QCOMPARE(m.line1, QStringLiteral("Uploading 6 of 11."));
        QCOMPARE(m.line2, QStringLiteral("IMG_0001.jpg: 45% sent."));
        QCOMPARE(m.line3, QStringLiteral("Lumora is processing 3 files."));
        QCOMPARE(m.lineShort, QStringLiteral("Uploading 6 of 11"));
        // The count to go and the bar say the same: the 6th of 11 is on its way, 6 to go.
        QCOMPARE(m.toGo, 6);
        QCOMPARE(m.percent, (5 + 0.456) / 11);

        // Progress is clamped to 0..1 whatever the transport reports.
        in.uploadPercent = 1.7;
        QCOMPARE(composeStatus(in).percent, 6.0 / 11);
        in.uploadPercent = -1;
        QCOMPARE(composeStatus(in).percent, 5.0 / 11);
    }

    void percentChangeChangesTheLines()
    {
        // Observers hear of progress because the percentage is part of a line.
        StatusInputs in = base();
        in.uploading = true;
        in.uploadingName = QStringLiteral("a.jpg");
        in.uploadPercent = 0.10;
        const StatusModel a = composeStatus(in);
        in.uploadPercent = 0.104; // same whole percent: no new post needed
        QVERIFY(a.sameLines(composeStatus(in)));
        in.uploadPercent = 0.11;
        QVERIFY(!a.sameLines(composeStatus(in)));
    }

    void precedence_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("line1");
        QTest::addColumn<QString>("resume");
        QTest::addColumn<bool>("complete");
        // Each row also has every lower-priority condition set, so the order is what is tested.
        QTest::newRow("signed out") << "signedout" << "Signed out of Lumora." << "" << false;
        QTest::newRow("paused") << "paused" << "Paused until 11:30." << "" << false;
        QTest::newRow("account full") << "full" << "Your Lumora account is full." << "Try again" << false;
        QTest::newRow("errors") << "errors" << "Uploading stopped after repeated errors." << "Try again" << false;
        QTest::newRow("offline") << "offline" << "Offline." << "Refresh" << false;
        QTest::newRow("mirror failed") << "mirrorfailed" << "Could not reach Lumora." << "Refresh" << false;
        QTest::newRow("mirror running") << "mirrorrunning" << "Connecting to Lumora…" << "" << false;
        QTest::newRow("busy") << "busy" << "Lumora is busy." << "" << false;
        QTest::newRow("uploading") << "uploading" << "Uploading 3 of 6." << "" << false;
        QTest::newRow("scanning") << "scanning" << "Scanning 12 files…" << "" << false;
        QTest::newRow("ticket checks failing") << "checksfailing" << "Could not ask Lumora about 2 files it is processing." << "" << false;
        QTest::newRow("processing") << "processing" << "Lumora is processing 2 files…" << "" << false;
        QTest::newRow("waiting") << "waiting" << "4 files waiting to upload." << "" << false;
        QTest::newRow("setup unfinished") << "setup" << "Finish setting up to start uploading." << "" << false;
    }

    void precedence()
    {
        QFETCH(QString, setup);
        QFETCH(QString, line1);
        QFETCH(QString, resume);
        QFETCH(bool, complete);
        const QStringList order = {"signedout", "paused", "full", "errors", "offline", "mirrorfailed",
                                   "mirrorrunning", "busy", "uploading", "scanning", "checksfailing", "processing", "waiting"};
        StatusInputs in = base();
        in.filesToUpload = 4;
        if (setup == QLatin1String("setup")) {
            in.onboardingComplete = false;
        } else {
            const int from = int(order.indexOf(setup));
            for (int i = from; i < order.size(); ++i) {
                const QString &c = order.at(i);
                if (c == "signedout") in.signedIn = false;
                if (c == "paused") in.pausedUntil = in.now.addSecs(90 * 60);
                if (c == "full") in.accountFull = true;
                if (c == "errors") in.uploaderPausedDueToErrors = true;
                if (c == "offline") in.online = false;
                if (c == "mirrorfailed" && setup == "mirrorfailed") in.mirrorCompleted = false;
                if (c == "mirrorrunning") { if (setup == "mirrorrunning") { in.mirrorCompleted = false; in.mirrorRefreshing = true; } }
                if (c == "busy") in.serverBusyUntil = in.now.addSecs(120);
                if (c == "uploading") { in.uploading = true; in.filesToUpload = 3; }
                if (c == "scanning") { in.scanning = true; in.filesToScan = 12; }
                if (c == "checksfailing" && setup == "checksfailing") in.ticketChecksFailing = true;
                if (c == "processing") in.pendingTickets = 2;
            }
        }
        const StatusModel m = composeStatus(in);
        QCOMPARE(m.line1, line1);
        QCOMPARE(m.resumeMessage, resume);
        QCOMPARE(m.complete, complete);
        QVERIFY(!m.lineShort.isEmpty());
    }

    void pauseTexts()
    {
        StatusInputs in = base();
        in.filesToUpload = 1;
        in.pausedUntil = in.now.addSecs(3153600000LL); // "until I resume": a hundred years
        StatusModel m = composeStatus(in);
        QCOMPARE(m.line1, QStringLiteral("Paused until you resume."));
        QCOMPARE(m.line2, QStringLiteral("1 file waiting."));
        QCOMPARE(m.lineShort, QStringLiteral("Paused"));
        // Files a resume would not send are not said to wait.
        in.left.counted = true;
        in.left.waiting = 1;
        in.left.failed = 2;
        QCOMPARE(composeStatus(in).line2, QStringLiteral("3 files not uploaded."));
        in.left = NotOnService();

        // A pause that ends on another day names the day.
        in.pausedUntil = in.now.addDays(7);
        m = composeStatus(in);
        QVERIFY2(m.line1.startsWith(QStringLiteral("Paused until ")) && m.line1.size() > QStringLiteral("Paused until 10:00").size(),
                 qPrintable(m.line1));

        // One in another year names the year: without it, a date set while the clock was a year
        // ahead would read as this year's.
        in.pausedUntil = QDateTime(QDate(2027, 1, 2), QTime(9, 5), Qt::LocalTime).toUTC();
        QCOMPARE(composeStatus(in).line1, QStringLiteral("Paused until %1 09:05.").arg(QLocale().toString(QDate(2027, 1, 2), QStringLiteral("ddd d MMM yyyy"))));

        // A pause date already passed no longer pauses (the timer is about to clear it).
        in.pausedUntil = in.now.addSecs(-1);
        QCOMPARE(composeStatus(in).line1, QStringLiteral("1 file waiting to upload."));
    }

    void busyWaitSaysWhenItRetries()
    {
        StatusInputs in = base();
        in.filesToUpload = 2;
        in.serverBusyUntil = in.now.addSecs(30);
        const StatusModel m = composeStatus(in);
        QCOMPARE(m.line1, QStringLiteral("Lumora is busy."));
        QCOMPARE(m.line2, QStringLiteral("Trying again at %1.").arg(in.serverBusyUntil.toLocalTime().time().toString("HH:mm:ss")));
        QVERIFY(!m.running);
        QVERIFY(!m.complete);
        // Once the moment has passed, the busy state is over.
        in.serverBusyUntil = in.now.addSecs(-1);
        QCOMPARE(composeStatus(in).line1, QStringLiteral("2 files waiting to upload."));
    }

    void notUploadedIsToldInSentences()
    {
        StatusInputs in = base();
        in.left.counted = true;
        in.left.failed = 1;
        in.left.badNames = 1;
        in.left.foldersNotRead = 1;
        const StatusModel m = composeStatus(in);
        QCOMPARE(QStringList({m.line1, m.line2, m.line3}).join(QLatin1Char(' ')),
                 QStringLiteral("2 files not uploaded. 1 failed, 1 with a name that is not UTF-8. 1 folder could not be read."));
        QCOMPARE(m.lineShort, QStringLiteral("2 not uploaded"));
        QCOMPARE(m.toGo, 1); // the file to be renamed does not go by itself
    }

    // Files left out by their size are not "all uploaded", and not "to go" either: they wait for
    // the user, as a file to be renamed does. Nor is a catalogue without any source.
    void leftOutOnPurposeIsSaid_data()
    {
        QTest::addColumn<int>("tooLarge");
        QTest::addColumn<int>("tooSmall");
        QTest::addColumn<int>("badNames");
        QTest::addColumn<int>("waiting");
        QTest::addColumn<QString>("lines");
        QTest::addColumn<QString>("lineShort");
        QTest::addColumn<int>("toGo");
        QTest::newRow("too large and too small") << 1 << 1 << 0 << 0 << "2 files not backed up: too large or too small. The details window lists them."
                                                 << "2 not backed up" << 0;
        QTest::newRow("too large") << 1 << 0 << 0 << 0 << "1 file not backed up: too large. The details window lists it."
                                   << "1 not backed up" << 0;
        QTest::newRow("beside waiting files") << 0 << 2 << 0 << 3 << "5 files not uploaded. 3 waiting, 2 too small."
                                              << "5 not uploaded" << 3;
        QTest::newRow("name to be mended") << 0 << 0 << 1 << 0
                                           << "1 file could not be backed up. Its name is not valid UTF-8; rename it to back it up."
                                           << "1 not uploaded" << 0;
    }

    void leftOutOnPurposeIsSaid()
    {
        QFETCH(int, tooLarge);
        QFETCH(int, tooSmall);
        QFETCH(int, badNames);
        QFETCH(int, waiting);
        QFETCH(QString, lines);
        QFETCH(QString, lineShort);
        QFETCH(int, toGo);
        StatusInputs in = base();
        in.left.counted = true;
        in.left.tooLarge = tooLarge;
        in.left.tooSmall = tooSmall;
        in.left.badNames = badNames;
        in.left.waiting = waiting;
        in.filesToUpload = waiting;
        in.heldBack = in.left.files() - in.left.heldForUser() - waiting;
        StatusModel m = composeStatus(in);
        QCOMPARE(QStringList({m.line1, m.line2, m.line3}).join(QLatin1Char(' ')).trimmed(), lines);
        QCOMPARE(m.lineShort, lineShort);
        QCOMPARE(m.toGo, toGo);
        QVERIFY(!m.complete);
        QCOMPARE(m.resumeMessage, QString()); // "Try again" would not help

        // A watched folder away as well: it is told first, these notes after it.
        in.sourcesUnavailable = 1;
        m = composeStatus(in);
        QCOMPARE(QStringList({m.line1, m.line2, m.line3}).join(QLatin1Char(' ')).trimmed(),
                 QStringLiteral("A watched folder is unavailable. ") + lines);
        QCOMPARE(m.lineShort, QStringLiteral("Folder unavailable; ") + lineShort);
        QCOMPARE(m.toGo, toGo);
        in.sourcesUnavailable = 0;

        // Paused: the headline counts them, "to go" does not.
        in.pausedUntil = in.now.addSecs(3600);
        m = composeStatus(in);
        QCOMPARE(m.toGo, toGo);
    }

    void noSourcesIsNotAllUploaded()
    {
        StatusInputs in = base();
        in.noSources = true;
        const StatusModel m = composeStatus(in);
        QCOMPARE(m.line1, QStringLiteral("No sources selected."));
        QCOMPARE(m.lineShort, QStringLiteral("No sources selected"));
        QVERIFY(!m.complete);
    }

    // Settings that cannot be written are told with their cause and folder, before anything
    // that reads as done, and uploads that go on meanwhile still flash the tray.
    void unsavedSettingsAreTold()
    {
        StatusInputs in = base();
        in.settingsUnsavedError = QStringLiteral("Permission denied");
        in.settingsFolder = QStringLiteral("/home/u/.config/Lumora");
        StatusModel m = composeStatus(in);
        QCOMPARE(m.line1, QStringLiteral("Your settings cannot be saved."));
        QCOMPARE(m.line2, QStringLiteral("Could not write to /home/u/.config/Lumora: Permission denied."));
        QCOMPARE(m.lineShort, QStringLiteral("Cannot save settings"));
        QVERIFY(!m.complete);
        QVERIFY(!m.animateTray);
        in.uploading = true;
        QVERIFY(composeStatus(in).animateTray);

        // A settings file that could not be read: signed out, and told why, with the file.
        in.signedIn = false;
        in.settingsUnread = QStringLiteral("Permission denied");
        in.settingsFile = QStringLiteral("/home/u/.config/Lumora/Hoistly.plist");
        m = composeStatus(in);
        QCOMPARE(m.line1, QStringLiteral("Signed out of Lumora."));
        QCOMPARE(m.line2, QStringLiteral("Your settings could not be read: /home/u/.config/Lumora/Hoistly.plist (Permission denied)."));
        in.settingsKeptAs = in.settingsFile + QStringLiteral(".unreadable-1");
        QVERIFY(composeStatus(in).line2.endsWith(QStringLiteral("kept as /home/u/.config/Lumora/Hoistly.plist.unreadable-1.")));
    }

    void singularAndPlural()
    {
        QCOMPARE(StatusText::count(1, "file", "files"), QStringLiteral("1 file"));
        QCOMPARE(StatusText::count(0, "file", "files"), QStringLiteral("0 files"));
        StatusInputs in = base();
        in.scanning = true;
        in.filesToScan = 0;
        QCOMPARE(composeStatus(in).line1, QStringLiteral("Looking for new photos…"));
        QVERIFY(composeStatus(in).scanning);
    }
};

QTEST_GUILESS_MAIN(TestStatusModel)
#include "tst_status_model.moc"

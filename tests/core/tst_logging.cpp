#include "CoreTestHome.h"
#include "core/LGFileLogger.h"
#include "core/LGLog.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {
QString readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

QStringList messagesOf(const QString &path)
{
    QStringList out;
    for (const QString &line : readAll(path).split(u'\n', Qt::SkipEmptyParts))
        out << line.mid(25); // "yyyy/MM/dd HH:mm:ss:SSS" + two blanks
    return out;
}

// Captures what the process writes to stderr while it lives.
class StderrCapture
{
public:
    explicit StderrCapture(const QString &path) : m_path(path)
    {
        std::fflush(stderr);
        m_saved = dup(2);
        const int fd = open(path.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture() { restore(); }
    QString text()
    {
        restore();
        return readAll(m_path);
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        std::fflush(stderr);
        dup2(m_saved, 2);
        close(m_saved);
        m_saved = -1;
    }
    QString m_path;
    int m_saved = -1;
};
} // namespace

class TestLogging : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { startInThrowAwayHome(); }
    void cleanup()
    {
        LGLog::removeAllLoggers();
        LGLog::removeAllExcludedWordsForTesting();
    }

    // Runs first: nothing has added a logger to this process yet. What is logged before the file
    // logger exists reaches its file once it opens; errors also go to standard error at once.
    void linesBeforeTheFirstLoggerAreKeptForIt()
    {
        QTemporaryDir dir;
        StderrCapture err(dir.filePath("stderr.txt"));
        LGLogInfo("SETTINGS: early information");
        LGLogError("SETTINGS: early failure");
        const QString echoed = err.text();
        QVERIFY2(echoed.contains("SETTINGS: early failure"), qPrintable(echoed));
        QVERIFY(!echoed.contains("early information"));

        auto logger = std::make_shared<LGFileLogger>(std::make_shared<LGLogFileManagerDefault>(dir.path() + "/logs"));
        LGLog::addLogger(logger);
        LGLogInfo("LAUNCH: logger installed");
        LGLog::flushLog();
        QCOMPARE(messagesOf(logger->currentLogFileInfo().filePath),
                 (QStringList{"SETTINGS: early information", "SETTINGS: early failure", "LAUNCH: logger installed"}));
    }

    // A running app's log is readable while it runs: information lines reach the file without
    // a flush or a quit, within about a second.
    void informationLinesReachTheFileWithoutAFlush()
    {
        QTemporaryDir dir;
        auto logger = std::make_shared<LGFileLogger>(std::make_shared<LGLogFileManagerDefault>(dir.path()));
        LGLog::addLogger(logger);
        LGLogInfo("DRIVE: one short line");
        auto fileText = [&] {
            const QStringList files = QDir(dir.path()).entryList({"log-*.txt"}, QDir::Files);
            return files.isEmpty() ? QString() : readAll(dir.filePath(files.first()));
        };
        QTRY_VERIFY_WITH_TIMEOUT(fileText().contains("DRIVE: one short line"), 1500);
    }

    void redactionCoversRepeatedAndOverlappingWords()
    {
        LGLog::addExcludedWord("secret");
        LGLog::addExcludedWord("");
        LGLog::addExcludedWord("secret");
        QCOMPARE(LGLog::redact("a secret, another secret and secretsecret"),
                 QStringLiteral("a [REDACTED], another [REDACTED] and [REDACTED]"));

        LGLog::addExcludedWord("abcd");
        LGLog::addExcludedWord("cdef");
        // The two words overlap in "cd": neither tail may survive, whichever is applied first.
        QCOMPARE(LGLog::redact("x abcdef y cdefab abcd"), QStringLiteral("x [REDACTED] y [REDACTED]ab [REDACTED]"));

        LGLog::removeAllExcludedWordsForTesting();
        LGLog::addExcludedWord("aba");
        QCOMPARE(LGLog::redact("ababa-aba"), QStringLiteral("[REDACTED]-[REDACTED]"));

        // A word that occurs in the replacement text does not eat into it.
        LGLog::addExcludedWord("RED");
        QCOMPARE(LGLog::redact("RED aba"), QStringLiteral("[REDACTED] [REDACTED]"));
        QCOMPARE(LGLog::redact("nothing here"), QStringLiteral("nothing here"));
    }

    // Credentials the log was never told of (a request token, a verifier before the exchange)
    // are hidden by their parameter names, in addresses, forms and JSON alike.
    void redactionHidesUnknownOAuthCredentials()
    {
        LGLog::removeAllExcludedWordsForTesting();
        QCOMPARE(LGLog::redact("GET https://h/x?OAuth_Token=req123&oauth_verifier=v9#f"),
                 QStringLiteral("GET https://h/x?oauth_token=[REDACTED]&oauth_verifier=[REDACTED]#f"));
        QCOMPARE(LGLog::redact("cb=https%3A%2F%2Fh%2F%3Foauth_token%3Dreq123"), QStringLiteral("cb=https%3A%2F%2Fh%2F%3Foauth_token%3D[REDACTED]"));
        QCOMPARE(LGLog::redact("{\"oauth_token_secret\": \"s3\"}"), QStringLiteral("{\"oauth_token_secret\": \"[REDACTED]\"}"));
        QCOMPARE(LGLog::redact("oauth_callback=x"), QStringLiteral("oauth_callback=x"));
    }

    void linesAreFormattedAndNamedByDate()
    {
        QTemporaryDir dir;
        auto logger = std::make_shared<LGFileLogger>(std::make_shared<LGLogFileManagerDefault>(dir.path()));
        LGLog::addLogger(logger);
        LGLog::addExcludedWord("tok3n");
        LGLogInfo("LOGIN: token tok3n and tok3ntok3n");
        LGLog::flushLog();
        const LGLogFileInfo info = logger->currentLogFileInfo();
        QVERIFY(info.isValid());
        QCOMPARE(info.fileName, QStringLiteral("log-%1.txt").arg(QDateTime::currentDateTimeUtc().toString("yyyy-MM-dd")));
        const QString text = readAll(info.filePath);
        static const QRegularExpression line("^\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2}:\\d{3}  LOGIN: token \\[REDACTED\\] and \\[REDACTED\\]\n$");
        QVERIFY2(line.match(text).hasMatch(), qPrintable(text));
    }

    void errorLinesAreOnDiskWithoutAFlush()
    {
        QTemporaryDir dir;
        auto logger = std::make_shared<LGFileLogger>(std::make_shared<LGLogFileManagerDefault>(dir.path()));
        LGLog::addLogger(logger);
        for (int i = 0; i < 200; ++i)
            LGLogInfo(QStringLiteral("info %1").arg(i));
        LGLogError("UPLOADER: failure");
        // No flush: the error and everything logged before it must already be in the file.
        const QStringList files = QDir(dir.path()).entryList({"log-*.txt"}, QDir::Files);
        QCOMPARE(files.size(), 1);
        const QStringList lines = messagesOf(dir.filePath(files.first()));
        QCOMPARE(lines.size(), 201);
        QCOMPARE(lines.first(), QStringLiteral("info 0"));
        QCOMPARE(lines.last(), QStringLiteral("UPLOADER: failure"));
    }

    void flushWaitsForLinesFromEveryThread()
    {
        QTemporaryDir dir;
        auto logger = std::make_shared<LGFileLogger>(std::make_shared<LGLogFileManagerDefault>(dir.path()));
        LGLog::addLogger(logger);
        QList<QThread *> threads;
        for (int t = 0; t < 4; ++t)
            threads << QThread::create([t] {
                for (int i = 0; i < 500; ++i)
                    LGLogInfo(QStringLiteral("t%1 line %2").arg(t).arg(i));
            });
        for (auto *t : threads)
            t->start();
        for (auto *t : threads) {
            t->wait();
            delete t;
        }
        LGLog::flushLog();
        const QStringList lines = messagesOf(logger->currentLogFileInfo().filePath);
        QCOMPARE(lines.size(), 2000);
        // Each thread's lines keep their order.
        QVERIFY(lines.indexOf("t2 line 10") < lines.indexOf("t2 line 11"));
        QVERIFY(lines.contains("t3 line 499"));
    }

    void rollsAtSizeAndKeepsTheConfiguredCount()
    {
        QTemporaryDir dir;
        auto manager = std::make_shared<LGLogFileManagerDefault>(dir.path());
        manager->setMaximumNumberOfLogFiles(3);
        auto logger = std::make_shared<LGFileLogger>(manager);
        logger->setMaximumFileSize(200);
        LGLog::addLogger(logger);
        for (int i = 0; i < 40; ++i)
            LGLogInfo(QStringLiteral("message number %1").arg(i, 3, 10, QLatin1Char('0')));
        LGLog::flushLog();

        const QStringList files = manager->sortedLogFilePaths();
        QCOMPARE(files.size(), 3);
        QCOMPARE(files.last(), logger->currentLogFileInfo().filePath);
        QStringList kept;
        for (const QString &f : files) {
            QVERIFY2(QFileInfo(f).size() <= 200, qPrintable(f));
            kept << messagesOf(f);
        }
        // The newest lines survive, in order, with nothing lost between the kept files.
        QCOMPARE(kept.last(), QStringLiteral("message number 039"));
        for (int i = 1; i < kept.size(); ++i)
            QCOMPARE(kept.at(i).right(3).toInt(), kept.at(i - 1).right(3).toInt() + 1);
        const QString day = QDateTime::currentDateTimeUtc().toString("yyyy-MM-dd");
        QVERIFY(QFileInfo(files.last()).fileName().startsWith("log-" + day + "-"));
    }

    void rollsAtAgeAndContinuesAfterARestart()
    {
        QTemporaryDir dir;
        auto manager = std::make_shared<LGLogFileManagerDefault>(dir.path());
        QString first;
        {
            auto logger = std::make_shared<LGFileLogger>(manager);
            LGLog::addLogger(logger);
            LGLogInfo("before restart");
            first = logger->currentLogFileInfo().filePath;
            LGLog::removeAllLoggers();
        }
        auto logger = std::make_shared<LGFileLogger>(manager);
        LGLog::addLogger(logger);
        LGLogInfo("after restart");
        QCOMPARE(logger->currentLogFileInfo().filePath, first);
        QCOMPARE(messagesOf(first), (QStringList{"before restart", "after restart"}));

        logger->setRollingFrequency(0.2);
        QTest::qWait(300);
        LGLogInfo("later");
        LGLog::flushLog();
        const QString second = logger->currentLogFileInfo().filePath;
        QVERIFY(second != first);
        QCOMPARE(messagesOf(second), QStringList{"later"});
    }

    void aDeletedFileIsStartedAgain()
    {
        QTemporaryDir dir;
        auto logger = std::make_shared<LGFileLogger>(std::make_shared<LGLogFileManagerDefault>(dir.path()));
        LGLog::addLogger(logger);
        LGLogInfo("first");
        const QString path = logger->currentLogFileInfo().filePath;
        QVERIFY(QFile::remove(path));
        const LGLogFileInfo again = logger->currentLogFileInfo();
        QVERIFY(again.isValid());
        QVERIFY(QFile::exists(again.filePath));
        LGLogError("second");
        QCOMPARE(messagesOf(again.filePath), QStringList{"second"});
    }

    void unwritableFolderReportsOnStderrAndCarriesOn()
    {
        QTemporaryDir dir;
        QFile blocker(dir.filePath("not-a-folder"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        auto logger = std::make_shared<LGFileLogger>(
            std::make_shared<LGLogFileManagerDefault>(dir.filePath("not-a-folder/logs")));
        LGLog::addLogger(logger);
        StderrCapture capture(dir.filePath("stderr.txt"));
        LGLogInfo("queued line");
        LGLogError("error line");
        LGLog::flushLog();
        QVERIFY(!logger->currentLogFileInfo().isValid());
        const QString err = capture.text();
        QVERIFY2(err.contains("LOG: Could not"), qPrintable(err));
        QCOMPARE(err.count("LOG: Could not"), 1);
    }
};

QTEST_GUILESS_MAIN(TestLogging)
#include "tst_logging.moc"

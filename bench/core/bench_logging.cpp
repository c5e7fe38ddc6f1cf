#include "core/LGFileLogger.h"
#include "core/LGLog.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

class BenchLogging : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    std::shared_ptr<LGFileLogger> m_logger;

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        m_logger = std::make_shared<LGFileLogger>(std::make_shared<LGLogFileManagerDefault>(m_dir.path()));
        LGLog::addLogger(m_logger);
        LGLog::addExcludedWord(QStringLiteral("9e4b07c2d15a3f86b0c7e2a4d9f1536b"));
        LGLog::addExcludedWord(QStringLiteral("fedcba9876543210"));
    }
    void cleanupTestCase() { LGLog::removeAllLoggers(); }

    void queuedInfoLine()
    {
        int i = 0;
        QBENCHMARK { LGLogInfo(QStringLiteral("UPLOADER: Uploading /home/someone/Pictures/IMG_%1.JPG (4 MB)").arg(++i)); }
        LGLog::flushLog();
    }

    void redactionOfATypicalLine()
    {
        const QString line = QStringLiteral("LUMORA: signed call with oauth_token=9e4b07c2d15a3f86b0c7e2a4d9f1536b "
                                            "and a long tail of parameters that carry no secret at all");
        QString out;
        QBENCHMARK { out = LGLog::redact(line); }
        QVERIFY(out.contains("[REDACTED]"));
    }
};

QTEST_GUILESS_MAIN(BenchLogging)
#include "bench_logging.moc"

#pragma once
// The rolling file logger. Information lines go through an spdlog asynchronous queue and are
// written on the logger's own thread; error lines are written synchronously (after everything
// queued before them), so they are on disk when the call returns. Each line is
// "yyyy/MM/dd HH:mm:ss:SSS", two blanks, then the already redacted message.
#include "LGLog.h"

#include <QDateTime>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <memory>

struct LGLogFileInfo
{
    QString filePath;
    QString fileName;
    qint64 fileSize = 0;
    QDateTime creationDate;
    bool isValid() const { return !filePath.isEmpty(); }
};

// Names, lists and prunes the log files of one folder.
class LGLogFileManagerDefault
{
public:
    enum FileNamingConvention { NamingShortUniqueId = 0, NamingDate = 1 };

    // An empty folder means StandardPaths::logsFolder().
    explicit LGLogFileManagerDefault(const QString &logsDirectory = QString());

    QString logsDirectory() const;
    // Files kept, the one being written included (0 keeps all).
    void setMaximumNumberOfLogFiles(int count);
    int maximumNumberOfLogFiles() const;
    void setFileNamingConvention(int convention);
    int fileNamingConvention() const;

    bool isLogFile(const QString &fileName) const;
    // Oldest first.
    QStringList sortedLogFilePaths() const;
    // A name for a new file that does not exist yet: "log-yyyy-MM-dd.txt" (GMT), with "-N" before
    // the extension when the day already has one, or "log-<id>.txt".
    QString newLogFilePath() const;
    // Removes the oldest files beyond the kept count, never `keep`.
    void deleteOldLogFiles(const QString &keep) const;

private:
    mutable QMutex m_lock;
    QString m_directory;
    int m_maxFiles;
    int m_naming;
};

class LGFileLogger : public LGLogger
{
public:
    static constexpr qint64 kDefaultMaximumFileSize = 9961472;
    static constexpr double kDefaultRollingFrequency = 60.0 * 24 * 60 * 60;
    static constexpr int kDefaultMaximumNumberOfLogFiles = 4;

    LGFileLogger();
    explicit LGFileLogger(std::shared_ptr<LGLogFileManagerDefault> manager);
    ~LGFileLogger() override;
    LGFileLogger(const LGFileLogger &) = delete;
    LGFileLogger &operator=(const LGFileLogger &) = delete;

    // A file logger with the defaults, registered with LGLog.
    static std::shared_ptr<LGFileLogger> install();

    // 0 disables the size limit; a positive value rolls before a line would pass it.
    void setMaximumFileSize(qint64 bytes);
    qint64 maximumFileSize() const;
    // Seconds after which the file is rolled at the next line (0 disables it).
    void setRollingFrequency(double seconds);
    double rollingFrequency() const;
    LGLogFileManagerDefault *logFileManager() const;

    // The file being written, opened (or created) when needed; invalid when the folder is not
    // writable.
    LGLogFileInfo currentLogFileInfo();
    // Closes the current file; the next line starts a new one.
    void rollLogFile();

    // For a crash handler (async-signal-safe): a descriptor appending to the file being written
    // by the file logger, or -1. The caller closes it.
    static int openCrashLogFile();

    void logMessage(const LGLogMessage &message) override;
    void flush() override;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

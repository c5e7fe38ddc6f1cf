#pragma once
// The logging entry point. Errors are written synchronously; information lines are queued and
// written on the logger's own thread. Every excluded word is replaced by "[REDACTED]".
#include <QString>
#include <memory>

enum LGLogFlag : int { LGLogFlagError = 1, LGLogFlagWarning = 2, LGLogFlagInfo = 4, LGLogFlagDebug = 8 };

struct LGLogMessage
{
    int flag = LGLogFlagInfo;
    QString file;
    QString function;
    int line = 0;
    QString message; // already redacted
    qint64 timestampMs = 0;
};

// A destination of log lines. Each logger writes on its own thread.
class LGLogger
{
public:
    virtual ~LGLogger() = default;
    virtual void logMessage(const LGLogMessage &message) = 0;
    virtual void flush() = 0;
};

class LGLog
{
public:
    static void log(int flag, const char *file, const char *function, int line, const QString &message);
    static void addLogger(std::shared_ptr<LGLogger> logger);
    static void removeAllLoggers();
    // Registers a word that every later line has replaced by "[REDACTED]"; empty or known words are ignored.
    static void addExcludedWord(const QString &word);
    static void removeAllExcludedWordsForTesting();
    // Applies the excluded words to a text (also used for addresses and errors before they are shown).
    static QString redact(const QString &text);
    // Blocks until every queued line has been written.
    static void flushLog();
    // Also echo lines to stderr (development runs).
    static void setEchoToStderr(bool echo);
};

#define LGLogError(msg) LGLog::log(LGLogFlagError, __FILE__, __func__, __LINE__, (msg))
#define LGLogInfo(msg) LGLog::log(LGLogFlagInfo, __FILE__, __func__, __LINE__, (msg))

#include "LGLog.h"

#include <QDateTime>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <cstdio>
#include <vector>

namespace {
struct LogState
{
    QMutex lock;
    std::vector<std::shared_ptr<LGLogger>> loggers;
    QStringList excluded; // longest first, so a word inside a longer one never leaves a tail
    bool echo = false;
};

LogState &state()
{
    static LogState s;
    return s;
}

QString redactLocked(const LogState &s, QString text)
{
    for (const QString &word : s.excluded)
        text.replace(word, QStringLiteral("[REDACTED]"));
    return text;
}
} // namespace

void LGLog::log(int flag, const char *file, const char *function, int line, const QString &message)
{
    LogState &s = state();
    std::vector<std::shared_ptr<LGLogger>> loggers;
    LGLogMessage m;
    {
        QMutexLocker locker(&s.lock);
        loggers = s.loggers;
        m.message = redactLocked(s, message);
    }
    m.flag = flag;
    m.file = QString::fromUtf8(file);
    m.function = QString::fromUtf8(function);
    m.line = line;
    m.timestampMs = QDateTime::currentMSecsSinceEpoch();
    if (s.echo)
        std::fprintf(stderr, "%s\n", m.message.toLocal8Bit().constData());
    for (auto &l : loggers)
        l->logMessage(m);
}

void LGLog::addLogger(std::shared_ptr<LGLogger> logger)
{
    if (!logger)
        return;
    QMutexLocker locker(&state().lock);
    state().loggers.push_back(std::move(logger));
}

void LGLog::removeAllLoggers()
{
    std::vector<std::shared_ptr<LGLogger>> old;
    {
        QMutexLocker locker(&state().lock);
        old.swap(state().loggers);
    }
    for (auto &l : old)
        l->flush();
}

void LGLog::addExcludedWord(const QString &word)
{
    if (word.isEmpty())
        return;
    LogState &s = state();
    QMutexLocker locker(&s.lock);
    if (s.excluded.contains(word))
        return;
    s.excluded.append(word);
    std::stable_sort(s.excluded.begin(), s.excluded.end(),
                     [](const QString &a, const QString &b) { return a.size() > b.size(); });
}

void LGLog::removeAllExcludedWordsForTesting()
{
    QMutexLocker locker(&state().lock);
    state().excluded.clear();
}

QString LGLog::redact(const QString &text)
{
    QMutexLocker locker(&state().lock);
    return redactLocked(state(), text);
}

void LGLog::flushLog()
{
    std::vector<std::shared_ptr<LGLogger>> loggers;
    {
        QMutexLocker locker(&state().lock);
        loggers = state().loggers;
    }
    for (auto &l : loggers)
        l->flush();
}

void LGLog::setEchoToStderr(bool echo)
{
    QMutexLocker locker(&state().lock);
    state().echo = echo;
}

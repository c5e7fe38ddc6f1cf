#include "LGLog.h"

#include <QDateTime>
#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QStringList>
#include <algorithm>
#include <cstdio>
#include <deque>
#include <vector>

namespace {
struct LogState
{
    QMutex lock;
    std::vector<std::shared_ptr<LGLogger>> loggers;
    QStringList excluded;
    bool echo = false;
    // Lines logged before any logger exists (the reset offer, a corrupt settings file, the
    // first steps of the launch); handed to the first logger that is added.
    std::deque<LGLogMessage> early;
    bool earlyDelivered = false;
};

constexpr size_t kMaxEarlyLines = 2000;

LogState &state()
{
    static LogState s;
    return s;
}

// Marks every character covered by any occurrence of any excluded word in the original text
// (overlapping occurrences included) and replaces each covered run by one "[REDACTED]". Replacing
// word by word would leave the tail of a word that overlaps an earlier replacement, and could
// match inside an inserted "[REDACTED]".
QString redactWith(const QStringList &words, const QString &text)
{
    if (words.isEmpty() || text.isEmpty())
        return text;
    std::vector<bool> covered;
    for (const QString &word : words) {
        qsizetype at = text.indexOf(word);
        while (at >= 0) {
            if (covered.empty())
                covered.assign(size_t(text.size()), false);
            std::fill(covered.begin() + at, covered.begin() + at + word.size(), true);
            at = text.indexOf(word, at + 1);
        }
    }
    if (covered.empty())
        return text;
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size();) {
        if (!covered[size_t(i)]) {
            out.append(text.at(i++));
            continue;
        }
        out.append(QStringLiteral("[REDACTED]"));
        while (i < text.size() && covered[size_t(i)])
            ++i;
    }
    return out;
}
} // namespace

void LGLog::log(int flag, const char *file, const char *function, int line, const QString &message)
{
    LogState &s = state();
    std::vector<std::shared_ptr<LGLogger>> loggers;
    QStringList words;
    bool echo = false;
    {
        QMutexLocker locker(&s.lock);
        loggers = s.loggers;
        words = s.excluded; // implicitly shared: redaction runs outside the lock
        echo = s.echo;
    }
    LGLogMessage m;
    m.message = redactWith(words, message);
    m.flag = flag;
    m.file = QString::fromUtf8(file);
    m.function = QString::fromUtf8(function);
    m.line = line;
    m.timestampMs = QDateTime::currentMSecsSinceEpoch();
    // Errors also go to standard error, which the desktop session's journal collects: the
    // system log of a desktop process.
    if (echo || flag == LGLogFlagError)
        std::fprintf(stderr, "%s\n", m.message.toLocal8Bit().constData());
    if (loggers.empty()) {
        QMutexLocker locker(&s.lock);
        if (s.loggers.empty()) {
            if (!s.earlyDelivered) {
                s.early.push_back(m);
                if (s.early.size() > kMaxEarlyLines)
                    s.early.pop_front();
            }
            return;
        }
        loggers = s.loggers; // one was added meanwhile
    }
    for (auto &l : loggers)
        l->logMessage(m);
}

void LGLog::addLogger(std::shared_ptr<LGLogger> logger)
{
    if (!logger)
        return;
    std::deque<LGLogMessage> early;
    {
        QMutexLocker locker(&state().lock);
        state().loggers.push_back(logger);
        if (!state().earlyDelivered) {
            state().earlyDelivered = true;
            early.swap(state().early);
        }
    }
    for (const LGLogMessage &m : early)
        logger->logMessage(m);
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
}

void LGLog::removeAllExcludedWordsForTesting()
{
    QMutexLocker locker(&state().lock);
    state().excluded.clear();
}

namespace {
// OAuth credentials are hidden wherever they stand and however they are written (query, form,
// JSON), also those the log has not been told of yet: a request token or verifier in an address
// logged before the sign-in completes.
QString withoutOAuthCredentials(const QString &text)
{
    static const QRegularExpression parameter(
        QStringLiteral("(oauth_token_secret|oauth_token|oauth_verifier|oauth_signature|oauth_consumer_secret)"
                       "(=|%3D|\"\\s*:\\s*\")([^&\\s\"'#<>]*)"),
        QRegularExpression::CaseInsensitiveOption);
    if (!text.contains(QLatin1String("oauth_"), Qt::CaseInsensitive))
        return text;
    QString result;
    qsizetype last = 0;
    auto it = parameter.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        result += text.mid(last, m.capturedStart() - last);
        result += m.captured(1).toLower() + m.captured(2) + QStringLiteral("[REDACTED]");
        last = m.capturedEnd();
    }
    result += text.mid(last);
    return result;
}
} // namespace

QString LGLog::redact(const QString &text)
{
    QStringList words;
    {
        QMutexLocker locker(&state().lock);
        words = state().excluded;
    }
    return redactWith(words, withoutOAuthCredentials(text));
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

#include "LGFileLogger.h"

#include "platform/StandardPaths.h"

#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <spdlog/async_logger.h>
#include <spdlog/details/thread_pool.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/base_sink.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <mutex>
#include <tuple>

namespace {

// A message of this level is never written: it marks a point in the queue, and the writer
// reports when it reaches it. That is how a flush waits for everything queued before it.
constexpr auto kBarrierLevel = spdlog::level::off;

const QRegularExpression &datedName()
{
    static const QRegularExpression re(QStringLiteral("^log-(\\d{4}-\\d{2}-\\d{2})(?:-(\\d+))?\\.txt$"));
    return re;
}

spdlog::level::level_enum levelFor(int flag)
{
    switch (flag) {
    case LGLogFlagError: return spdlog::level::err;
    case LGLogFlagWarning: return spdlog::level::warn;
    case LGLogFlagDebug: return spdlog::level::debug;
    default: return spdlog::level::info;
    }
}

spdlog::log_clock::time_point timeFor(qint64 msSinceEpoch)
{
    return spdlog::log_clock::time_point(std::chrono::duration_cast<spdlog::log_clock::duration>(
        std::chrono::milliseconds(msSinceEpoch)));
}

// The file a crash report goes to. A signal handler cannot lock or allocate, so the path is
// kept ready as bytes; a torn read during a roll at the very moment of a crash is accepted.
char g_crashLogPath[4096] = {};

void rememberForCrashReports(const QString &path)
{
    const QByteArray bytes = QFile::encodeName(path);
    if (bytes.size() >= qsizetype(sizeof(g_crashLogPath)))
        return;
    g_crashLogPath[0] = '\0';
    std::memcpy(g_crashLogPath + 1, bytes.constData() + 1, size_t(bytes.size()));
    g_crashLogPath[0] = bytes.isEmpty() ? '\0' : bytes.at(0);
}

class RollingSink final : public spdlog::sinks::base_sink<std::mutex>
{
public:
    explicit RollingSink(std::shared_ptr<LGLogFileManagerDefault> manager)
        : m_manager(std::move(manager))
    {
        set_formatter_(std::make_unique<spdlog::pattern_formatter>(
            "%Y/%m/%d %H:%M:%S:%e  %v", spdlog::pattern_time_type::local, std::string("\n")));
    }
    ~RollingSink() override { closeFile(); }

    std::atomic<qint64> maxSize{LGFileLogger::kDefaultMaximumFileSize};
    std::atomic<double> frequency{LGFileLogger::kDefaultRollingFrequency};

    LGLogFileManagerDefault *manager() const { return m_manager.get(); }

    LGLogFileInfo current()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (m_file && !QFileInfo::exists(m_path))
            closeFile();
        if (!m_file)
            openFile(QDateTime::currentDateTimeUtc());
        LGLogFileInfo info;
        if (!m_file)
            return info;
        info.filePath = m_path;
        info.fileName = QFileInfo(m_path).fileName();
        info.fileSize = m_size;
        info.creationDate = m_openedAt;
        return info;
    }

    void roll()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closeFile();
    }

    // Waits until the writer has passed barrier `ticket`.
    void waitForBarrier(quint64 ticket)
    {
        std::unique_lock<std::mutex> lock(m_barrierLock);
        m_barrierCv.wait(lock, [&] { return m_barrierDone >= ticket; });
    }

protected:
    void sink_it_(const spdlog::details::log_msg &msg) override
    {
        if (msg.level == kBarrierLevel) {
            if (m_file)
                std::fflush(m_file);
            const quint64 ticket = QByteArray(msg.payload.data(), int(msg.payload.size())).toULongLong();
            {
                std::lock_guard<std::mutex> lock(m_barrierLock);
                m_barrierDone = std::max(m_barrierDone, ticket);
            }
            m_barrierCv.notify_all();
            return;
        }
        spdlog::memory_buf_t line;
        formatter_->format(msg, line);
        const qint64 length = qint64(line.size());
        const QDateTime now = QDateTime::currentDateTimeUtc();
        if (m_file && (shouldRoll(length, now) || fileWasRemoved(now)))
            closeFile();
        if (!m_file && !openFile(now))
            return; // already reported on stderr; the line is dropped rather than blocking the app
        if (std::fwrite(line.data(), 1, size_t(length), m_file) != size_t(length)) {
            reportFailure(QStringLiteral("write to %1").arg(m_path), errno);
            closeFile();
            return;
        }
        m_size += length;
        // Handed to the system at once: a crash or a forced quit must not lose what was logged.
        // This runs on the writer thread, so the callers never wait for it.
        std::fflush(m_file);
    }

    void flush_() override
    {
        if (m_file)
            std::fflush(m_file);
    }

private:
    bool shouldRoll(qint64 length, const QDateTime &now) const
    {
        const qint64 limit = maxSize.load();
        if (limit > 0 && m_size > 0 && m_size + length > limit)
            return true;
        const double seconds = frequency.load();
        return seconds > 0 && m_openedAt.isValid() && double(m_openedAt.msecsTo(now)) >= seconds * 1000.0;
    }

    // Someone (the user, a cleaner) deleted the file being written: lines would go nowhere until
    // the next roll. Looked at now and then, not for every line.
    bool fileWasRemoved(const QDateTime &now)
    {
        if (m_lastExistenceCheck.isValid() && m_lastExistenceCheck.msecsTo(now) < 5000)
            return false;
        m_lastExistenceCheck = now;
        return !QFileInfo::exists(m_path);
    }

    // The newest file of an earlier run is continued when it is still small and young enough.
    QString reusablePath(const QDateTime &now, QDateTime *createdAt) const
    {
        const QStringList files = m_manager->sortedLogFilePaths();
        if (files.isEmpty())
            return {};
        const QFileInfo last(files.last());
        const qint64 limit = maxSize.load();
        if (limit > 0 && last.size() >= limit)
            return {};
        QDateTime created = last.birthTime().toUTC();
        if (!created.isValid()) {
            const auto match = datedName().match(last.fileName());
            created = match.hasMatch()
                ? QDateTime(QDate::fromString(match.captured(1), QStringLiteral("yyyy-MM-dd")), QTime(0, 0), Qt::UTC)
                : last.lastModified().toUTC();
        }
        const double seconds = frequency.load();
        if (seconds > 0 && double(created.msecsTo(now)) >= seconds * 1000.0)
            return {};
        *createdAt = created;
        return last.absoluteFilePath();
    }

    bool openFile(const QDateTime &now)
    {
        if (m_retryAfter.isValid() && now < m_retryAfter)
            return false;
        const QString dir = m_manager->logsDirectory();
        if (!QDir().mkpath(dir) || !QFileInfo(dir).isDir()) {
            reportFailure(QStringLiteral("create the log folder %1").arg(dir), 0);
            m_retryAfter = now.addSecs(5);
            return false;
        }
        QDateTime createdAt = now;
        QString path;
        if (m_firstOpen) {
            m_firstOpen = false;
            path = reusablePath(now, &createdAt);
        }
        if (path.isEmpty()) {
            path = m_manager->newLogFilePath();
            createdAt = now;
        }
        m_file = std::fopen(QFile::encodeName(path).constData(), "ab");
        if (!m_file) {
            reportFailure(QStringLiteral("open %1").arg(path), errno);
            m_retryAfter = now.addSecs(5);
            return false;
        }
        m_path = path;
        rememberForCrashReports(path);
        m_size = QFileInfo(path).size();
        m_openedAt = createdAt;
        m_failureReported = false;
        m_retryAfter = QDateTime();
        m_manager->deleteOldLogFiles(path);
        return true;
    }

    void closeFile()
    {
        if (m_file)
            std::fclose(m_file);
        m_file = nullptr;
        m_size = 0;
        m_openedAt = QDateTime();
    }

    // The log cannot report its own failures, so they go to stderr, once per failing streak.
    void reportFailure(const QString &what, int error)
    {
        if (m_failureReported)
            return;
        m_failureReported = true;
        const QByteArray reason = error ? QByteArray(std::strerror(error)) : QByteArray("not a writable folder");
        std::fprintf(stderr, "LOG: Could not %s: %s\n", what.toLocal8Bit().constData(), reason.constData());
    }

    std::shared_ptr<LGLogFileManagerDefault> m_manager;
    std::FILE *m_file = nullptr;
    QString m_path;
    qint64 m_size = 0;
    QDateTime m_openedAt;
    QDateTime m_retryAfter;
    QDateTime m_lastExistenceCheck;
    bool m_firstOpen = true;
    bool m_failureReported = false;

    std::mutex m_barrierLock;
    std::condition_variable m_barrierCv;
    quint64 m_barrierDone = 0;
};

} // namespace

// ---------------------------------------------------------------------------------------------

LGLogFileManagerDefault::LGLogFileManagerDefault(const QString &logsDirectory)
    : m_directory(logsDirectory)
    , m_maxFiles(LGFileLogger::kDefaultMaximumNumberOfLogFiles)
    , m_naming(NamingDate)
{
}

QString LGLogFileManagerDefault::logsDirectory() const
{
    QMutexLocker locker(&m_lock);
    return m_directory.isEmpty() ? StandardPaths::logsFolder() : m_directory;
}

void LGLogFileManagerDefault::setMaximumNumberOfLogFiles(int count)
{
    QMutexLocker locker(&m_lock);
    m_maxFiles = std::max(0, count);
}

int LGLogFileManagerDefault::maximumNumberOfLogFiles() const
{
    QMutexLocker locker(&m_lock);
    return m_maxFiles;
}

void LGLogFileManagerDefault::setFileNamingConvention(int convention)
{
    QMutexLocker locker(&m_lock);
    m_naming = convention == NamingShortUniqueId ? NamingShortUniqueId : NamingDate;
}

int LGLogFileManagerDefault::fileNamingConvention() const
{
    QMutexLocker locker(&m_lock);
    return m_naming;
}

bool LGLogFileManagerDefault::isLogFile(const QString &fileName) const
{
    return fileName.startsWith(QLatin1String("log-")) && fileName.endsWith(QLatin1String(".txt"));
}

QStringList LGLogFileManagerDefault::sortedLogFilePaths() const
{
    // Dated names order themselves (day, then sequence number): file times are too coarse to
    // order files that roll within a millisecond. Other names go by modification time.
    using Key = std::tuple<QString, int, qint64, QString>;
    std::vector<Key> keys;
    const QFileInfoList entries = QDir(logsDirectory()).entryInfoList({QStringLiteral("log-*.txt")}, QDir::Files);
    for (const QFileInfo &fi : entries) {
        const auto match = datedName().match(fi.fileName());
        const qint64 modified = fi.lastModified().toMSecsSinceEpoch();
        if (match.hasMatch())
            keys.emplace_back(match.captured(1), match.captured(2).toInt(), modified, fi.absoluteFilePath());
        else
            keys.emplace_back(fi.lastModified().toUTC().toString(QStringLiteral("yyyy-MM-dd")), -1, modified,
                              fi.absoluteFilePath());
    }
    std::sort(keys.begin(), keys.end());
    QStringList paths;
    for (const Key &k : keys)
        paths << std::get<3>(k);
    return paths;
}

QString LGLogFileManagerDefault::newLogFilePath() const
{
    const QDir dir(logsDirectory());
    if (fileNamingConvention() == NamingShortUniqueId) {
        for (;;) {
            const QString id = QString::number(QRandomGenerator::global()->bounded(0x1000000), 16).rightJustified(6, u'0');
            const QString path = dir.filePath(QStringLiteral("log-%1.txt").arg(id.toUpper()));
            if (!QFileInfo::exists(path))
                return path;
        }
    }
    const QString day = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd"));
    // After the last file of the day, so the sequence keeps its order even when older ones of
    // the day were pruned.
    int next = -1;
    for (const QString &name : dir.entryList({QStringLiteral("log-%1*.txt").arg(day)}, QDir::Files)) {
        const auto match = datedName().match(name);
        if (match.hasMatch() && match.captured(1) == day)
            next = std::max(next, match.captured(2).toInt());
    }
    ++next;
    return dir.filePath(next == 0 ? QStringLiteral("log-%1.txt").arg(day) : QStringLiteral("log-%1-%2.txt").arg(day).arg(next));
}

void LGLogFileManagerDefault::deleteOldLogFiles(const QString &keep) const
{
    const int maxFiles = maximumNumberOfLogFiles();
    if (maxFiles <= 0)
        return;
    const QStringList files = sortedLogFilePaths();
    qsizetype excess = files.size() - maxFiles;
    const QString keepPath = QFileInfo(keep).absoluteFilePath();
    for (const QString &path : files) {
        if (excess <= 0)
            break;
        if (path == keepPath)
            continue;
        if (QFile::remove(path))
            --excess;
    }
}

// ---------------------------------------------------------------------------------------------

struct LGFileLogger::Impl
{
    std::shared_ptr<LGLogFileManagerDefault> manager;
    std::shared_ptr<RollingSink> sink;
    std::shared_ptr<spdlog::details::thread_pool> pool;
    std::shared_ptr<spdlog::async_logger> logger;
    std::atomic<quint64> nextTicket{0};
};

LGFileLogger::LGFileLogger()
    : LGFileLogger(std::make_shared<LGLogFileManagerDefault>())
{
}

LGFileLogger::LGFileLogger(std::shared_ptr<LGLogFileManagerDefault> manager)
    : d(std::make_unique<Impl>())
{
    d->manager = manager ? std::move(manager) : std::make_shared<LGLogFileManagerDefault>();
    d->sink = std::make_shared<RollingSink>(d->manager);
    // One writer thread of our own; a full queue makes callers wait rather than lose lines.
    d->pool = std::make_shared<spdlog::details::thread_pool>(32768, 1);
    d->logger = std::make_shared<spdlog::async_logger>("Hoistly", d->sink, d->pool,
                                                       spdlog::async_overflow_policy::block);
    d->logger->set_level(spdlog::level::trace);
}

LGFileLogger::~LGFileLogger()
{
    flush();
    d->logger.reset();
    d->pool.reset(); // joins the writer thread
    d->sink.reset();
}

std::shared_ptr<LGFileLogger> LGFileLogger::install()
{
    auto logger = std::make_shared<LGFileLogger>();
    LGLog::addLogger(logger);
    return logger;
}

void LGFileLogger::setMaximumFileSize(qint64 bytes) { d->sink->maxSize = std::max<qint64>(0, bytes); }
qint64 LGFileLogger::maximumFileSize() const { return d->sink->maxSize; }
void LGFileLogger::setRollingFrequency(double seconds) { d->sink->frequency = std::max(0.0, seconds); }
double LGFileLogger::rollingFrequency() const { return d->sink->frequency; }
LGLogFileManagerDefault *LGFileLogger::logFileManager() const { return d->manager.get(); }

LGLogFileInfo LGFileLogger::currentLogFileInfo()
{
    flush();
    return d->sink->current();
}

void LGFileLogger::rollLogFile()
{
    flush();
    d->sink->roll();
}

void LGFileLogger::logMessage(const LGLogMessage &message)
{
    const QByteArray text = message.message.toUtf8();
    const spdlog::string_view_t payload(text.constData(), size_t(text.size()));
    const auto level = levelFor(message.flag);
    const auto when = timeFor(message.timestampMs ? message.timestampMs : QDateTime::currentMSecsSinceEpoch());
    if (message.flag != LGLogFlagError) {
        d->logger->log(when, spdlog::source_loc{}, level, payload);
        return;
    }
    // Errors: after everything queued so far, on this thread, and on disk before returning.
    flush();
    spdlog::details::log_msg msg(when, spdlog::source_loc{}, "Hoistly", level, payload);
    d->sink->log(msg);
    d->sink->flush();
}

int LGFileLogger::openCrashLogFile()
{
    if (g_crashLogPath[0] == '\0')
        return -1;
    return ::open(g_crashLogPath, O_WRONLY | O_APPEND | O_CLOEXEC);
}

void LGFileLogger::flush()
{
    const quint64 ticket = ++d->nextTicket;
    const std::string marker = std::to_string(ticket);
    d->logger->log(kBarrierLevel, spdlog::string_view_t(marker));
    d->sink->waitForBarrier(ticket);
}

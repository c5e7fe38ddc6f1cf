#include "app/platform/UnixSignals.h"

#include "core/LGFileLogger.h"
#include "core/LGLog.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QStringList>

#include <atomic>
#include <csignal>
#include <cstring>
#include <ctime>
#include <exception>
#include <execinfo.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int g_fds[2] = {-1, -1};
std::function<void(int)> g_handler;

void onSignal(int sig)
{
    const unsigned char b = static_cast<unsigned char>(sig);
    [[maybe_unused]] ssize_t n = ::write(g_fds[0], &b, 1);
}
} // namespace

void UnixSignals::install(std::function<void(int)> handler)
{
    g_handler = std::move(handler);
    if (g_fds[0] >= 0)
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_fds) != 0)
        return;
    auto *notifier = new QSocketNotifier(g_fds[1], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        unsigned char b = 0;
        if (::read(g_fds[1], &b, 1) == 1 && g_handler)
            g_handler(int(b));
    });
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
}

namespace {
std::atomic<bool> g_crashing{false};
std::function<void()> g_beforeException;
bool g_crashHandlersInstalled = false;

void writeAll(int fd, const char *text)
{
    size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t n = ::write(fd, text, left);
        if (n <= 0)
            return;
        text += n;
        left -= size_t(n);
    }
}

// The offset of local time from UTC, taken when the handlers are installed: a signal handler
// cannot call localtime().
long g_utcOffsetSeconds = 0;

void putDigits(char *&out, long long value, int width)
{
    for (int i = width - 1; i >= 0; --i, value /= 10)
        out[i] = char('0' + value % 10);
    out += width;
}

// The log's own line prefix ("2026/03/01 14:05:09:042  "), made with arithmetic only.
void writeTimestamp(int fd)
{
    struct timespec now = {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const long long local = now.tv_sec + g_utcOffsetSeconds;
    long long days = local / 86400, seconds = local % 86400;
    if (seconds < 0) {
        seconds += 86400;
        --days;
    }
    // Civil date from days since 1970-01-01 (proleptic Gregorian calendar).
    const long long z = days + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const long long day = doy - (153 * mp + 2) / 5 + 1;
    const long long month = mp < 10 ? mp + 3 : mp - 9;
    const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char text[32];
    char *out = text;
    putDigits(out, year, 4);
    *out++ = '/';
    putDigits(out, month, 2);
    *out++ = '/';
    putDigits(out, day, 2);
    *out++ = ' ';
    putDigits(out, seconds / 3600, 2);
    *out++ = ':';
    putDigits(out, seconds / 60 % 60, 2);
    *out++ = ':';
    putDigits(out, seconds % 60, 2);
    *out++ = ':';
    putDigits(out, now.tv_nsec / 1000000, 3);
    *out++ = ' ';
    *out++ = ' ';
    *out = '\0';
    writeAll(fd, text);
}

// Async-signal-safe: only write(2), open(2), clock_gettime(2) and backtrace_symbols_fd (whose
// library was loaded at installation).
void onCrashSignal(int sig)
{
    if (!g_crashing.exchange(true)) {
        char head[96] = "CRASH: signal ";
        char number[12];
        int n = sig, i = 0;
        do {
            number[i++] = char('0' + n % 10);
            n /= 10;
        } while (n > 0 && i < 11);
        size_t at = std::strlen(head);
        while (i > 0)
            head[at++] = number[--i];
        head[at] = '\0';
        const char *name = sig == SIGSEGV ? " (SIGSEGV)" : sig == SIGABRT ? " (SIGABRT)" : sig == SIGBUS ? " (SIGBUS)"
            : sig == SIGFPE ? " (SIGFPE)" : sig == SIGILL ? " (SIGILL)" : "";
        void *frames[64];
        const int count = ::backtrace(frames, 64);
        const int logFd = LGFileLogger::openCrashLogFile();
        writeAll(2, head);
        writeAll(2, name);
        writeAll(2, "\nStack Trace:\n");
        ::backtrace_symbols_fd(frames, count, 2);
        // In the log file every line carries its time, as the lines before it do.
        if (logFd >= 0) {
            writeTimestamp(logFd);
            writeAll(logFd, head);
            writeAll(logFd, name);
            writeAll(logFd, "\n");
            writeTimestamp(logFd);
            writeAll(logFd, "Stack Trace:\n");
            for (int i = 0; i < count; ++i) {
                writeTimestamp(logFd);
                ::backtrace_symbols_fd(frames + i, 1, logFd);
            }
        }
        if (logFd >= 0)
            ::close(logFd);
    }
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

void onUncaughtException()
{
    g_crashing = true; // the abort below is not a second crash
    QString what = QStringLiteral("unknown exception");
    try {
        if (auto e = std::current_exception())
            std::rethrow_exception(e);
    } catch (const std::exception &e) {
        what = QString::fromLocal8Bit(e.what());
    } catch (...) {
    }
    try {
        if (g_beforeException)
            g_beforeException();
        void *frames[64];
        const int count = ::backtrace(frames, 64);
        QStringList stack;
        if (char **symbols = ::backtrace_symbols(frames, count)) {
            for (int i = 0; i < count; ++i)
                stack << QString::fromLocal8Bit(symbols[i]);
            std::free(symbols);
        }
        // Error lines are written synchronously, to the log file and to standard error; a
        // frame a line, so that each has its time in the file.
        LGLogError(QStringLiteral("CRASH: %1").arg(what));
        LGLogError(QStringLiteral("Stack Trace:"));
        for (const QString &frame : std::as_const(stack))
            LGLogError(frame);
        LGLog::flushLog();
    } catch (...) {
    }
    ::signal(SIGABRT, SIG_DFL);
    std::abort();
}
} // namespace

void UnixSignals::installCrashHandlers(std::function<void()> beforeException)
{
    g_beforeException = std::move(beforeException);
    if (g_crashHandlersInstalled)
        return;
    g_crashHandlersInstalled = true;
    // backtrace() loads its unwinder on first use, which a signal handler must not do.
    void *warm[1];
    ::backtrace(warm, 1);
    const time_t now = ::time(nullptr);
    struct tm local = {};
    if (::localtime_r(&now, &local))
        g_utcOffsetSeconds = local.tm_gmtoff;
    std::set_terminate(onUncaughtException);
    struct sigaction sa = {};
    sa.sa_handler = onCrashSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND | SA_NODEFER;
    for (int sig : {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL})
        ::sigaction(sig, &sa, nullptr);
}

#include "app/platform/SingleInstance.h"

#include "core/LGLog.h"
#include "platform/StandardPaths.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QPointer>
#include <QSocketNotifier>
#include <QSysInfo>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace {
constexpr qint64 kHolderExitWaitMs = 8000;
// A request is a word and a sign-in address.
constexpr int kMaxMessageBytes = 64 * 1024;
constexpr int kIdleConnectionMs = 3000;
constexpr int kMaxConnections = 16;
constexpr int kServerWatchMs = 2000;
QString g_nameOverride;
QString g_programOverride;

// What makes this copy the only one (see takeLocks()).
struct HeldLock
{
    int fd = -1;
    QString path;
};
HeldLock g_socketLock;
HeldLock g_profileFolderLock;
HeldLock g_profileFileLock;

// A folder that only this user can enter: a real directory (not a link), owned by us, with no
// rights for group or others. Our own fallback folder is created, and tightened when it is ours.
bool isPrivateFolder(const QString &path, bool createAndTighten)
{
    if (path.isEmpty())
        return false;
    const QByteArray p = QFile::encodeName(path);
    if (createAndTighten && ::mkdir(p.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st = {};
    if (::lstat(p.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
        return false;
    if ((st.st_mode & 077) != 0) {
        if (!createAndTighten || ::chmod(p.constData(), 0700) != 0)
            return false;
    }
    return true;
}

// Unix socket addresses are short; a folder whose socket path would not fit is of no use.
bool fitsSocketPath(const QString &folder)
{
    return QFile::encodeName(folder).size() + 32 < qsizetype(sizeof(sockaddr_un::sun_path));
}

bool peerIsThisUser(int fd, pid_t *pid = nullptr)
{
    struct ucred cred = {};
    socklen_t length = sizeof(cred);
    if (fd < 0 || ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0 || length != sizeof(cred))
        return false;
    if (pid)
        *pid = cred.pid;
    return cred.uid == ::getuid();
}

QString executableOf(pid_t pid)
{
    QString target = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));
    // An updated bundle replaces the file a running copy was started from.
    if (target.endsWith(QLatin1String(" (deleted)")))
        target.chop(10);
    return target;
}

// The process runs under this user and from an executable of the same name as ours.
bool isCopyOfThisProgram(pid_t pid)
{
    struct stat st = {};
    const QByteArray proc = QFile::encodeName(QStringLiteral("/proc/%1").arg(pid));
    if (::stat(proc.constData(), &st) != 0 || st.st_uid != ::getuid())
        return false;
    const QString theirs = executableOf(pid);
    const QString ours = g_programOverride.isEmpty() ? QFileInfo(executableOf(::getpid())).fileName() : g_programOverride;
    return !theirs.isEmpty() && QFileInfo(theirs).fileName() == ours;
}

// A process that ended but was not reaped yet still answers kill(pid, 0).
bool isAlive(pid_t pid)
{
    if (::kill(pid, 0) != 0)
        return false;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close < 0 || line.mid(close + 2, 1) != "Z";
}

void release(HeldLock &lock)
{
    if (lock.fd >= 0)
        ::close(lock.fd);
    lock = {};
}

enum class Claim { Taken, Held, Unavailable };

// An exclusive flock, kept open. A lock file is opened for writing: NFS emulates flock with a
// byte-range lock, which needs that, and drops it as soon as the process closes any descriptor
// of the file; so nothing here opens a lock file this process holds.
Claim claim(HeldLock &lock, const QString &path, bool folder)
{
    if (lock.fd >= 0 && lock.path == path)
        return Claim::Taken;
    const QByteArray p = QFile::encodeName(path);
    const int fd = folder ? ::open(p.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                          : ::open(p.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return Claim::Unavailable;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        ::close(fd);
        return held ? Claim::Held : Claim::Unavailable;
    }
    release(lock);
    lock = {fd, path};
    return Claim::Taken;
}

void unlock()
{
    release(g_socketLock);
    release(g_profileFolderLock);
    release(g_profileFileLock);
}

// The profile (the settings, and the catalogue that goes with them) is the same for every launch
// on it, whatever runtime folder each launch was given: its settings folder is where copies meet.
// A test's socket name stands for a profile of its own.
QString profileFolder()
{
    return g_nameOverride.isEmpty() ? QFileInfo(StandardPaths::userDefaultsFile()).absolutePath() : QString();
}

QString profileLockFile()
{
    return g_nameOverride.isEmpty() ? StandardPaths::userDefaultsFile() + QStringLiteral(".lock") : QString();
}

// This copy's claim: the profile's settings folder itself (a read-only folder still counts), the
// lock file in it (which NFS clients share, where a folder's lock stays on one machine), and the
// lock beside the socket, which is all that copies of earlier builds take. A profile lock that
// cannot be had at all is passed over; one that another process holds loses the claim.
bool takeLocks(const QString &socketLock)
{
    const QString folder = profileFolder();
    bool ok = true;
    if (!folder.isEmpty()) {
        QDir().mkpath(folder);
        const Claim onFolder = claim(g_profileFolderLock, folder, true);
        const Claim onFile = onFolder == Claim::Held ? Claim::Held : claim(g_profileFileLock, profileLockFile(), false);
        ok = onFolder != Claim::Held && onFile != Claim::Held;
        static bool told = false;
        if (ok && onFolder == Claim::Unavailable && onFile == Claim::Unavailable && !std::exchange(told, true))
            LGLogError(QStringLiteral("SINGLE: Cannot lock the profile in %1; copies started with other runtime folders are not seen").arg(folder));
    }
    ok = ok && claim(g_socketLock, socketLock, false) == Claim::Taken;
    if (!ok)
        unlock();
    return ok;
}

// Whether some other process holds a lock of this copy's claim now (without keeping it).
bool locksAreHeld(const QString &socketLock)
{
    if (g_socketLock.fd >= 0 && g_socketLock.path == socketLock)
        return false; // held by us
    if (!takeLocks(socketLock))
        return true;
    unlock();
    return false;
}

// The lock file also says where its holder listens, so that a launch given another runtime
// folder (or none) still reaches it: the machine, then the socket's path.
void recordSocket(const QString &name)
{
    if (g_profileFileLock.fd < 0)
        return;
    const QByteArray record = QSysInfo::machineHostName().toUtf8() + '\n' + QFile::encodeName(name) + '\n';
    // Written before it is cut to length: a reader never meets an empty record in between.
    if (::pwrite(g_profileFileLock.fd, record.constData(), size_t(record.size()), 0) != record.size()
        || ::ftruncate(g_profileFileLock.fd, record.size()) != 0)
        LGLogError(QStringLiteral("SINGLE: Cannot note the socket in %1: %2").arg(g_profileFileLock.path, QString::fromLocal8Bit(std::strerror(errno))));
}

// The socket the copy on this profile recorded ("" when none, or it runs on another machine that
// shares the home folder, where its socket cannot be reached).
QString recordedSocket()
{
    const QString path = profileLockFile();
    if (path.isEmpty() || g_profileFileLock.fd >= 0)
        return {};
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return {};
    struct stat st = {};
    char buffer[4096];
    const bool ours = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::getuid();
    const ssize_t size = ours ? ::read(fd, buffer, sizeof(buffer)) : -1;
    ::close(fd);
    const QList<QByteArray> lines = QByteArray(buffer, std::max<ssize_t>(size, 0)).split('\n');
    if (lines.size() < 2 || QString::fromUtf8(lines.at(0)) != QSysInfo::machineHostName())
        return {};
    const QString socket = QFile::decodeName(lines.at(1));
    return QDir::isAbsolutePath(socket) ? socket : QString();
}

// Where a running copy of this profile may listen: where it said, then where this launch would
// (a copy of an earlier build, or one that has not said yet).
QStringList runningCopySockets()
{
    QStringList names{recordedSocket(), SingleInstance::serverName()};
    names.removeAll(QString());
    names.removeDuplicates();
    return names;
}

QByteArray readLine(QLocalSocket &socket, int timeoutMs)
{
    QByteArray buffer;
    while (!buffer.contains('\n')) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(timeoutMs))
            break;
        buffer += socket.readAll();
    }
    return buffer.trimmed();
}

// Sends one request line to the running copy and returns the answer, but only from a peer of
// this user id.
QByteArray roundTrip(const QByteArray &request, int timeoutMs, pid_t *peerPid = nullptr)
{
    QLocalSocket socket;
    QString name;
    for (const QString &candidate : runningCopySockets()) {
        socket.abort(); // a connection still pending to the last candidate would swallow this one
        socket.connectToServer(candidate);
        if (socket.waitForConnected(timeoutMs)) {
            name = candidate;
            break;
        }
    }
    if (name.isEmpty())
        return {};
    if (!peerIsThisUser(int(socket.socketDescriptor()), peerPid)) {
        LGLogError(QStringLiteral("SINGLE: The socket %1 is served by another user; ignoring it").arg(name));
        return {};
    }
    socket.write(request + '\n');
    if (!socket.waitForBytesWritten(timeoutMs))
        return {};
    return readLine(socket, timeoutMs);
}

bool answers(const QString &name)
{
    QLocalSocket socket;
    socket.connectToServer(name);
    return socket.waitForConnected(500);
}

bool runningCopyAnswers()
{
    const QStringList names = runningCopySockets();
    return std::any_of(names.begin(), names.end(), answers);
}
} // namespace

SingleInstance::SingleInstance(QObject *parent) : QObject(parent) {}

SingleInstance *SingleInstance::instance()
{
    static QPointer<SingleInstance> s;
    if (!s)
        s = new SingleInstance(QCoreApplication::instance());
    return s;
}

QString SingleInstance::runtimeFolder()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (fitsSocketPath(runtime) && isPrivateFolder(runtime, false))
        return QDir(runtime).absolutePath();
    const QString tmp = QDir::tempPath() + QStringLiteral("/hoistly-%1").arg(::getuid());
    if (fitsSocketPath(tmp) && isPrivateFolder(tmp, true))
        return tmp;
    const QString state = StandardPaths::logsFolder() + QStringLiteral("/run");
    QDir().mkpath(QFileInfo(state).absolutePath());
    if (fitsSocketPath(state) && isPrivateFolder(state, true))
        return state;
    return {};
}

QString SingleInstance::serverNameForConfig(const QString &settingsFile)
{
    const QString folder = runtimeFolder();
    if (folder.isEmpty())
        return {};
    const QByteArray hash = QCryptographicHash::hash(settingsFile.toUtf8(), QCryptographicHash::Md5).toHex().left(10);
    return folder + QStringLiteral("/hoistly-%1").arg(QString::fromLatin1(hash));
}

QString SingleInstance::lockPathFor(const QString &serverName)
{
    return serverName.isEmpty() ? QString() : serverName + QStringLiteral(".lock");
}

QString SingleInstance::serverName()
{
    if (!g_nameOverride.isEmpty())
        return g_nameOverride;
    return serverNameForConfig(StandardPaths::userDefaultsFile());
}

void SingleInstance::setServerNameForTesting(const QString &path) { g_nameOverride = path; }
void SingleInstance::setProgramNameForTesting(const QString &name) { g_programOverride = name; }

bool SingleInstance::forwardUrl(const QString &url, int timeoutMs)
{
    if (url.contains(QLatin1Char('\n')))
        return false;
    return roundTrip("URL " + url.toUtf8(), timeoutMs) == "OK";
}

int SingleInstance::endOtherCopies(const std::function<void(double)> &sleeper)
{
    const QString name = serverName();
    const QString lock = lockPathFor(name);
    if (name.isEmpty())
        return 0;
    // A free lock proves nothing: a cleaner of the runtime folder may have deleted the lock file
    // of a copy that runs on. Whoever answers on the socket is asked.
    pid_t peer = 0;
    const QByteArray reply = roundTrip("QUIT", 2000, &peer);
    if (!reply.startsWith("PID "))
        return 0; // nobody, busy or still starting: it keeps running, and this copy will not take over
    bool ok = false;
    const qint64 pid = reply.mid(4).toLongLong(&ok);
    if (!ok || pid <= 1 || pid == ::getpid() || pid != qint64(peer)) {
        LGLogError(QStringLiteral("SINGLE: Ignoring a quit answer that names another process (%1)").arg(QString::fromLatin1(reply)));
        return 0;
    }
    sleeper(0.5);
    if (isAlive(pid_t(pid))) {
        if (!isCopyOfThisProgram(pid_t(pid))) {
            LGLogError(QStringLiteral("SINGLE: Process %1 is not a copy of this program; not ending it").arg(pid));
            return 0;
        }
        ::kill(pid_t(pid), SIGKILL);
    }
    // The lock goes with the process that held it; without a lock file only its end tells.
    QElapsedTimer waited;
    waited.start();
    while ((locksAreHeld(lock) || isAlive(pid_t(pid))) && waited.elapsed() < 5000)
        QThread::msleep(20);
    return 1;
}

namespace {
bool waitUntilGone(pid_t pid, qint64 ms)
{
    QElapsedTimer waited;
    waited.start();
    while (isAlive(pid) && waited.elapsed() < ms)
        QThread::msleep(20);
    return !isAlive(pid);
}
} // namespace

bool SingleInstance::endOtherCopiesAndHoldLock()
{
    const QString name = serverName();
    const QString lock = lockPathFor(name);
    if (name.isEmpty())
        return true; // no private folder: no copy could listen or lock either
    if (g_socketLock.fd >= 0 && g_socketLock.path == lock)
        return true; // the running copy resets itself
    // The peer's credentials come with the connection, so a copy that accepts but never answers
    // (stopped, or its main thread stuck) is still known by its process id.
    pid_t peer = 0;
    const QByteArray reply = roundTrip("QUIT", 2000, &peer);
    if (peer > 1 && peer != ::getpid() && isAlive(peer)) {
        const bool answered = reply == "PID " + QByteArray::number(qint64(peer));
        if (answered)
            waitUntilGone(peer, 3000);
        if (isAlive(peer)) {
            if (!isCopyOfThisProgram(peer)) {
                LGLogError(QStringLiteral("SINGLE: Process %1 serves the socket but is not a copy of this program").arg(peer));
                return false;
            }
            if (!answered) {
                LGLogInfo(QStringLiteral("SINGLE: Copy %1 does not answer; ending it").arg(peer));
                ::kill(peer, SIGTERM); // a stopped copy keeps it pending; the kill below ends it
                waitUntilGone(peer, 3000);
            }
            if (isAlive(peer)) {
                ::kill(peer, SIGKILL);
                waitUntilGone(peer, 5000);
            }
        }
    }
    // The lock goes with the process that held it.
    QElapsedTimer waited;
    waited.start();
    while (!takeLocks(lock)) {
        if (waited.elapsed() > 5000) {
            LGLogError(QStringLiteral("SINGLE: Another copy still holds %1").arg(lock));
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

bool SingleInstance::listen()
{
    if (isListening())
        return true;
    const QString name = serverName();
    if (name.isEmpty()) {
        LGLogError(QStringLiteral("SINGLE: No private folder for the single-copy socket"));
        return false;
    }
    // A holder that no longer answers is on its way out (a relaunch after a log-out, a reset or
    // an update starts us while it ends): its lock goes with it within the forced-quit time. One
    // that answers is alive, busy or just started, and stays the only copy.
    QElapsedTimer waited;
    waited.start();
    while (!takeLocks(lockPathFor(name))) {
        if (runningCopyAnswers())
            return false;
        if (waited.elapsed() > kHolderExitWaitMs) {
            LGLogError(QStringLiteral("SINGLE: Another copy runs on this profile and cannot be reached; quitting"));
            return false;
        }
        QThread::msleep(50);
    }
    if (!bindAndListen(name)) {
        unlock();
        return false;
    }
    recordSocket(name);
    watchServer();
    return true;
}

// bind() never replaces a path that exists (Qt's listen() renames its socket over it): a live
// socket, even one of a copy whose lock file is gone or of another user, stays where it is.
// Under the lock, a socket file that nobody answers on is left over from a copy that died.
// The socket is served here rather than by QLocalServer, which stops for good when an accept
// fails and, when closed, deletes whatever socket file stands at its path by then.
bool SingleInstance::bindAndListen(const QString &name)
{
    const QByteArray path = QFile::encodeName(name);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= qsizetype(sizeof(address.sun_path)))
        return false;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        LGLogError(QStringLiteral("SINGLE: No socket for %1: %2").arg(name, QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    const auto bindTo = [&] { return ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0; };
    bool bound = bindTo();
    if (!bound && errno == EADDRINUSE) {
        if (answers(name)) {
            LGLogError(QStringLiteral("SINGLE: %1 still answers; leaving it alone").arg(name));
            ::close(fd);
            return false;
        }
        ::unlink(path.constData());
        bound = bindTo();
    }
    struct stat st = {};
    if (!bound || ::chmod(path.constData(), 0600) != 0 || ::listen(fd, kMaxConnections) != 0
        || ::stat(path.constData(), &st) != 0) {
        LGLogError(QStringLiteral("SINGLE: Cannot listen on %1: %2").arg(name, QString::fromLocal8Bit(std::strerror(errno))));
        ::close(fd);
        return false;
    }
    m_listenFd = fd;
    m_socketDevice = quint64(st.st_dev);
    m_socketInode = quint64(st.st_ino);
    m_notifier = new QSocketNotifier(qintptr(fd), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SingleInstance::onNewConnection);
    return true;
}

bool SingleInstance::socketFileIsOurs(const QString &name) const
{
    struct stat st = {};
    return m_listenFd >= 0 && ::lstat(QFile::encodeName(name).constData(), &st) == 0 && S_ISSOCK(st.st_mode)
        && quint64(st.st_dev) == m_socketDevice && quint64(st.st_ino) == m_socketInode;
}

void SingleInstance::stopServer(const QString &name)
{
    delete m_notifier;
    m_notifier = nullptr;
    // Only our own socket file goes: one that stands there now may be another copy's.
    if (socketFileIsOurs(name))
        ::unlink(QFile::encodeName(name).constData());
    if (m_listenFd >= 0)
        ::close(m_listenFd);
    m_listenFd = -1;
}

// A cleaner of the runtime folder may delete the socket file: the copy would run on alone,
// unreachable for the next launch, a sign-in hand-over or an update's quit. It listens again;
// when another copy took the path meanwhile, that one is the copy that stays.
void SingleInstance::watchServer()
{
    if (!m_watch) {
        m_watch = new QTimer(this);
        m_watch->setInterval(kServerWatchMs);
        connect(m_watch, &QTimer::timeout, this, [this] {
            const QString name = serverName();
            if (g_socketLock.fd < 0 || socketFileIsOurs(name))
                return;
            stopServer(name);
            if (answers(name)) {
                LGLogError(QStringLiteral("SINGLE: Another copy listens on %1 now; quitting").arg(name));
                m_watch->stop();
                if (onQuitRequested)
                    onQuitRequested();
                return;
            }
            LGLogError(QStringLiteral("SINGLE: The single-copy socket %1 is gone; listening again").arg(name));
            if (bindAndListen(name))
                LGLogInfo(QStringLiteral("SINGLE: Listening again on %1").arg(name));
        });
    }
    m_watch->start();
}

bool SingleInstance::isListening() const { return m_listenFd >= 0; }

void SingleInstance::close()
{
    if (m_watch)
        m_watch->stop();
    stopServer(serverName());
    // Closed at the end of the termination path, after the last settings were written: the
    // next copy (a relaunch) may start now.
    unlock();
}

namespace {
// A requester that gave up (it waited for an answer that did not come) has closed its end; its
// request is stale by now and must not end this copy.
bool requesterStillWaits(QLocalSocket *socket)
{
    const int fd = int(socket->socketDescriptor());
    if (fd < 0)
        return false;
    char c = 0;
    const ssize_t n = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    return n != 0; // 0: orderly shutdown by the peer
}
} // namespace

void SingleInstance::onNewConnection()
{
    // A bounded batch per turn of the event loop: a flood of connections cannot hold the main
    // thread, and the rest wait in the queue.
    for (int batch = 0; batch < 4 * kMaxConnections && m_listenFd >= 0; ++batch) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: connections stay queued until some are free again.
                LGLogError(QStringLiteral("SINGLE: Cannot accept a connection: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
                m_notifier->setEnabled(false);
                QPointer<QSocketNotifier> notifier(m_notifier);
                QTimer::singleShot(1000, this, [notifier] {
                    if (notifier)
                        notifier->setEnabled(true);
                });
            }
            return;
        }
        // Requests are one short line sent at once; a peer that sends more, sends nothing or
        // holds many connections open is dropped, so that no local process can fill this
        // copy's memory or use up its descriptors.
        if (m_connections >= kMaxConnections || !peerIsThisUser(fd)) {
            ::close(fd);
            continue;
        }
        auto *socket = new QLocalSocket(this);
        if (!socket->setSocketDescriptor(qintptr(fd))) {
            ::close(fd);
            delete socket;
            continue;
        }
        ++m_connections;
        connect(socket, &QObject::destroyed, this, [this] { --m_connections; });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        socket->setReadBufferSize(kMaxMessageBytes);
        QTimer::singleShot(kIdleConnectionMs, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() >= kMaxMessageBytes) {
                    socket->abort();
                    socket->deleteLater();
                }
                return;
            }
            const QByteArray line = socket->readLine().trimmed();
            if (line == "QUIT") {
                if (!requesterStillWaits(socket)) {
                    socket->disconnectFromServer();
                    return;
                }
                socket->write("PID " + QByteArray::number(qint64(::getpid())) + '\n');
                socket->flush();
                QPointer<SingleInstance> self(this);
                QTimer::singleShot(0, this, [self] {
                    if (self && self->onQuitRequested)
                        self->onQuitRequested();
                });
            } else if (line.startsWith("URL ")) {
                const QString url = QString::fromUtf8(line.mid(4));
                socket->write("OK\n");
                socket->flush();
                QPointer<SingleInstance> self(this);
                QTimer::singleShot(0, this, [self, url] {
                    if (self && self->onUrl)
                        self->onUrl(url);
                });
            } else if (line == "STATUS") {
                socket->write("STATUS " + (statusHeadline ? statusHeadline().toUtf8() : QByteArray()) + '\n');
            } else {
                socket->write("ERR\n");
            }
            socket->disconnectFromServer();
        });
    }
}

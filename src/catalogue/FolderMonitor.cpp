#include "catalogue/FolderMonitor.h"

#include "core/LGLog.h"

#include <QFile>
#include <QSocketNotifier>
#include <cerrno>
#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>

namespace {
constexpr uint32_t kMask = IN_CREATE | IN_DELETE | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB
    | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
}

FolderMonitor *FolderMonitor::instance()
{
    static FolderMonitor *monitor = new FolderMonitor;
    return monitor;
}

FolderMonitor::FolderMonitor()
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(kCollectionMs);
    connect(&m_timer, &QTimer::timeout, this, &FolderMonitor::deliver);
}

FolderMonitor::~FolderMonitor()
{
    stopAll();
}

bool FolderMonitor::watchFolder(const QString &path)
{
    if (m_wdByPath.contains(path))
        return true;
    if (m_fd < 0) {
        m_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_fd < 0) {
            LGLogError(QStringLiteral("MONITOR: Cannot watch folders: %1").arg(QString::fromLocal8Bit(strerror(errno))));
            return false;
        }
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &FolderMonitor::readEvents);
    }
    const int wd = inotify_add_watch(m_fd, QFile::encodeName(path).constData(), kMask);
    if (wd < 0) {
        if ((errno == ENOSPC || errno == ENOMEM) && !m_reportedLimit) {
            m_reportedLimit = true;
            LGLogError(QStringLiteral("MONITOR: The system's limit of watched folders is reached (%1 watched); "
                                      "later changes are found by the next rescan").arg(m_wdByPath.size()));
        }
        return false;
    }
    // inotify hands back the same descriptor for a folder reached by two paths.
    if (const QString old = m_pathByWd.value(wd); !old.isEmpty())
        m_wdByPath.remove(old);
    m_pathByWd.insert(wd, path);
    m_wdByPath.insert(path, wd);
    return true;
}

void FolderMonitor::unwatchTree(const QString &root)
{
    const QString prefix = root + QLatin1Char('/');
    const QList<QString> paths = m_wdByPath.keys();
    for (const QString &path : paths) {
        if (path != root && !path.startsWith(prefix))
            continue;
        const int wd = m_wdByPath.take(path);
        m_pathByWd.remove(wd);
        if (m_fd >= 0)
            inotify_rm_watch(m_fd, wd);
    }
}

void FolderMonitor::stopAll()
{
    m_timer.stop();
    m_pending.clear();
    delete m_notifier;
    m_notifier = nullptr;
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_pathByWd.clear();
    m_wdByPath.clear();
}

void FolderMonitor::note(const QString &folder)
{
    m_pending.insert(folder);
    if (!m_timer.isActive())
        m_timer.start(); // collect for a fixed time from the first event, not from the last
}

void FolderMonitor::readEvents()
{
    alignas(struct inotify_event) char buf[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(m_fd, buf, sizeof buf);
        if (n <= 0)
            break;
        for (char *p = buf; p < buf + n;) {
            const auto *ev = reinterpret_cast<const struct inotify_event *>(p);
            p += sizeof(struct inotify_event) + ev->len;
            if (ev->mask & IN_Q_OVERFLOW) {
                LGLogInfo(QStringLiteral("MONITOR: Event queue overflowed; rescanning every watched folder"));
                for (auto it = m_wdByPath.cbegin(); it != m_wdByPath.cend(); ++it)
                    note(it.key());
                continue;
            }
            const QString folder = m_pathByWd.value(ev->wd);
            if (folder.isEmpty())
                continue;
            if (ev->mask & IN_IGNORED) {
                m_pathByWd.remove(ev->wd);
                m_wdByPath.remove(folder);
                continue;
            }
            if (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
                // The folder itself went: its parent's listing tells what happened. A watched
                // source has no parent in the catalogue: its own failed listing tells it.
                const qsizetype slash = folder.lastIndexOf(QLatin1Char('/'));
                const QString parent = slash > 0 ? folder.left(slash) : folder;
                note(parent);
                if (!m_wdByPath.contains(parent))
                    note(folder);
                continue;
            }
            if ((ev->mask & (IN_ATTRIB | IN_ISDIR)) == (IN_ATTRIB | IN_ISDIR) && ev->len > 0) {
                // A subfolder's permissions changed. One that could not be read has no watch of its
                // own (a listing that works sets it) and a chmod leaves every date as it was, so
                // only this tells that it may be readable now.
                const QString child = folder + QLatin1Char('/') + QFile::decodeName(ev->name);
                if (!m_wdByPath.contains(child))
                    note(child);
            }
            note(folder);
        }
    }
}

void FolderMonitor::deliver()
{
    if (m_pending.isEmpty())
        return;
    QStringList folders(m_pending.begin(), m_pending.end());
    folders.sort();
    m_pending.clear();
    LGLogInfo(QStringLiteral("MONITOR: %1 folder(s) changed").arg(folders.size()));
    if (m_handler)
        m_handler(folders);
}

#pragma once
// A file that no process may write until released, as on a read-only folder or disk: its write
// bits go, or, for root (whom write bits do not stop), it is marked immutable.
#include <QFile>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

class ReadOnlyFile
{
public:
    explicit ReadOnlyFile(const QString &path) : m_path(path), m_permissions(QFile::permissions(path)) { m_set = apply(true); }
    ~ReadOnlyFile() { if (m_set) apply(false); }
    bool isSet() const { return m_set; }

private:
    bool apply(bool readOnly)
    {
        if (::geteuid() != 0)
            return QFile::setPermissions(m_path, readOnly ? m_permissions & ~QFile::Permissions(0x2222) : m_permissions);
        const int fd = ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_CLOEXEC);
        int flags = 0;
        bool ok = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags = readOnly ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        if (fd >= 0)
            ::close(fd);
        return ok;
    }

    QString m_path;
    QFile::Permissions m_permissions;
    bool m_set = false;
};

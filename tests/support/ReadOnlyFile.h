#pragma once
// Makes a file read-only for every process, the test's own included, until released: its write
// bits go, or, for root (whom write bits do not stop), it is marked immutable. Opened for
// writing afterwards it is refused, as on a read-only folder or disk.
#include <QFile>
#include <QString>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

class ReadOnlyFile
{
public:
    explicit ReadOnlyFile(const QString &path)
        : m_path(path), m_permissions(QFile::permissions(path))
    {
        m_set = apply(true);
    }
    ~ReadOnlyFile() { release(); }
    ReadOnlyFile(const ReadOnlyFile &) = delete;
    ReadOnlyFile &operator=(const ReadOnlyFile &) = delete;

    bool isSet() const { return m_set; }
    void release()
    {
        if (m_set)
            apply(false);
        m_set = false;
    }

private:
    bool apply(bool readOnly)
    {
        if (::geteuid() != 0)
            return QFile::setPermissions(m_path, readOnly ? m_permissions & ~(QFile::WriteOwner | QFile::WriteUser | QFile::WriteGroup | QFile::WriteOther)
                                                          : m_permissions);
        const int fd = ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        int flags = 0;
        bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (ok) {
            flags = readOnly ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
            ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        ::close(fd);
        return ok;
    }

    QString m_path;
    QFile::Permissions m_permissions;
    bool m_set = false;
};

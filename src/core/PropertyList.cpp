#include "PropertyList.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QScopeGuard>
#include <QTimeZone>
#include <QVariantList>
#include <QVariantMap>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/LGLog.h"

namespace {

// Property-list dates count seconds from 2001-01-01 00:00:00 UTC.
const qint64 kPlistEpochOffset = 978307200;
const int kMaxDepth = 256;

// A string or key that holds a NUL cannot be read through libplist's C-string accessors (they
// assert), and cannot be meant by any writer of our files: the whole list is refused.
struct ReadState
{
    bool holdsNul = false;
};

// The key's text, or a null string when it holds a NUL. libplist offers no length for keys, but
// its XML writer copies a key's full buffer, so a NUL in that output can only come from the key.
QString keyText(plist_t keyNode, ReadState &state)
{
    if (!keyNode || plist_get_node_type(keyNode) != PLIST_KEY) {
        state.holdsNul = true; // not a well-formed dictionary entry
        return {};
    }
    char *xml = nullptr;
    uint32_t xmlLength = 0;
    plist_to_xml(keyNode, &xml, &xmlLength);
    const bool nul = xml && std::memchr(xml, 0, xmlLength) != nullptr;
    plist_to_xml_free(xml);
    if (nul) {
        state.holdsNul = true;
        return {};
    }
    char *key = nullptr;
    plist_get_key_val(keyNode, &key);
    QString text = QString::fromUtf8(key ? key : "");
    std::free(key);
    return text;
}

QVariant toVariant(plist_t node, int depth, ReadState &state)
{
    if (!node || depth > kMaxDepth || state.holdsNul)
        return {};
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return bool(b);
    }
    case PLIST_UINT: {
        uint64_t u = 0;
        plist_get_uint_val(node, &u);
        // libplist keeps negative integers as their two's complement in the unsigned value.
        return qint64(u);
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return d;
    }
    case PLIST_STRING: {
        uint64_t length = 0;
        const char *s = plist_get_string_ptr(node, &length);
        if (!s)
            return QString();
        if (std::memchr(s, 0, size_t(length))) {
            state.holdsNul = true;
            return {};
        }
        return QString::fromUtf8(s, qsizetype(length));
    }
    case PLIST_KEY:
        return keyText(node, state);
    case PLIST_DATA: {
        char *d = nullptr;
        uint64_t len = 0;
        plist_get_data_val(node, &d, &len);
        QByteArray bytes(d ? d : "", qsizetype(len));
        std::free(d);
        return bytes;
    }
    case PLIST_DATE: {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        // libplist truncates toward zero and reports the fraction without its sign, so a date
        // before 2001 with a fraction lies below `sec`, not above it.
        const qint64 fractionMs = qAbs(qint64(usec)) / 1000; // INT_MIN has no int magnitude
        const qint64 ms = sec < 0 ? qint64(sec) * 1000 - fractionMs : qint64(sec) * 1000 + fractionMs;
        return QDateTime::fromMSecsSinceEpoch(ms + kPlistEpochOffset * 1000, QTimeZone::utc());
    }
    case PLIST_ARRAY: {
        QVariantList list;
        const uint32_t n = plist_array_get_size(node);
        for (uint32_t i = 0; i < n; ++i)
            list.append(toVariant(plist_array_get_item(node, i), depth + 1, state));
        return list;
    }
    case PLIST_DICT: {
        QVariantMap map;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        while (it && !state.holdsNul) {
            // The key is fetched from its node: asking the iterator for it would assert on a NUL.
            plist_t value = nullptr;
            plist_dict_next_item(node, it, nullptr, &value);
            if (!value)
                break;
            const QString key = keyText(plist_dict_item_get_key(value), state);
            if (state.holdsNul)
                break;
            map.insert(key, toVariant(value, depth + 1, state));
        }
        std::free(it);
        return map;
    }
    default:
        return {};
    }
}

plist_t fromVariant(const QVariant &v, int depth)
{
    if (depth > kMaxDepth)
        return plist_new_string("");
    switch (v.typeId()) {
    case QMetaType::Bool:
        return plist_new_bool(v.toBool() ? 1 : 0);
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Long:
    case QMetaType::Short:
        return plist_new_uint(uint64_t(v.toLongLong()));
    case QMetaType::Double:
    case QMetaType::Float:
        return plist_new_real(v.toDouble());
    case QMetaType::QByteArray: {
        const QByteArray b = v.toByteArray();
        return plist_new_data(b.constData(), uint64_t(b.size()));
    }
    case QMetaType::QDateTime: {
        const qint64 ms = v.toDateTime().toMSecsSinceEpoch() - kPlistEpochOffset * 1000;
        if (ms < 0) {
            // Before 2001 libplist's writers truncate toward zero (a second late); whole seconds
            // keep such dates exact.
            const qint64 sec = -((-ms + 999) / 1000);
            return plist_new_date(int32_t(sec), 0);
        }
        return plist_new_date(int32_t(ms / 1000), int32_t((ms % 1000) * 1000));
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        plist_t arr = plist_new_array();
        for (const QVariant &item : v.toList())
            plist_array_append_item(arr, fromVariant(item, depth + 1));
        return arr;
    }
    case QMetaType::QVariantMap:
    case QMetaType::QVariantHash: {
        plist_t dict = plist_new_dict();
        const QVariantMap map = v.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            plist_dict_set_item(dict, it.key().toUtf8().constData(), fromVariant(it.value(), depth + 1));
        return dict;
    }
    default:
        return plist_new_string(v.toString().toUtf8().constData());
    }
}

} // namespace

QVariant PropertyList::parse(const QByteArray &data, QString *error)
{
    if (error)
        error->clear();
    plist_t root = nullptr;
    if (!data.isEmpty())
        plist_from_memory(data.constData(), uint32_t(data.size()), &root);
    if (!root) {
        if (error)
            *error = QStringLiteral("not a property list");
        return {};
    }
    ReadState state;
    QVariant v = toVariant(root, 0, state);
    plist_free(root);
    if (state.holdsNul) {
        LGLogError(QStringLiteral("PLIST: Refusing a property list whose strings or keys hold a NUL"));
        if (error)
            *error = QStringLiteral("a string or key holds a NUL character");
        return {};
    }
    return v;
}

QByteArray PropertyList::serialize(const QVariant &value, Format format)
{
    plist_t root = fromVariant(value, 0);
    char *out = nullptr;
    uint32_t len = 0;
    if (format == Format::Binary) {
        plist_to_bin(root, &out, &len);
    } else {
        plist_to_xml(root, &out, &len);
    }
    QByteArray bytes(out ? out : "", qsizetype(len));
    if (format == Format::Binary)
        plist_to_bin_free(out);
    else
        plist_to_xml_free(out);
    plist_free(root);
    return bytes;
}

namespace {

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

QString errnoText(int e)
{
    return QString::fromLocal8Bit(std::strerror(e));
}

// An absent entry, or a regular file; with links refused, a link is neither.
bool isAbsentOrRegular(const QByteArray &native, PropertyList::Links links, QString *error)
{
    struct stat st;
    const int r = links == PropertyList::Links::Refuse ? ::lstat(native.constData(), &st) : ::stat(native.constData(), &st);
    if (r != 0 && errno == ENOENT)
        return true;
    if (r != 0) {
        setError(error, errnoText(errno));
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        setError(error, QStringLiteral("a link, not a regular file"));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        setError(error, QStringLiteral("not a regular file"));
        return false;
    }
    return true;
}

bool writeAll(int fd, const QByteArray &bytes)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// A new file beside the path, written and flushed, then renamed over the entry itself: rename
// replaces a directory entry and never writes through a link, so a link put there after the
// check costs at most itself.
bool replaceEntry(const QString &path, const QByteArray &bytes, QString *error)
{
    const QByteArray native = QFile::encodeName(path);
    if (!isAbsentOrRegular(native, PropertyList::Links::Refuse, error))
        return false;
    QByteArray temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temp = native + '.' + QByteArray::number(QRandomGenerator::global()->generate(), 36);
        fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        setError(error, errnoText(errno));
        return false;
    }
    bool ok = writeAll(fd, bytes) && ::fsync(fd) == 0;
    int e = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        e = errno;
    }
    if (ok && !isAbsentOrRegular(native, PropertyList::Links::Refuse, error)) {
        ::unlink(temp.constData());
        return false;
    }
    if (ok && ::rename(temp.constData(), native.constData()) != 0) {
        ok = false;
        e = errno;
    }
    if (!ok) {
        ::unlink(temp.constData());
        setError(error, errnoText(e));
    }
    return ok;
}

} // namespace

bool PropertyList::readFileBytes(const QString &path, QByteArray *bytes, QString *error, Links links)
{
    const QByteArray native = QFile::encodeName(path);
    // Checked before the open too: opening some devices has effects of its own.
    if (!isAbsentOrRegular(native, links, error))
        return false;
    // Not blocking: a FIFO put there meanwhile opens at once, and is refused below.
    const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (links == Links::Refuse ? O_NOFOLLOW : 0);
    const int fd = ::open(native.constData(), flags);
    if (fd < 0) {
        setError(error, errno == ELOOP && links == Links::Refuse ? QStringLiteral("a link, not a regular file") : errnoText(errno));
        return false;
    }
    const auto closeFd = qScopeGuard([fd] { ::close(fd); });
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        setError(error, QStringLiteral("not a regular file"));
        return false;
    }
    // Property lists of settings are small; refuse anything absurd rather than allocate it. The
    // size said may be wrong (a file that grows meanwhile): no more than one byte past the cap
    // is ever read.
    if (st.st_size > kMaxFileSize) {
        setError(error, QStringLiteral("file too large"));
        return false;
    }
    bytes->resize(qsizetype(st.st_size) + 1);
    qsizetype got = 0;
    for (;;) {
        if (got == bytes->size()) {
            if (got > kMaxFileSize) {
                bytes->clear();
                setError(error, QStringLiteral("file too large"));
                return false;
            }
            bytes->resize(qMin<qsizetype>(got * 2 + 4096, kMaxFileSize + 1));
        }
        const ssize_t n = ::read(fd, bytes->data() + got, size_t(bytes->size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            bytes->clear();
            setError(error, errnoText(errno));
            return false;
        }
        if (n == 0)
            break;
        got += n;
    }
    bytes->truncate(got);
    return true;
}

QVariant PropertyList::readFile(const QString &path, QString *error, Links links)
{
    QByteArray bytes;
    if (!readFileBytes(path, &bytes, error, links))
        return {};
    return parse(bytes, error);
}

bool PropertyList::writeFile(const QString &path, const QVariant &value, QString *error, Format format, Links links)
{
    if (links == Links::Refuse)
        return replaceEntry(path, serialize(value, format), error);
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly)) {
        if (error)
            *error = f.errorString();
        return false;
    }
    f.write(serialize(value, format));
    if (!f.commit()) {
        if (error)
            *error = f.errorString();
        return false;
    }
    return true;
}

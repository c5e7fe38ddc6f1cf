#pragma once
// Records by path, without a second copy of any path: the set holds the records themselves and
// hashes and compares their own UTF-8 paths. A look-up stands its probe in for a record through
// a tagged pointer (the low bits of an aligned address are free). The unused top
// bits of each address carry a few bits of the path's hash, so a probe that meets another path's
// record is turned away without reading the record.
#include "catalogue/FileData.h"

#include <QByteArrayView>
#include <QSet>

class RecordPathIndex
{
public:
    FileData *value(QByteArrayView path) const
    {
        const auto it = m_set.constFind(Key::probe(&path));
        return it == m_set.cend() ? nullptr : it->record();
    }
    bool contains(QByteArrayView path) const { return value(path) != nullptr; }
    // Replaces any record already kept under the same path.
    void insert(FileData *record)
    {
        const Key key = Key::of(record);
        if (const auto it = m_set.constFind(key); it != m_set.cend())
            m_set.erase(it);
        m_set.insert(key);
    }
    void remove(QByteArrayView path) { m_set.remove(Key::probe(&path)); }
    void clear() { m_set.clear(); }
    qsizetype size() const { return m_set.size(); }

private:
    struct Key
    {
        static constexpr int kTagShift = 48;
        static constexpr quintptr kProbe = 1, kTagged = 2;
        static constexpr quintptr kAddressMask = (quintptr(1) << kTagShift) - 1;
        quintptr bits;

        static quintptr tagOf(QByteArrayView path) { return quintptr(qHash(path, 0x9e3779b9) & 0xffff) << kTagShift; }
        // An address that needs the top bits goes untagged and is always compared in full.
        static Key make(quintptr address, quintptr kind, QByteArrayView path)
        {
            if (address & ~kAddressMask)
                return Key{address | kind};
            return Key{address | kind | kTagged | tagOf(path)};
        }
        static Key of(FileData *record) { return make(quintptr(record), 0, record->pathUtf8()); }
        static Key probe(const QByteArrayView *path) { return make(quintptr(path), kProbe, *path); }

        bool tagged() const { return bits & kTagged; }
        quintptr address() const { return (tagged() ? bits & kAddressMask : bits) & ~(kProbe | kTagged); }
        FileData *record() const { return reinterpret_cast<FileData *>(address()); }
        QByteArrayView path() const
        {
            if (bits & kProbe)
                return *reinterpret_cast<const QByteArrayView *>(address());
            return record()->pathUtf8();
        }
        friend bool operator==(const Key &a, const Key &b)
        {
            if (a.tagged() && b.tagged() && (a.bits >> kTagShift) != (b.bits >> kTagShift))
                return false;
            return a.path() == b.path();
        }
        friend size_t qHash(const Key &k, size_t seed) { return qHash(k.path(), seed); }
    };
    static_assert(sizeof(quintptr) == 8, "the tag lives in the top 16 bits of a 64-bit address");
    static_assert(alignof(FileData) >= 4 && alignof(QByteArrayView) >= 4, "the two low bits of an address are free");
    QSet<Key> m_set;
};

#pragma once
// Records by a key they carry themselves (their id, their path), without a second copy of any
// key: the set holds the records and hashes and compares their own keys. A look-up stands its
// probe in for a record through a tagged pointer (the low bits of an aligned address are free),
// and the unused top bits of each address carry a few bits of the key, so a probe that meets
// another key's record is turned away without reading the record.
#include "catalogue/FileData.h"

#include <QByteArrayView>
#include <QSet>

template <typename Traits>
class RecordIndex
{
    struct Entry;

public:
    using Key = typename Traits::Key;

    FileData *value(Key key) const
    {
        const auto it = m_set.constFind(Entry::probe(&key));
        return it == m_set.cend() ? nullptr : it->record();
    }
    bool contains(Key key) const { return value(key) != nullptr; }
    // Replaces any record already kept under the same key.
    void insert(FileData *record)
    {
        const Entry entry = Entry::of(record);
        if (const auto it = m_set.constFind(entry); it != m_set.cend())
            m_set.erase(it);
        m_set.insert(entry);
    }
    void remove(Key key) { m_set.remove(Entry::probe(&key)); }
    void clear() { m_set.clear(); }
    qsizetype size() const { return m_set.size(); }
    // Records held before the index grows again.
    qsizetype capacity() const { return m_set.capacity(); }
    void reserve(qsizetype records) { m_set.reserve(records); }

    // Iterates the records, in no particular order.
    class const_iterator
    {
    public:
        using iterator_category = std::forward_iterator_tag;
        using difference_type = qptrdiff;
        using value_type = FileData *;
        using pointer = FileData *const *;
        using reference = FileData *;
        const_iterator() = default;
        explicit const_iterator(typename QSet<Entry>::const_iterator it) : m_it(it) {}
        FileData *operator*() const { return m_it->record(); }
        const_iterator &operator++()
        {
            ++m_it;
            return *this;
        }
        const_iterator operator++(int)
        {
            const_iterator old = *this;
            ++m_it;
            return old;
        }
        bool operator==(const const_iterator &o) const { return m_it == o.m_it; }
        bool operator!=(const const_iterator &o) const { return m_it != o.m_it; }

    private:
        typename QSet<Entry>::const_iterator m_it;
    };
    const_iterator begin() const { return const_iterator(m_set.cbegin()); }
    const_iterator end() const { return const_iterator(m_set.cend()); }
    QList<FileData *> values() const { return QList<FileData *>(begin(), end()); }

private:
    struct Entry
    {
        static constexpr int kTagShift = 48;
        static constexpr quintptr kProbe = 1, kTagged = 2;
        static constexpr quintptr kAddressMask = (quintptr(1) << kTagShift) - 1;
        quintptr bits;

        // An address that needs the top bits goes untagged and is always compared in full.
        static Entry make(quintptr address, quintptr kind, Key key)
        {
            if (address & ~kAddressMask)
                return Entry{address | kind};
            return Entry{address | kind | kTagged | (quintptr(Traits::tag(key) & 0xffff) << kTagShift)};
        }
        static Entry of(FileData *record) { return make(quintptr(record), 0, Traits::keyOf(record)); }
        static Entry probe(const Key *key) { return make(quintptr(key), kProbe, *key); }

        bool tagged() const { return bits & kTagged; }
        quintptr address() const { return (tagged() ? bits & kAddressMask : bits) & ~(kProbe | kTagged); }
        FileData *record() const { return reinterpret_cast<FileData *>(address()); }
        Key key() const
        {
            if (bits & kProbe)
                return *reinterpret_cast<const Key *>(address());
            return Traits::keyOf(record());
        }
        friend bool operator==(const Entry &a, const Entry &b)
        {
            if (a.tagged() && b.tagged() && (a.bits >> kTagShift) != (b.bits >> kTagShift))
                return false;
            return a.key() == b.key();
        }
        friend size_t qHash(const Entry &e, size_t seed) { return qHash(e.key(), seed); }
    };
    static_assert(sizeof(quintptr) == 8, "the tag lives in the top 16 bits of a 64-bit address");
    static_assert(alignof(FileData) >= 4 && alignof(Key) >= 4, "the two low bits of an address are free");
    QSet<Entry> m_set;
};

// By UTF-8 path; the tag is a hash of the path that is independent of the set's own.
struct RecordPathKey
{
    using Key = QByteArrayView;
    static Key keyOf(const FileData *r) { return r->pathUtf8(); }
    static size_t tag(Key k) { return qHash(k, 0x9e3779b9); }
};

// By id; ids are handed out in sequence, so their low bits tell neighbours apart.
struct RecordIdKey
{
    using Key = qint64;
    static Key keyOf(const FileData *r) { return r->fileID(); }
    static size_t tag(Key k) { return size_t(k); }
};

using RecordPathIndex = RecordIndex<RecordPathKey>;
using RecordIdIndex = RecordIndex<RecordIdKey>;

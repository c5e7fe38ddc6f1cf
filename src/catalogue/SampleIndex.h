#pragma once
// Values by content sample for a whole library: one sorted block of samples with their values
// beside them (no allocation per entry, and given back whole when dropped), plus the few values
// added after it was built, kept apart so the block is never moved for one of them. A look-up
// answers the block's values in the order they were given, then those added later.
#include "catalogue/ContentSample.h"

#include <QHash>
#include <QList>
#include <algorithm>
#include <numeric>
#include <utility>
#include <vector>

template <typename Value>
class SampleIndex
{
public:
    void build(const std::vector<std::pair<ContentSample, Value>> &entries)
    {
        // Samples are digests, spread evenly: the top 16 bits of the first half place each entry
        // in one of 65,536 buckets of a few entries, each then sorted on its own (equal samples
        // in the order given). A comparison sort of a whole library's samples took several
        // times as long, once per upload run.
        struct Item
        {
            quint64 key; // the first half, its sign bit flipped so that the order is signed
            qint64 second;
            quint32 at;
            Value value; // carried along: fetched by position at the end, it missed the cache each time
        };
        constexpr int kBucketBits = 16;
        const size_t n = entries.size();
        const auto keyOf = [](const ContentSample &sample) { return quint64(sample.sample1) ^ (quint64(1) << 63); };
        std::vector<quint32> starts((size_t(1) << kBucketBits) + 1, 0);
        for (const auto &e : entries)
            ++starts[(keyOf(e.first) >> (64 - kBucketBits)) + 1];
        std::partial_sum(starts.begin(), starts.end(), starts.begin());
        std::vector<Item> items(n);
        {
            std::vector<quint32> next(starts.begin(), starts.end() - 1);
            for (size_t i = 0; i < n; ++i) {
                const quint64 key = keyOf(entries[i].first);
                items[next[key >> (64 - kBucketBits)]++] = {key, entries[i].first.sample2, quint32(i), entries[i].second};
            }
        }
        for (size_t b = 0; b + 1 < starts.size(); ++b) {
            if (starts[b + 1] - starts[b] > 1)
                std::sort(items.begin() + starts[b], items.begin() + starts[b + 1], [](const Item &x, const Item &y) {
                    return x.key != y.key ? x.key < y.key : x.second != y.second ? x.second < y.second : x.at < y.at;
                });
        }
        std::vector<ContentSample> samples;
        std::vector<Value> values;
        samples.reserve(n);
        values.reserve(n);
        for (const Item &it : items) {
            samples.push_back({qint64(it.key ^ (quint64(1) << 63)), it.second});
            values.push_back(it.value);
        }
        m_samples.swap(samples);
        m_values.swap(values);
        m_added.clear();
    }
    void add(const ContentSample &sample, const Value &value) { m_added[sample].append(value); }
    QList<Value> values(const ContentSample &sample) const
    {
        QList<Value> out;
        const auto [lo, hi] = std::equal_range(m_samples.cbegin(), m_samples.cend(), sample, less);
        for (auto it = lo; it != hi; ++it)
            out.append(m_values[size_t(it - m_samples.cbegin())]);
        out.append(m_added.value(sample));
        return out;
    }
    void clear()
    {
        m_samples = {};
        m_values = {};
        m_added.clear();
    }

private:
    static bool less(const ContentSample &a, const ContentSample &b)
    {
        return a.sample1 != b.sample1 ? a.sample1 < b.sample1 : a.sample2 < b.sample2;
    }
    std::vector<ContentSample> m_samples;
    std::vector<Value> m_values;
    QHash<ContentSample, QList<Value>> m_added;
};

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
        std::vector<size_t> order(entries.size());
        std::iota(order.begin(), order.end(), size_t(0));
        std::stable_sort(order.begin(), order.end(),
                         [&entries](size_t a, size_t b) { return less(entries[a].first, entries[b].first); });
        std::vector<ContentSample> samples;
        std::vector<Value> values;
        samples.reserve(entries.size());
        values.reserve(entries.size());
        for (size_t i : order) {
            samples.push_back(entries[i].first);
            values.push_back(entries[i].second);
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

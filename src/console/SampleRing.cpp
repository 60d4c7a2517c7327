#include "console/SampleRing.h"

#include <algorithm>

namespace vyt {

SampleRing::SampleRing(int capacity) : m_samples(size_t(std::max(1, capacity)))
{
}

void SampleRing::push(const LiveSample &sample)
{
    m_samples[size_t(m_head)] = sample;
    m_head = (m_head + 1) % capacity();
    m_size = std::min(m_size + 1, capacity());
}

void SampleRing::clear()
{
    m_head = 0;
    m_size = 0;
}

const LiveSample &SampleRing::at(int i) const
{
    const int oldest = (m_head - m_size + capacity()) % capacity();
    return m_samples[size_t((oldest + i) % capacity())];
}

int SampleRing::firstAtOrAfter(qint64 ms) const
{
    // Samples come in time order, so a binary search over the ring's order.
    int lo = 0;
    int hi = m_size;
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        if (at(mid).ms < ms)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

} // namespace vyt

#pragma once
// The live values of the last minutes, oldest dropped first: a fixed ring, so a plot
// that stays open all day neither grows nor reallocates.
#include <QtGlobal>
#include <vector>

namespace vyt {

struct LiveSample {
    qint64 ms = 0; // the program's clock
    qint32 rpm = 0;
    qint32 mA = 0;
};

class SampleRing {
public:
    explicit SampleRing(int capacity);

    void push(const LiveSample &sample);
    void clear();
    [[nodiscard]] int size() const { return m_size; }
    [[nodiscard]] int capacity() const { return int(m_samples.size()); }
    [[nodiscard]] bool isEmpty() const { return m_size == 0; }
    // i = 0 is the oldest sample kept.
    [[nodiscard]] const LiveSample &at(int i) const;
    [[nodiscard]] const LiveSample &newest() const { return at(m_size - 1); }
    // The index of the first sample at or after ms (size() when there is none).
    [[nodiscard]] int firstAtOrAfter(qint64 ms) const;

private:
    std::vector<LiveSample> m_samples;
    int m_head = 0; // where the next sample goes
    int m_size = 0;
};

} // namespace vyt

#include "sila/SilaState.h"

namespace vyt {

namespace {
// How often a waiting stream looks whether its client is still there.
constexpr std::chrono::milliseconds kLookAgain{250};
} // namespace

void SilaState::setObserved(const ObservedValues &values)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (values == m_observed)
            return;
        m_observed = values;
        ++m_observedVersion;
    }
    m_changed.notify_all();
}

void SilaState::addExecution(const std::string &uuid, const Execution &execution)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_executions[uuid] = execution;
        m_order.push_back(uuid);
        while (m_order.size() > kKeptExecutions) {
            const auto oldest = m_executions.find(m_order.front());
            if (oldest != m_executions.end() && !oldest->second.finished())
                break; // a running one stays; it is at most one
            if (oldest != m_executions.end())
                m_executions.erase(oldest);
            m_order.pop_front();
        }
    }
    m_changed.notify_all();
}

bool SilaState::updateExecution(const std::string &uuid,
                                const std::function<void(Execution &)> &change)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_executions.find(uuid);
        if (it == m_executions.end())
            return false;
        change(it->second);
        ++it->second.version;
    }
    m_changed.notify_all();
    return true;
}

std::optional<Execution> SilaState::execution(const std::string &uuid) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_executions.find(uuid);
    if (it == m_executions.end())
        return std::nullopt;
    return it->second;
}

std::optional<quint64> SilaState::waitObserved(quint64 seen, const std::function<bool()> &goOn,
                                               ObservedValues *values)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_observedVersion == seen) {
        if (!goOn())
            return std::nullopt;
        m_changed.wait_for(lock, kLookAgain);
    }
    *values = m_observed;
    return m_observedVersion;
}

std::optional<quint64> SilaState::waitExecution(const std::string &uuid, quint64 seen,
                                                const std::function<bool()> &goOn, Execution *now)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        const auto it = m_executions.find(uuid);
        if (it == m_executions.end())
            return std::nullopt;
        if (it->second.version + 1 != seen) { // +1: 0 means nothing seen yet
            *now = it->second;
            return it->second.version + 1;
        }
        if (!goOn())
            return std::nullopt;
        m_changed.wait_for(lock, kLookAgain);
    }
}

} // namespace vyt

#pragma once
// One read sequence of the console at a time (Read Status, the parameter reads, EEPSAV).
#include <QPointer>

namespace vyt {

// Raises the flag for its lifetime and clears it when the handler leaves, unless the
// window has gone meanwhile.
template <typename Owner> class LeseSperre {
public:
    LeseSperre(Owner *owner, bool &flag) : m_owner(owner), m_flag(flag) { m_flag = true; }
    ~LeseSperre()
    {
        if (m_owner)
            m_flag = false;
    }
    LeseSperre(const LeseSperre &) = delete;
    LeseSperre &operator=(const LeseSperre &) = delete;

private:
    QPointer<Owner> m_owner;
    bool &m_flag;
};

} // namespace vyt

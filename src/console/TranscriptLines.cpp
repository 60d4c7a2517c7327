#include "console/TranscriptLines.h"

namespace vyt {

void TranscriptLines::append(const QString &line)
{
    m_lines.append(line);
    if (m_lines.size() > kMaxLines)
        m_lines.remove(0, m_lines.size() - kMaxLines);
}

} // namespace vyt

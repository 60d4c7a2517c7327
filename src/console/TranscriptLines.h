#pragma once
// The console's transcript as text lines, kept by the main window while the program runs,
// so that a console opened again shows what the one before it sent and received.
#include <QString>
#include <QStringList>

namespace vyt {

class TranscriptLines {
public:
    // The newest lines kept; older ones go, so that a long session does not fill memory.
    // A line is at most a few kilobytes (the reply and unsolicited limits).
    static constexpr qsizetype kMaxLines = 5000;

    void append(const QString &line);
    void clear() { m_lines.clear(); }
    [[nodiscard]] const QStringList &lines() const { return m_lines; }
    // The lines joined by line feeds, none after the last.
    [[nodiscard]] QString text() const { return m_lines.join(QLatin1Char('\n')); }

private:
    QStringList m_lines;
};

} // namespace vyt

#pragma once
// Texts from files, the controller or clients are shown as they are: a backup's pump
// type "<b>x</b>" must read "<b>x</b>", never as bold or as a designed line.
#include <QString>

class QLabel;

namespace vyt {

// The label shows every text it is given as plain text; returns the label.
QLabel *showsPlainText(QLabel *label);

// A tool tip that shows text literally (a tool tip takes anything with tags for rich text).
[[nodiscard]] QString plainToolTip(const QString &text);

} // namespace vyt

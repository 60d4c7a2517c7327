#pragma once
// File choosers as a seam: windows hold one of these, tests put in their own answer, so
// that no test ever opens a real file dialog.
#include <QString>
#include <functional>

class QWidget;

namespace vyt {

// Answers the chosen file, or an empty string when the operator cancelled.
using FileChooser = std::function<QString(QWidget *parent, const QString &caption,
                                          const QString &suggestion, const QString &filter)>;

[[nodiscard]] FileChooser saveFileChooser(); // QFileDialog::getSaveFileName
[[nodiscard]] FileChooser openFileChooser(); // QFileDialog::getOpenFileName

} // namespace vyt

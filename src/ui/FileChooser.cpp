#include "ui/FileChooser.h"

#include <QFileDialog>

namespace vyt {

FileChooser saveFileChooser()
{
    return [](QWidget *parent, const QString &caption, const QString &suggestion,
              const QString &filter) {
        return QFileDialog::getSaveFileName(parent, caption, suggestion, filter);
    };
}

FileChooser openFileChooser()
{
    return [](QWidget *parent, const QString &caption, const QString &suggestion,
              const QString &filter) {
        return QFileDialog::getOpenFileName(parent, caption, suggestion, filter);
    };
}

} // namespace vyt

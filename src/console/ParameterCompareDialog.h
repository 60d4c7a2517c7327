#pragma once
// The drive limits side by side: the controller's values first, then any others (a
// backup file, the console's boxes, the main window); a value that differs from the
// controller's is highlighted.
#include "console/DriveParameters.h"

#include <QColor>
#include <QDialog>
#include <QList>

class QTableWidget;

namespace vyt {

struct ParameterColumn {
    QString title;
    DriveValues values;
};

class ParameterCompareDialog : public QDialog {
    Q_OBJECT
public:
    static inline const QColor kDifference{255, 210, 160};

    // columns[0] is the reference the others are compared with.
    ParameterCompareDialog(const QString &title, const QString &note,
                           const QList<ParameterColumn> &columns, QWidget *parent = nullptr);

    [[nodiscard]] int differences() const { return m_differences; }

private:
    void fill(const QList<ParameterColumn> &columns);

    QTableWidget *m_table = nullptr;
    int m_differences = 0;
};

} // namespace vyt

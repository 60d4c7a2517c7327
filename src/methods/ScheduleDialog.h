#pragma once
// The dialog that schedules a saved method: its first start, how often, until when.
// Not modal: the pump's windows stay usable while it is open.
#include "session/MethodSchedule.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QDateTimeEdit;
class QLabel;
class QSpinBox;

namespace vyt {

class ScheduleDialog : public QDialog {
    Q_OBJECT
public:
    // now: the first start offered is the next full hour after it.
    ScheduleDialog(const QString &file, const QDateTime &now, QWidget *parent = nullptr);

    // The schedule the fields describe (active: the operator asked for it).
    [[nodiscard]] MethodSchedule schedule() const;

signals:
    // OK was pressed with this schedule; the dialog stays open until close() or a refusal
    // has been told.
    void chosen(const vyt::MethodSchedule &schedule);

private:
    QString m_file;
    QDateTimeEdit *m_first = nullptr;
    QSpinBox *m_every = nullptr;
    QComboBox *m_everyUnit = nullptr;
    QSpinBox *m_count = nullptr;
    QCheckBox *m_untilOn = nullptr;
    QDateTimeEdit *m_until = nullptr;
};

} // namespace vyt

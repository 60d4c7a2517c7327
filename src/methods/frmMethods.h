#pragma once
// The methods window: a method's steps edited as a tree (repeats hold their steps), each
// step checked for the pump in use as it is edited, with its estimated time and amount;
// opened and saved as .vytmethod files, run and stopped through the session.
#include "session/Method.h"
#include "ui/FileChooser.h"
#include "ui/HeldKeys.h"

#include <QPointer>
#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QStackedWidget;
class QTreeWidget;
class QTreeWidgetItem;

namespace vyt {

class dlgMethodTrial;

class MethodScheduler;
class ScheduleDialog;
class Session;

class frmMethods : public QWidget {
    Q_OBJECT
public:
    // A window of its own (not modal) even with a parent.
    explicit frmMethods(Session &session, QWidget *parent = nullptr);
    ~frmMethods() override;

    // File dialogs by default; tests put in their own answers.
    FileChooser saveFileName = saveFileChooser();
    FileChooser openFileName = openFileChooser();

    [[nodiscard]] Method method() const;
    void setMethod(const Method &method);
    // Writes the method as its document; false and the reason when the file fails.
    [[nodiscard]] bool saveTo(const QString &file, QString *error) const;
    // Reads a document into the editor; false and the reason (naming the file) when refused.
    [[nodiscard]] bool openFrom(const QString &file, QString *error);

    // The file the method was last opened from or saved in; empty when it has none yet.
    [[nodiscard]] QString fileName() const { return m_file; }
    // The schedule dialog open for it, if any.
    [[nodiscard]] ScheduleDialog *scheduleDialog() const;

    // The path of the selected step ("3.1"); empty when none is.
    [[nodiscard]] QString selectedStep() const;
    void selectStep(const QString &path);
    // Adds a step of that kind after the selected one (at the end when none is).
    void addStep(MethodStep::Kind kind);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QPushButton *button(const char *name, const QString &text);
    QLineEdit *numberField(const char *name);
    QComboBox *unitList(const char *name, const QStringList &units);
    void buildWindow();
    void rebuildTree();
    void fillItems(QTreeWidgetItem *parent, const QList<MethodStep> &steps, const QString &prefix);
    void showSelected();
    void storeFields();
    void recheck();
    void updateButtons();
    void removeStep();
    void moveStep(int by);
    void indentStep();
    void outdentStep();
    void open();
    void save();
    void run();
    void onStarted();
    void schedule();
    void fillSchedules();
    void updateScheduleButtons();
    [[nodiscard]] int selectedSchedule() const;
    void actOnSchedule(bool (MethodScheduler::*act)(int, QString *));
    void onFinished(bool completed, const QString &why);
    [[nodiscard]] QList<int> selectedIndices() const;
    [[nodiscard]] MethodStep *stepAt(const QList<int> &indices);
    [[nodiscard]] QList<MethodStep> *siblingsOf(const QList<int> &indices);
    void select(const QList<int> &indices);

    Session &m_session;
    Method m_method; // the document being edited; the tree shows it
    bool m_filling = false; // the program fills the tree or the fields
    QString m_refusedStep;

    QLineEdit *m_name = nullptr;
    QTreeWidget *m_steps = nullptr;
    QComboBox *m_addKind = nullptr;
    QStackedWidget *m_pages = nullptr;
    QLineEdit *m_quantity = nullptr, *m_repetitions = nullptr, *m_pause = nullptr;
    QComboBox *m_quantityUnit = nullptr, *m_pauseUnit = nullptr;
    QCheckBox *m_endlessDoses = nullptr;
    QLineEdit *m_rate = nullptr, *m_duration = nullptr;
    QComboBox *m_rateUnit = nullptr, *m_durationUnit = nullptr;
    QCheckBox *m_endlessFlow = nullptr;
    QLineEdit *m_wait = nullptr;
    QComboBox *m_waitUnit = nullptr;
    QLineEdit *m_promptText = nullptr;
    dlgMethodTrial *m_trialWindow = nullptr;
    QSpinBox *m_count = nullptr;
    QLabel *m_check = nullptr, *m_total = nullptr, *m_status = nullptr;
    QList<QWidget *> m_editing; // read-only while the method runs
    QPushButton *m_run = nullptr, *m_stop = nullptr;
    QString m_file;
    QTreeWidget *m_schedules = nullptr;
    QPushButton *m_resumeSchedule = nullptr, *m_pauseSchedule = nullptr, *m_removeSchedule = nullptr;
    QPointer<ScheduleDialog> m_scheduleDialog;
    HeldKeys m_heldKeys;
};

} // namespace vyt

#pragma once
// Binds the eleven entry fields of the main window to their rules (config/FieldRules.h):
// each is checked when it loses the focus; an accepted entry goes into PumpSettings at
// once, a rejected one is reported, the field shows the stored value again and takes
// the focus back.
#include "config/FieldRules.h"
#include "config/PumpState.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <optional>

class QLineEdit;
class QWidget;

namespace vyt {

class FieldValidation : public QObject {
    Q_OBJECT
public:
    using Refusal = FieldRefusal;

    // Finds the eleven line edits by objectName below form and validates each on focus loss.
    // Fields missing from the form are left out.
    FieldValidation(PumpState &state, QWidget *form, QObject *parent = nullptr);
    ~FieldValidation() override;

    // Validates the focused field if it is one of the eleven; false when it was rejected.
    // Also false right after the focus loss caused by the same click rejected that field
    // (a mouse click on Start takes the focus before Start's handler runs).
    [[nodiscard]] bool validateFocused();
    // The focused field, then every field whose text differs from its stored value: without
    // a window manager a field may have been left without a focus-out. False at the first
    // refusal.
    [[nodiscard]] bool validateChanged();
    // Validates one field now (false when rejected, or when a rejection is on screen).
    bool validate(QLineEdit *field);
    // On the way out: every entry the operator typed is stored when accepted; a refused
    // one is told with its message and the last accepted value stays. Values the operator
    // did not touch stay as they were loaded, inside the bounds or not.
    void settleForLeaving();
    [[nodiscard]] bool busy() const; // a rejection message is on screen

    // Before the drive limits can reach the controller: a stored limit outside the pump
    // type's bounds (a damaged store) is refused as a typed one would be, with the
    // field's own message and the focus in the field. False when one was refused.
    [[nodiscard]] bool checkStoredDriveLimits();

    // The line edits found, in table order (for tests and the main window).
    [[nodiscard]] QList<QLineEdit *> fields() const;

    // The first entry Start would refuse now: a field whose text differs from its stored
    // value and would not be accepted, or a stored drive limit outside its bounds.
    [[nodiscard]] std::optional<Refusal> pendingRefusal() const;
    // The first field whose text the operator has changed from its accepted value, valid
    // or not (objectName).
    [[nodiscard]] std::optional<QString> fieldBeingTyped() const;

signals:
    // An entry was accepted and is now in PumpSettings.
    void stored(QLineEdit *field);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Entry {
        QString name; // the field's objectName, which names its rule
        QPointer<QLineEdit> field;
    };

    [[nodiscard]] const Entry *entryFor(const QObject *field) const;
    bool check(const Entry &entry, bool fromFocusLoss);
    void store(const QString &name, QLineEdit *field);
    void reject(const QString &name, QLineEdit *field);

    PumpState &m_state;
    QPointer<QWidget> m_form;
    QList<Entry> m_entries;
    bool m_busy = false;
    // The field whose rejection on focus loss has not yet been answered by a key press,
    // a click into it or a later validation.
    QPointer<QLineEdit> m_unansweredRejection;
};

} // namespace vyt

#include "main/FieldBinder.h"

#include "ui/MessageBox.h"

#include <QEvent>
#include <QFocusEvent>
#include <QLineEdit>
#include <QScopedValueRollback>
#include <QWidget>

namespace vyt {

FieldValidation::FieldValidation(PumpState &state, QWidget *form, QObject *parent)
    : QObject(parent), m_state(state), m_form(form)
{
    if (!form)
        return;
    for (const QString &name : entryFieldNames()) {
        auto *field = form->findChild<QLineEdit *>(name);
        if (!field)
            continue;
        field->installEventFilter(this);
        m_entries.append(Entry{name, field});
    }
}

FieldValidation::~FieldValidation()
{
    for (const Entry &entry : std::as_const(m_entries)) {
        if (entry.field)
            entry.field->removeEventFilter(this);
    }
}

bool FieldValidation::busy() const
{
    return m_busy;
}

QList<QLineEdit *> FieldValidation::fields() const
{
    QList<QLineEdit *> out;
    for (const Entry &entry : m_entries) {
        if (entry.field)
            out << entry.field.data();
    }
    return out;
}

std::optional<FieldValidation::Refusal> FieldValidation::pendingRefusal() const
{
    for (const Entry &entry : m_entries) {
        if (!entry.field)
            continue;
        if (auto refusal = pendingFieldRefusal(m_state, entry.name, entry.field->text()))
            return refusal;
    }
    return std::nullopt;
}

bool FieldValidation::checkStoredDriveLimits()
{
    if (m_busy)
        return false;
    for (const Entry &entry : std::as_const(m_entries)) {
        if (isDriveLimitField(entry.name) && entry.field &&
            !driveLimitInBounds(m_state, entry.name)) {
            reject(entry.name, entry.field);
            return false;
        }
    }
    return driveLimitsInBounds(m_state);
}

bool FieldValidation::validateFocused()
{
    if (m_busy)
        return false;
    QWidget *focused = m_form ? m_form->window()->focusWidget() : nullptr;
    if (m_unansweredRejection) {
        // The click that brought us here took the focus first and its focus loss was
        // rejected: that rejection is the answer, with no second message.
        const bool sameField = m_unansweredRejection.data() == focused;
        m_unansweredRejection.clear();
        if (sameField)
            return false;
    }
    const Entry *entry = entryFor(focused);
    return entry ? check(*entry, false) : true;
}

bool FieldValidation::validateChanged()
{
    if (!validateFocused())
        return false;
    for (const Entry &entry : std::as_const(m_entries)) {
        if (entry.field && entry.field->text() != storedFieldText(m_state, entry.name) &&
            !check(entry, false))
            return false;
    }
    return true;
}

bool FieldValidation::validate(QLineEdit *field)
{
    const Entry *entry = entryFor(field);
    if (!entry)
        return true;
    if (m_busy)
        return false;
    return check(*entry, false);
}

std::optional<QString> FieldValidation::fieldBeingTyped() const
{
    for (const Entry &entry : m_entries) {
        if (entry.field && typedByOperator(m_state, entry.name, entry.field->text()))
            return entry.name;
    }
    return std::nullopt;
}

void FieldValidation::settleForLeaving()
{
    if (m_busy)
        return;
    const QScopedValueRollback<bool> guard(m_busy, true);
    for (const Entry &entry : std::as_const(m_entries)) {
        if (!entry.field || !typedByOperator(m_state, entry.name, entry.field->text()))
            continue;
        if (!fieldRefusal(m_state, entry.name, entry.field->text()))
            store(entry.name, entry.field);
        else
            showMessage(entry.field->window(), fieldMessage(m_state, entry.name),
                        m_state.FehlerTitel, MsgButtons::Ok, MsgIcon::Exclamation);
    }
}

bool FieldValidation::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::FocusOut: {
        const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
        // Another window coming to the front (a message box, a dialog, another program)
        // or the field's own context menu does not leave the field.
        if (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason)
            break;
        // A field being destroyed is no line edit any more.
        if (m_busy || !qobject_cast<QLineEdit *>(watched))
            break;
        if (const Entry *entry = entryFor(watched))
            check(*entry, true);
        break;
    }
    case QEvent::ShortcutOverride:
    case QEvent::KeyPress:
    case QEvent::MouseButtonPress:
        if (watched == m_unansweredRejection.data())
            m_unansweredRejection.clear();
        break;
    default: break;
    }
    return false;
}

const FieldValidation::Entry *FieldValidation::entryFor(const QObject *field) const
{
    if (!field)
        return nullptr;
    for (const Entry &entry : m_entries) {
        if (entry.field.data() == field)
            return &entry;
    }
    return nullptr;
}

bool FieldValidation::check(const Entry &entry, bool fromFocusLoss)
{
    const QString name = entry.name;
    QPointer<QLineEdit> field = entry.field;
    if (!field)
        return true;
    if (m_unansweredRejection == field)
        m_unansweredRejection.clear();
    const QString text = field->text();

    // The endless box empties its field; leaving it so is no entry.
    if (leftEndless(m_state, name, text))
        return true;

    if (!fieldRefusal(m_state, name, text)) {
        store(name, field);
        return true;
    }
    reject(name, field);
    if (fromFocusLoss && field && field->window()->focusWidget() == field)
        m_unansweredRejection = field;
    return false;
}

void FieldValidation::store(const QString &name, QLineEdit *field)
{
    (void)storeField(m_state, name, field->text());
    field->setText(acceptedFieldText(m_state, name));
    emit stored(field);
}

void FieldValidation::reject(const QString &name, QLineEdit *fieldNow)
{
    QPointer<QLineEdit> field = fieldNow;
    // The box takes the focus and gives it back: no other field is checked meanwhile.
    const QScopedValueRollback<bool> guard(m_busy, true);
    showMessage(field->window(), fieldMessage(m_state, name), m_state.FehlerTitel, MsgButtons::Ok,
                MsgIcon::Exclamation);
    if (!field)
        return;
    field->setText(storedFieldText(m_state, name));
    // A field hidden by a mode switch cannot take the focus back.
    if (field->isVisible() && field->isEnabled() && field->focusPolicy() != Qt::NoFocus)
        field->setFocus(Qt::OtherFocusReason);
    // Selected, so that the next entry types over the restored text. A refusal made
    // inside a focus change is followed by the field's own focus-out, which deselects:
    // select again once that has passed.
    field->selectAll();
    QMetaObject::invokeMethod(field.data(), &QLineEdit::selectAll, Qt::QueuedConnection);
}

} // namespace vyt

#include "config/FieldValidation.h"

#include "config/NumberText.h"
#include "config/PumpCatalog.h"
#include "ui/MessageBox.h"

#include <QEvent>
#include <QFocusEvent>
#include <QLineEdit>
#include <QLocale>
#include <QScopedValueRollback>
#include <QWidget>

namespace vyt {

enum class Acceptance {
    Number,      // any number, zero and negatives included
    NotNegative, // 0 or more
    Positive,    // more than 0
    AtLeastOne,  // whole-number rounding is 1 or more
    InRange,     // between the bounds, both included, before any rounding
};

enum class WriteBack { General, Plain, Integer };

// A fixed bound, or one the pump catalog sets in PumpState.
struct Bound {
    float fixed = 0;
    float PumpState::*live = nullptr;

    [[nodiscard]] float in(const PumpState &state) const { return live ? state.*live : fixed; }
};

struct FieldRule {
    const char *name;
    Acceptance acceptance;
    Bound lower;
    Bound upper;
    float PumpSettings::*single; // the stored real, or
    qint32 PumpSettings::*count; // the stored repetitions
    bool whole;                  // a real field holding the entry rounded to a whole number
    bool hasEndless;             // an empty field may stand for "endless"
    WriteBack form;              // after acceptance
    const char *message;         // the whole message, or the text before the lower bound
    const char *joiner;          // between the bounds; null when the message names none
    bool marksChanged;           // the drive limits must be sent again
    float (*typeDefault)(const PumpState &); // a drive limit's value for the type in force
};

namespace {

constexpr Bound fixedBound(float value)
{
    return Bound{value, nullptr};
}
constexpr Bound liveBound(float PumpState::*member)
{
    return Bound{0, member};
}

float defaultMaxSpeed(const PumpState &s)
{
    return pumpType(s.settings.Pumpentyp).maxSpeed;
}
float defaultAcceleration(const PumpState &)
{
    return kDefaultAcceleration;
}
float defaultContCurrent(const PumpState &s)
{
    return pumpType(s.settings.Pumpentyp).contCurrent;
}
float defaultPeakCurrent(const PumpState &s)
{
    return pumpType(s.settings.Pumpentyp).peakCurrent;
}

const char *const kValueFrom = "Please enter a value from ";
const char *const kIntegerBetween = "Please enter an integer number between ";

// clang-format off
const FieldRule kRules[] = {
    // name, acceptance, lower, upper, single, count, whole, hasEndless, form, message, joiner, marksChanged,
    // typeDefault
    {"txtMenge", Acceptance::Number, {}, {}, &PumpSettings::Menge, nullptr, false, false,
     WriteBack::General, "Please enter a real number.", nullptr, false, nullptr},
    {"txtPause", Acceptance::NotNegative, {}, {}, &PumpSettings::Pause, nullptr, false, false,
     WriteBack::Plain, "Please enter a positve real number.", nullptr, false, nullptr},
    {"txtWiederholung", Acceptance::AtLeastOne, {}, {}, nullptr, &PumpSettings::Wiederholung, false, true,
     WriteBack::Integer, "Please enter a positive integer number.", nullptr, false, nullptr},
    {"txtFoerderstrom", Acceptance::Number, {}, {}, &PumpSettings::Foerderstrom, nullptr, false, false,
     WriteBack::General, "Please enter a real number.", nullptr, false, nullptr},
    {"txtDauer", Acceptance::Positive, {}, {}, &PumpSettings::Dauer, nullptr, false, true,
     WriteBack::General, "Please enter a positive real number.", nullptr, false, nullptr},
    {"txtDichte", Acceptance::InRange, fixedBound(0.1f), fixedBound(15), &PumpSettings::Dichte, nullptr,
     false, false, WriteBack::General, kValueFrom, " to ", false, nullptr},
    {"txtKalibrierFaktor", Acceptance::InRange, fixedBound(-10), fixedBound(10), &PumpSettings::Kalibrierfaktor,
     nullptr, false, false, WriteBack::General, kValueFrom, " to ", false, nullptr},
    {"txtMaximaldrehzahl", Acceptance::InRange, liveBound(&PumpState::DrehzahlMin), liveBound(&PumpState::DrehzahlMax),
     &PumpSettings::Maximaldrehzahl, nullptr, true, false, WriteBack::General, kIntegerBetween, " and ", true,
     defaultMaxSpeed},
    {"txtBeschleunigung", Acceptance::InRange, fixedBound(1), fixedBound(2000), &PumpSettings::Beschleunigung,
     nullptr, true, false, WriteBack::General, kValueFrom, " to ", true, defaultAcceleration},
    {"txtDauerstrom", Acceptance::InRange, liveBound(&PumpState::StromMin), liveBound(&PumpState::DauerstromMax),
     &PumpSettings::Dauerstrom, nullptr, true, false, WriteBack::General, kIntegerBetween, " and ", true,
     defaultContCurrent},
    {"txtSpitzenstrom", Acceptance::InRange, liveBound(&PumpState::StromMin), liveBound(&PumpState::SpitzenstromMax),
     &PumpSettings::Spitzenstrom, nullptr, true, false, WriteBack::General, kIntegerBetween, " and ", true,
     defaultPeakCurrent},
};
// clang-format on

bool accepts(const FieldRule &rule, const PumpState &state, const QString &text,
             const QLocale &locale)
{
    if (rule.acceptance == Acceptance::AtLeastOne) {
        const auto n = readShort(text, locale);
        return n && *n >= 1;
    }
    const auto x = readSingle(text, locale);
    if (!x)
        return false;
    switch (rule.acceptance) {
    case Acceptance::Number: return true;
    case Acceptance::NotNegative: return *x >= 0;
    case Acceptance::Positive: return *x > 0;
    case Acceptance::InRange: {
        const float lower = rule.lower.in(state);
        const float upper = rule.upper.in(state);
        if (*x < lower || *x > upper)
            return false;
        if (!rule.whole)
            return true;
        // The catalog's bounds are whole numbers, so the rounding stays inside them;
        // should one ever be fractional, 0.5 against 0.5 must not store 0.
        const auto n = readShort(text, locale);
        return n && *n >= lower && *n <= upper;
    }
    case Acceptance::AtLeastOne: break;
    }
    return false;
}

QString message(const FieldRule &rule, const PumpState &state)
{
    QString text = QString::fromLatin1(rule.message);
    if (rule.joiner) {
        const QLocale locale;
        text += generalForm(rule.lower.in(state), locale) + QLatin1String(rule.joiner) +
                generalForm(rule.upper.in(state), locale) + QLatin1Char('.');
    }
    return text;
}

} // namespace

FieldValidation::FieldValidation(PumpState &state, QWidget *form, QObject *parent)
    : QObject(parent), m_state(state), m_form(form)
{
    if (!form)
        return;
    for (const FieldRule &rule : kRules) {
        auto *field = form->findChild<QLineEdit *>(QLatin1String(rule.name));
        if (!field)
            continue;
        field->installEventFilter(this);
        m_entries.append(Entry{&rule, field});
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

std::optional<FieldValidation::Refusal> FieldValidation::refusal(const QString &fieldName,
                                                                 const QString &text) const
{
    for (const FieldRule &rule : kRules) {
        if (fieldName == QLatin1String(rule.name))
            return accepts(rule, m_state, text, QLocale())
                       ? std::nullopt
                       : std::optional<Refusal>(Refusal{fieldName, message(rule, m_state)});
    }
    return std::nullopt;
}

std::optional<FieldValidation::Refusal> FieldValidation::pendingRefusal() const
{
    for (const Entry &entry : m_entries) {
        if (!entry.field)
            continue;
        const FieldRule &rule = *entry.rule;
        const QString text = entry.field->text();
        const bool untouched = text == storedText(rule) || (text.isEmpty() && endless(rule));
        if (!untouched && !accepts(rule, m_state, text, QLocale()))
            return Refusal{QLatin1String(rule.name), message(rule, m_state)};
        if (rule.marksChanged && !storedInBounds(rule, m_state))
            return Refusal{QLatin1String(rule.name), message(rule, m_state)};
    }
    return std::nullopt;
}

bool FieldValidation::storedInBounds(const FieldRule &rule, const PumpState &state)
{
    const float v = state.settings.*rule.single;
    // Written so that a value that is no number is out of bounds too.
    return v >= rule.lower.in(state) && v <= rule.upper.in(state);
}

bool FieldValidation::driveLimitsInBounds(const PumpState &state)
{
    for (const FieldRule &rule : kRules) {
        if (rule.marksChanged && !storedInBounds(rule, state))
            return false;
    }
    return true;
}

QString FieldValidation::driveLimitRefusal(const PumpState &state, const QString &fieldName,
                                           const QString &text, const QLocale &locale)
{
    for (const FieldRule &rule : kRules) {
        if (rule.marksChanged && fieldName == QLatin1String(rule.name))
            return accepts(rule, state, text, locale) ? QString() : message(rule, state);
    }
    return {};
}

QString FieldValidation::driveLimitMessage(const PumpState &state, const QString &fieldName)
{
    for (const FieldRule &rule : kRules) {
        if (rule.marksChanged && fieldName == QLatin1String(rule.name))
            return message(rule, state);
    }
    return {};
}

bool FieldValidation::checkStoredDriveLimits()
{
    if (m_busy)
        return false;
    for (const Entry &entry : std::as_const(m_entries)) {
        if (entry.rule->marksChanged && entry.field && !storedInBounds(*entry.rule, m_state)) {
            reject(*entry.rule, entry.field);
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
        if (entry.field && entry.field->text() != storedText(*entry.rule) && !check(entry, false))
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

bool FieldValidation::typedByOperator(const FieldRule &rule, const QString &text) const
{
    if (text == storedText(rule) || (text.isEmpty() && endless(rule)))
        return false;
    // A stored limit outside the bounds shows as loaded (storedText offers the type's own).
    const PumpSettings &s = m_state.settings;
    const QString loaded = rule.count ? integerForm(s.*rule.count) : generalForm(s.*rule.single, QLocale());
    return text != loaded;
}

std::optional<QString> FieldValidation::fieldBeingTyped() const
{
    for (const Entry &entry : m_entries) {
        if (entry.field && typedByOperator(*entry.rule, entry.field->text()))
            return QLatin1String(entry.rule->name);
    }
    return std::nullopt;
}

void FieldValidation::settleForLeaving()
{
    if (m_busy)
        return;
    const QScopedValueRollback<bool> guard(m_busy, true);
    for (const Entry &entry : std::as_const(m_entries)) {
        if (!entry.field || !typedByOperator(*entry.rule, entry.field->text()))
            continue;
        if (accepts(*entry.rule, m_state, entry.field->text(), QLocale()))
            store(*entry.rule, entry.field);
        else
            showMessage(entry.field->window(), message(*entry.rule, m_state), m_state.FehlerTitel,
                        MsgButtons::Ok, MsgIcon::Exclamation);
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
    const FieldRule &rule = *entry.rule;
    QPointer<QLineEdit> field = entry.field;
    if (!field)
        return true;
    if (m_unansweredRejection == field)
        m_unansweredRejection.clear();
    const QString text = field->text();

    // The endless box empties its field; leaving it so is no entry.
    if (text.isEmpty() && endless(rule))
        return true;

    if (accepts(rule, m_state, text, QLocale())) {
        store(rule, field);
        return true;
    }
    reject(rule, field);
    if (fromFocusLoss && field && field->window()->focusWidget() == field)
        m_unansweredRejection = field;
    return false;
}

void FieldValidation::storeValue(const FieldRule &rule, const QString &text, PumpState &state)
{
    PumpSettings &s = state.settings;
    if (rule.count)
        s.*rule.count = *readShort(text);
    else // the range test was made on the real value; the whole-number fields keep the rounding
        s.*rule.single = rule.whole ? float(*readShort(text)) : *readSingle(text);
    if (rule.marksChanged)
        state.ParameterGeaendert = true;
}

bool FieldValidation::storeInto(PumpState &state, const QString &fieldName,
                                const QString &text) const
{
    for (const FieldRule &rule : kRules) {
        if (fieldName != QLatin1String(rule.name))
            continue;
        if (!accepts(rule, state, text, QLocale()))
            return false;
        storeValue(rule, text, state);
        return true;
    }
    return false;
}

void FieldValidation::store(const FieldRule &rule, QLineEdit *field)
{
    storeValue(rule, field->text(), m_state);
    const PumpSettings &s = m_state.settings;
    const QLocale locale;
    QString shown;
    if (rule.count)
        shown = integerForm(s.*rule.count);
    else
        shown = rule.form == WriteBack::Plain ? plainForm(s.*rule.single, locale)
                                              : generalForm(s.*rule.single, locale);
    field->setText(shown);
    emit stored(field);
}

void FieldValidation::reject(const FieldRule &rule, QLineEdit *fieldNow)
{
    QPointer<QLineEdit> field = fieldNow;
    // The box takes the focus and gives it back: no other field is checked meanwhile.
    const QScopedValueRollback<bool> guard(m_busy, true);
    showMessage(field->window(), message(rule, m_state), m_state.FehlerTitel, MsgButtons::Ok,
                MsgIcon::Exclamation);
    if (!field)
        return;
    field->setText(storedText(rule));
    // A field hidden by a mode switch cannot take the focus back.
    if (field->isVisible() && field->isEnabled() && field->focusPolicy() != Qt::NoFocus)
        field->setFocus(Qt::OtherFocusReason);
    // Selected, so that the next entry types over the restored text. A refusal made
    // inside a focus change is followed by the field's own focus-out, which deselects:
    // select again once that has passed.
    field->selectAll();
    QMetaObject::invokeMethod(field.data(), &QLineEdit::selectAll, Qt::QueuedConnection);
}

bool FieldValidation::endless(const FieldRule &rule) const
{
    if (!rule.hasEndless)
        return false;
    const PumpSettings &s = m_state.settings;
    return rule.count ? s.*rule.count == kEndlessRepetitions : s.*rule.single == 0;
}

QString FieldValidation::storedText(const FieldRule &rule) const
{
    const PumpSettings &s = m_state.settings;
    // Endless shows as an empty field: "2147483647" or "0" would be refused when left.
    if (endless(rule))
        return QString();
    if (rule.count)
        return integerForm(s.*rule.count);
    // A stored limit outside the bounds (a damaged store) would only be refused again:
    // the type's own value is offered instead, and is stored once it is accepted.
    if (rule.typeDefault && !storedInBounds(rule, m_state))
        return generalForm(rule.typeDefault(m_state), QLocale());
    return generalForm(s.*rule.single, QLocale());
}

} // namespace vyt

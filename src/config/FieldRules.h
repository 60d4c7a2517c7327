#pragma once
// The rules of the main window's eleven entry fields, without widgets: what each field
// accepts, the message it refuses with, what it stores and the text it shows. The
// window's fields, the console's drive boxes and requests from other programs ask here.
#include "config/PumpState.h"

#include <QLocale>
#include <QString>
#include <QStringList>
#include <optional>

namespace vyt {

// An entry a field refuses: the field (objectName) and its own message.
struct FieldRefusal {
    QString field;
    QString message;
};

// What a field makes of a text: the value it would store, or its refusal.
struct FieldReading {
    float value = 0; // a whole-number field's rounding; the repetitions as a whole number
    std::optional<FieldRefusal> refusal;

    [[nodiscard]] bool accepted() const { return !refusal; }
};

// The objectNames of the eleven fields ("txtMenge", ...), in table order.
[[nodiscard]] QStringList entryFieldNames();

// Reads text as the named field does, in locale; nothing for a name that is no entry field.
[[nodiscard]] std::optional<FieldReading> readField(const PumpState &state, const QString &field,
                                                    const QString &text,
                                                    const QLocale &locale = QLocale());
// Whether the named field would refuse text, and with which message.
[[nodiscard]] std::optional<FieldRefusal> fieldRefusal(const PumpState &state,
                                                       const QString &field, const QString &text,
                                                       const QLocale &locale = QLocale());
// Stores an accepted text of the named field into state as the field does (a drive limit
// marks the limits changed). False when refused: nothing is stored.
bool storeField(PumpState &state, const QString &field, const QString &text,
                const QLocale &locale = QLocale());
// The message the named field refuses with, its bounds in the operator's locale.
[[nodiscard]] QString fieldMessage(const PumpState &state, const QString &field);

// The field's text for the stored value: empty for "endless"; a drive limit outside the
// type's bounds (a damaged store) offers the type's own value, which would be accepted.
[[nodiscard]] QString storedFieldText(const PumpState &state, const QString &field);
// The field's text right after an accepted entry, in the field's own form.
[[nodiscard]] QString acceptedFieldText(const PumpState &state, const QString &field);
// An empty field that stands for "endless" now: no entry to check.
[[nodiscard]] bool leftEndless(const PumpState &state, const QString &field, const QString &text);
// Whether text is the operator's: neither the stored value's text nor the value as it
// was loaded (a limit outside its bounds shows the type's own value).
[[nodiscard]] bool typedByOperator(const PumpState &state, const QString &field,
                                   const QString &text);
// What Start would refuse in this field now: a changed text the field does not accept,
// or a stored drive limit outside the type's bounds.
[[nodiscard]] std::optional<FieldRefusal> pendingFieldRefusal(const PumpState &state,
                                                              const QString &field,
                                                              const QString &text);

// The four drive limits ("txtMaximaldrehzahl", ...): what reaches the controller.
[[nodiscard]] bool isDriveLimitField(const QString &field);
// Whether the stored value of the drive limit field lies inside the type's bounds.
[[nodiscard]] bool driveLimitInBounds(const PumpState &state, const QString &field);
// Whether every stored drive limit lies inside the type's bounds.
[[nodiscard]] bool driveLimitsInBounds(const PumpState &state);
// Checks text as the drive field would, read in locale, and stores nothing: empty when
// accepted (or no drive field), else that field's own message.
[[nodiscard]] QString driveLimitRefusal(const PumpState &state, const QString &field,
                                        const QString &text, const QLocale &locale = QLocale());
// The message the drive field gives for an entry it refuses; empty for no drive field.
[[nodiscard]] QString driveLimitMessage(const PumpState &state, const QString &field);

} // namespace vyt

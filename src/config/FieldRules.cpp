#include "config/FieldRules.h"

#include "config/NumberText.h"
#include "config/PumpCatalog.h"

namespace vyt {
namespace {

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

const FieldRule *ruleFor(const QString &field)
{
    for (const FieldRule &rule : kRules) {
        if (field == QLatin1String(rule.name))
            return &rule;
    }
    return nullptr;
}

const FieldRule *driveRuleFor(const QString &field)
{
    const FieldRule *rule = ruleFor(field);
    return rule && rule->marksChanged ? rule : nullptr;
}

bool storedInBounds(const FieldRule &rule, const PumpState &state)
{
    const float v = state.settings.*rule.single;
    // Written so that a value that is no number is out of bounds too.
    return v >= rule.lower.in(state) && v <= rule.upper.in(state);
}

bool endless(const FieldRule &rule, const PumpState &state)
{
    if (!rule.hasEndless)
        return false;
    const PumpSettings &s = state.settings;
    return rule.count ? s.*rule.count == kEndlessRepetitions : s.*rule.single == 0;
}

// Only for a text the rule accepts: the range test was made on the real value; the
// whole-number fields keep the rounding.
float acceptedValue(const FieldRule &rule, const QString &text, const QLocale &locale)
{
    if (rule.count || rule.whole)
        return float(*readShort(text, locale));
    return *readSingle(text, locale);
}

QString storedText(const FieldRule &rule, const PumpState &state)
{
    const PumpSettings &s = state.settings;
    // Endless shows as an empty field: "2147483647" or "0" would be refused when left.
    if (endless(rule, state))
        return QString();
    if (rule.count)
        return integerForm(s.*rule.count);
    // A stored limit outside the bounds (a damaged store) would only be refused again:
    // the type's own value is offered instead, and is stored once it is accepted.
    if (rule.typeDefault && !storedInBounds(rule, state))
        return generalForm(rule.typeDefault(state), QLocale());
    return generalForm(s.*rule.single, QLocale());
}

bool showsStored(const FieldRule &rule, const PumpState &state, const QString &text)
{
    return text == storedText(rule, state) || (text.isEmpty() && endless(rule, state));
}

} // namespace

QStringList entryFieldNames()
{
    QStringList names;
    for (const FieldRule &rule : kRules)
        names << QLatin1String(rule.name);
    return names;
}

std::optional<FieldReading> readField(const PumpState &state, const QString &field,
                                      const QString &text, const QLocale &locale)
{
    const FieldRule *rule = ruleFor(field);
    if (!rule)
        return std::nullopt;
    if (!accepts(*rule, state, text, locale))
        return FieldReading{0, FieldRefusal{field, message(*rule, state)}};
    return FieldReading{acceptedValue(*rule, text, locale), std::nullopt};
}

std::optional<FieldRefusal> fieldRefusal(const PumpState &state, const QString &field,
                                         const QString &text, const QLocale &locale)
{
    const auto reading = readField(state, field, text, locale);
    return reading ? reading->refusal : std::nullopt;
}

bool storeField(PumpState &state, const QString &field, const QString &text,
                const QLocale &locale)
{
    const FieldRule *rule = ruleFor(field);
    const auto reading = readField(state, field, text, locale);
    if (!rule || !reading->accepted())
        return false;
    PumpSettings &s = state.settings;
    if (rule->count)
        s.*rule->count = qint32(reading->value);
    else
        s.*rule->single = reading->value;
    if (rule->marksChanged)
        state.ParameterGeaendert = true;
    return true;
}

QString fieldMessage(const PumpState &state, const QString &field)
{
    const FieldRule *rule = ruleFor(field);
    return rule ? message(*rule, state) : QString();
}

QString storedFieldText(const PumpState &state, const QString &field)
{
    const FieldRule *rule = ruleFor(field);
    return rule ? storedText(*rule, state) : QString();
}

QString acceptedFieldText(const PumpState &state, const QString &field)
{
    const FieldRule *rule = ruleFor(field);
    if (!rule)
        return {};
    const PumpSettings &s = state.settings;
    const QLocale locale;
    if (rule->count)
        return integerForm(s.*rule->count);
    return rule->form == WriteBack::Plain ? plainForm(s.*rule->single, locale)
                                          : generalForm(s.*rule->single, locale);
}

bool leftEndless(const PumpState &state, const QString &field, const QString &text)
{
    const FieldRule *rule = ruleFor(field);
    return rule && text.isEmpty() && endless(*rule, state);
}

bool typedByOperator(const PumpState &state, const QString &field, const QString &text)
{
    const FieldRule *rule = ruleFor(field);
    if (!rule || showsStored(*rule, state, text))
        return false;
    // A stored limit outside the bounds shows as loaded (storedText offers the type's own).
    const PumpSettings &s = state.settings;
    const QString loaded =
        rule->count ? integerForm(s.*rule->count) : generalForm(s.*rule->single, QLocale());
    return text != loaded;
}

std::optional<FieldRefusal> pendingFieldRefusal(const PumpState &state, const QString &field,
                                                const QString &text)
{
    const FieldRule *rule = ruleFor(field);
    if (!rule)
        return std::nullopt;
    if (!showsStored(*rule, state, text) && !accepts(*rule, state, text, QLocale()))
        return FieldRefusal{field, message(*rule, state)};
    if (rule->marksChanged && !storedInBounds(*rule, state))
        return FieldRefusal{field, message(*rule, state)};
    return std::nullopt;
}

bool isDriveLimitField(const QString &field)
{
    return driveRuleFor(field) != nullptr;
}

bool driveLimitInBounds(const PumpState &state, const QString &field)
{
    const FieldRule *rule = driveRuleFor(field);
    return rule && storedInBounds(*rule, state);
}

bool driveLimitsInBounds(const PumpState &state)
{
    for (const FieldRule &rule : kRules) {
        if (rule.marksChanged && !storedInBounds(rule, state))
            return false;
    }
    return true;
}

QString driveLimitRefusal(const PumpState &state, const QString &field, const QString &text,
                          const QLocale &locale)
{
    const FieldRule *rule = driveRuleFor(field);
    if (!rule)
        return {};
    return accepts(*rule, state, text, locale) ? QString() : message(*rule, state);
}

QString driveLimitMessage(const PumpState &state, const QString &field)
{
    const FieldRule *rule = driveRuleFor(field);
    return rule ? message(*rule, state) : QString();
}

} // namespace vyt

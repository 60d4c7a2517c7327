#include "session/Method.h"

#include "config/FieldRules.h"
#include "config/NumberText.h"
#include "config/PumpCatalog.h"
#include "config/Units.h"
#include "session/PumpRun.h"
#include "session/RunOrder.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStandardPaths>
#include <cmath>

namespace vyt {
namespace {

QString tr(const char *text) { return QCoreApplication::translate("Method", text); }

constexpr double kMaxWaitSeconds = 24.0 * 3600.0;
constexpr int kMaxPromptChars = 2000;
constexpr int kMaxNameChars = 200;

const char *const kKindNames[] = {"dose", "flow", "wait", "prompt", "repeat"};

QString quotedList(const QStringList &names)
{
    QStringList q;
    for (const QString &n : names)
        q << QLatin1Char('"') + n + QLatin1Char('"');
    return q.join(QStringLiteral(", "));
}

struct Reader {
    MethodError *error;
    int actions = 0;

    bool fail(const QString &step, const QString &kind, const QString &message)
    {
        if (error)
            *error = MethodError{step, kind, message};
        return false;
    }

    // Only these keys, each present.
    bool exactKeys(const QJsonObject &o, const QStringList &keys, const QString &step,
                   const QString &kind)
    {
        for (auto it = o.begin(); it != o.end(); ++it)
            if (!keys.contains(it.key()))
                return fail(step, kind, tr("Unknown field \"%1\"; the fields are %2.")
                                            .arg(it.key().left(64), quotedList(keys)));
        for (const QString &k : keys)
            if (!o.contains(k))
                return fail(step, kind, tr("\"%1\" is missing.").arg(k));
        return true;
    }

    bool readSteps(const QJsonValue &value, const QString &prefix, int depth, int multiplier,
                   QList<MethodStep> &out)
    {
        const QString where = prefix.isEmpty() ? QString() : prefix;
        if (!value.isArray() || value.toArray().isEmpty())
            return fail(where, prefix.isEmpty() ? QString() : QStringLiteral("repeat"),
                        tr("\"steps\" must be a list of at least one step."));
        const QJsonArray array = value.toArray();
        for (int i = 0; i < array.size(); ++i) {
            const QString step = prefix.isEmpty() ? QString::number(i + 1)
                                                  : prefix + QLatin1Char('.') + QString::number(i + 1);
            MethodStep s;
            if (!readStep(array.at(i), step, depth, multiplier, s))
                return false;
            out << s;
        }
        return true;
    }

    bool readStep(const QJsonValue &value, const QString &step, int depth, int multiplier,
                  MethodStep &s)
    {
        const QJsonObject o = value.toObject();
        if (!value.isObject() || o.size() != 1)
            return fail(step, QString(),
                        tr("A step is an object of one of %1.")
                            .arg(quotedList({"dose", "flow", "wait", "prompt", "repeat"})));
        const QString kind = o.begin().key();
        const QJsonValue body = o.begin().value();
        int k = -1;
        for (int i = 0; i < 5; ++i)
            if (kind == QLatin1String(kKindNames[i]))
                k = i;
        if (k < 0)
            return fail(step, QString(),
                        tr("Unknown step \"%1\"; the steps are %2.")
                            .arg(kind.left(64),
                                 quotedList({"dose", "flow", "wait", "prompt", "repeat"})));
        if (!body.isObject())
            return fail(step, kind, tr("The step's value must be an object."));
        const QJsonObject b = body.toObject();
        s.kind = MethodStep::Kind(k);
        switch (s.kind) {
        case MethodStep::Kind::Dose:
        case MethodStep::Kind::Flow: {
            OrderError e;
            if (!parseOrderObject(b, s.kind == MethodStep::Kind::Dose ? OrderKind::Dose : OrderKind::Flow,
                                  &e))
                return fail(step, kind, e.message);
            s.order = b;
            return countAction(step, kind, multiplier);
        }
        case MethodStep::Kind::Wait: {
            if (!exactKeys(b, {"duration", "duration_unit"}, step, kind))
                return false;
            const QJsonValue d = b.value(QStringLiteral("duration"));
            const QJsonValue u = b.value(QStringLiteral("duration_unit"));
            if (!d.isDouble() || !std::isfinite(d.toDouble()) || d.toDouble() < 0)
                return fail(step, kind, tr("\"duration\" must be a number of 0 or more."));
            if (!u.isString() || !zeitEinheiten().contains(u.toString()))
                return fail(step, kind, tr("\"duration_unit\" must be one of %1.")
                                            .arg(quotedList(zeitEinheiten())));
            s.duration = d.toDouble();
            s.durationUnit = u.toString();
            const auto sec = inSekunden(float(s.duration), zeitEinheiten().indexOf(s.durationUnit));
            if (!sec || double(*sec) > kMaxWaitSeconds)
                return fail(step, kind, tr("A wait is at most 24 h."));
            return countAction(step, kind, multiplier);
        }
        case MethodStep::Kind::Prompt: {
            if (!exactKeys(b, {"text"}, step, kind))
                return false;
            const QJsonValue t = b.value(QStringLiteral("text"));
            if (!t.isString() || t.toString().trimmed().isEmpty())
                return fail(step, kind, tr("\"text\" must be a text the operator can read."));
            if (t.toString().size() > kMaxPromptChars)
                return fail(step, kind, tr("\"text\" is longer than %1 characters.").arg(kMaxPromptChars));
            s.text = t.toString();
            return countAction(step, kind, multiplier);
        }
        case MethodStep::Kind::Repeat: {
            if (!exactKeys(b, {"count", "steps"}, step, kind))
                return false;
            if (depth >= kMaxMethodDepth)
                return fail(step, kind, tr("Repeats are nested at most %1 deep.").arg(kMaxMethodDepth));
            const QJsonValue c = b.value(QStringLiteral("count"));
            const double n = c.toDouble(-1);
            if (!c.isDouble() || n != std::floor(n) || n < 1 || n > kMaxRepeat)
                return fail(step, kind,
                            tr("\"count\" must be a whole number from 1 to %1.").arg(kMaxRepeat));
            s.count = int(n);
            return readSteps(b.value(QStringLiteral("steps")), step, depth + 1, multiplier * s.count,
                             s.steps);
        }
        }
        return false;
    }

    bool countAction(const QString &step, const QString &kind, int multiplier)
    {
        actions += multiplier;
        if (actions > kMaxMethodActions)
            return fail(step, kind,
                        tr("The method would run more than %1 steps.").arg(kMaxMethodActions));
        return true;
    }
};

QJsonObject stepJson(const MethodStep &s)
{
    QJsonObject body;
    switch (s.kind) {
    case MethodStep::Kind::Dose:
    case MethodStep::Kind::Flow: body = s.order; break;
    case MethodStep::Kind::Wait:
        body = {{QStringLiteral("duration"), s.duration},
                {QStringLiteral("duration_unit"), s.durationUnit}};
        break;
    case MethodStep::Kind::Prompt: body = {{QStringLiteral("text"), s.text}}; break;
    case MethodStep::Kind::Repeat: {
        QJsonArray steps;
        for (const MethodStep &inner : s.steps)
            steps.append(stepJson(inner));
        body = {{QStringLiteral("count"), s.count}, {QStringLiteral("steps"), steps}};
        break;
    }
    }
    return {{stepKindName(s.kind), body}};
}

struct Planner {
    const PumpState &state;
    MethodError *error;
    QList<MethodAction> actions;

    bool fail(const QString &step, MethodStep::Kind kind, const QString &message)
    {
        if (error)
            *error = MethodError{step, stepKindName(kind), message};
        return false;
    }

    bool plan(const QList<MethodStep> &steps, const QString &prefix)
    {
        for (int i = 0; i < steps.size(); ++i) {
            const MethodStep &s = steps.at(i);
            const QString step = prefix.isEmpty() ? QString::number(i + 1)
                                                  : prefix + QLatin1Char('.') + QString::number(i + 1);
            if (s.kind == MethodStep::Kind::Repeat) {
                const qsizetype before = actions.size();
                if (!plan(s.steps, step))
                    return false;
                const QList<MethodAction> once = actions.mid(before);
                for (int n = 1; n < s.count; ++n)
                    actions << once;
                continue;
            }
            MethodAction a;
            a.kind = s.kind;
            a.step = step;
            if (s.kind == MethodStep::Kind::Wait) {
                a.seconds = double(
                    inSekunden(float(s.duration), zeitEinheiten().indexOf(s.durationUnit)).value_or(0));
            } else if (s.kind == MethodStep::Kind::Prompt) {
                a.text = s.text;
            } else if (!planRun(s, step, a)) {
                return false;
            }
            actions << a;
        }
        return true;
    }

    bool planRun(const MethodStep &s, const QString &step, MethodAction &a)
    {
        const bool dose = s.kind == MethodStep::Kind::Dose;
        OrderError e;
        const auto order = parseOrderObject(s.order, dose ? OrderKind::Dose : OrderKind::Flow, &e);
        if (!order)
            return fail(step, s.kind, e.message);
        if (const auto refused = refusedEntry(*order, state))
            return fail(step, s.kind, refused->message);
        const PumpState after = withOrder(*order, state);
        if (const auto refused = PumpRun::startRefusal(after))
            return fail(step, s.kind, refused->message);
        if (dose) {
            if (const auto refused = PumpRun::firstDoseRefusal(after))
                return fail(step, s.kind, refused->message);
        }
        a.plan = RunPlan::fromSettings(after.settings);
        return true;
    }
};

// Seconds of a move of this many revolutions: up to speed at the acceleration, on at the
// maximum speed, down again (the controller's trapezoid).
double moveSeconds(double revolutions, double rpm, double acceleration)
{
    const double r = std::fabs(revolutions);
    const double v = std::max(rpm, 1e-9) / 60.0;
    const double a = std::max(acceleration, 1e-9);
    if (r >= v * v / a)
        return r / v + v / a;
    return 2.0 * std::sqrt(r / a);
}

} // namespace

QString MethodError::text() const
{
    if (step.isEmpty())
        return message;
    return kind.isEmpty() ? tr("step %1: %2").arg(step, message)
                          : tr("step %1 (%2): %3").arg(step, kind, message);
}

QString stepKindName(MethodStep::Kind kind)
{
    return QLatin1String(kKindNames[int(kind)]);
}

std::optional<Method> parseMethod(const QByteArray &json, MethodError *error)
{
    Reader r{error};
    if (json.size() > kMaxMethodBytes) {
        r.fail({}, {}, tr("A method is at most 1 MiB; this one is larger."));
        return std::nullopt;
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        r.fail({}, {}, tr("The method is no valid JSON: %1 (at byte %2).")
                           .arg(parseError.errorString())
                           .arg(parseError.offset));
        return std::nullopt;
    }
    if (!doc.isObject()) {
        r.fail({}, {}, tr("A method is a JSON object with \"format\", \"name\" and \"steps\"."));
        return std::nullopt;
    }
    const QJsonObject o = doc.object();
    const QStringList keys{"format", "name", "steps", "pump_type", "medium"};
    for (auto it = o.begin(); it != o.end(); ++it)
        if (!keys.contains(it.key())) {
            r.fail({}, {}, tr("Unknown field \"%1\"; the fields are %2.")
                               .arg(it.key().left(64), quotedList(keys)));
            return std::nullopt;
        }
    if (o.value(QStringLiteral("format")).toString() != QLatin1String(kMethodFormat)) {
        r.fail({}, {}, tr("\"format\" must be \"%1\".").arg(QLatin1String(kMethodFormat)));
        return std::nullopt;
    }
    Method m;
    const QJsonValue name = o.value(QStringLiteral("name"));
    if (!name.isString() || name.toString().trimmed().isEmpty() ||
        name.toString().size() > kMaxNameChars) {
        r.fail({}, {}, tr("\"name\" must be a text of 1 to %1 characters.").arg(kMaxNameChars));
        return std::nullopt;
    }
    m.name = name.toString().trimmed();
    for (const char *key : {"pump_type", "medium"}) {
        const QJsonValue v = o.value(QLatin1String(key));
        if (!v.isUndefined() && (!v.isString() || v.toString().size() > kMaxNameChars)) {
            r.fail({}, {}, tr("\"%1\" must be a text.").arg(QLatin1String(key)));
            return std::nullopt;
        }
    }
    m.pumpType = o.value(QStringLiteral("pump_type")).toString();
    m.medium = o.value(QStringLiteral("medium")).toString();
    if (!r.readSteps(o.value(QStringLiteral("steps")), QString(), 0, 1, m.steps))
        return std::nullopt;
    return m;
}

QByteArray methodJson(const Method &method)
{
    QJsonObject o{{QStringLiteral("format"), QLatin1String(kMethodFormat)},
                  {QStringLiteral("name"), method.name}};
    if (!method.pumpType.isEmpty())
        o.insert(QStringLiteral("pump_type"), method.pumpType);
    if (!method.medium.isEmpty())
        o.insert(QStringLiteral("medium"), method.medium);
    QJsonArray steps;
    for (const MethodStep &s : method.steps)
        steps.append(stepJson(s));
    o.insert(QStringLiteral("steps"), steps);
    return QJsonDocument(o).toJson(QJsonDocument::Indented);
}

std::optional<PumpState> withMedium(const PumpState &state, const MediumValues &medium, QString *why)
{
    PumpState s = state;
    const struct {
        const char *field;
        float value;
    } values[] = {{"txtDichte", medium.density}, {"txtKalibrierFaktor", medium.factor}};
    for (const auto &v : values) {
        const QString text = storeForm(v.value);
        if (const auto refused = fieldRefusal(s, QLatin1String(v.field), text)) {
            if (why)
                *why = refused->message;
            return std::nullopt;
        }
    }
    s.settings.Dichte = medium.density;
    s.settings.Kalibrierfaktor = medium.factor;
    return s;
}

std::optional<QList<MethodAction>> planMethod(const Method &method, const PumpState &state,
                                              const std::optional<MediumValues> &medium,
                                              MethodError *error)
{
    const auto failWhole = [error](const QString &message) -> std::optional<QList<MethodAction>> {
        if (error)
            *error = MethodError{{}, {}, message};
        return std::nullopt;
    };
    const QString inUse = QLatin1String(pumpType(state.settings.Pumpentyp).name);
    if (!method.pumpType.isEmpty() && method.pumpType != inUse)
        return failWhole(tr("The method is written for the pump type %1; the pump in use is %2.")
                             .arg(method.pumpType, inUse));
    PumpState values = state;
    if (!method.medium.isEmpty()) {
        if (!medium)
            return failWhole(tr("The medium \"%1\" is not saved for %2 on this port.")
                                 .arg(method.medium, inUse));
        QString why;
        const auto with = withMedium(state, *medium, &why);
        if (!with)
            return failWhole(tr("The medium \"%1\": %2").arg(method.medium, why));
        values = *with;
    }
    Planner p{values, error, {}};
    if (!p.plan(method.steps, QString()))
        return std::nullopt;
    return p.actions;
}

MethodEstimate estimateAction(const MethodAction &action, const PumpState &state)
{
    MethodEstimate e;
    switch (action.kind) {
    case MethodStep::Kind::Wait: e.seconds = action.seconds; break;
    case MethodStep::Kind::Prompt:
    case MethodStep::Kind::Repeat: break;
    case MethodStep::Kind::Dose: {
        RunPlan plan = action.plan;
        plan.describe();
        PumpState values = state;
        plan.applyTo(values.settings);
        const float revolutions = PumpRun::doseRevolutions(values, plan.quantity).value_or(0);
        const double move =
            moveSeconds(revolutions, double(values.settings.Maximaldrehzahl), double(values.settings.Beschleunigung));
        const bool endless = plan.count == kEndlessRepetitions;
        const double pause = double(inSekunden(plan.pause, plan.pauseUnit).value_or(0));
        e.seconds = endless ? -1 : plan.count * move + std::max(0, plan.count - 1) * pause;
        e.amount = endless ? 0 : double(plan.quantity) * plan.count;
        e.unit = plan.unit;
        break;
    }
    case MethodStep::Kind::Flow: {
        RunPlan plan = action.plan;
        plan.describe();
        const double seconds = double(inSekunden(plan.duration, plan.durationUnit).value_or(0));
        e.seconds = plan.duration == 0 ? -1 : seconds;
        e.amount = e.seconds < 0 ? 0 : double(plan.rate) * seconds / 60.0;
        e.unit = amountUnit(plan.unit);
        break;
    }
    }
    return e;
}

namespace {

// An amount's unit as a family and its size in the family's larger unit: µl are
// thousandths of a ml, mg of a g; revolutions stand alone.
struct UnitSize {
    QString family; // the larger unit: "ml", "g", "rev."
    double inFamily = 1;
};

UnitSize unitSize(const QString &unit)
{
    if (unit == QStringLiteral("µl"))
        return {QStringLiteral("ml"), 1e-3};
    if (unit == QStringLiteral("mg"))
        return {QStringLiteral("g"), 1e-3};
    return {unit, 1};
}

} // namespace

MethodTotal estimateMethod(const QList<MethodAction> &actions, const PumpState &state)
{
    MethodTotal t;
    QString family;
    bool smallOnly = true; // every amount was in µl (or mg): the total stays in it
    for (const MethodAction &a : actions) {
        const MethodEstimate e = estimateAction(a, state);
        if (e.seconds < 0 || t.seconds < 0)
            t.seconds = -1;
        else
            t.seconds += e.seconds;
        if (e.unit.isEmpty())
            continue;
        const UnitSize size = unitSize(e.unit);
        if (family.isEmpty())
            family = size.family;
        if (size.family != family) {
            t.mixedUnits = true;
            continue;
        }
        smallOnly = smallOnly && size.inFamily < 1;
        t.amount += e.amount * size.inFamily;
    }
    if (family.isEmpty())
        return t;
    t.unit = family;
    if (smallOnly && family != QStringLiteral("rev.")) {
        t.amount *= 1000;
        t.unit = family == QStringLiteral("ml") ? QStringLiteral("µl") : QStringLiteral("mg");
    }
    return t;
}

QString methodsFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) +
           QStringLiteral("/methods");
}

} // namespace vyt

#include "session/RunOrder.h"

#include "config/FieldRules.h"
#include "config/NumberText.h"
#include "config/Units.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <cmath>

namespace vyt {
namespace {

enum class Kind {
    Number,
    NumberOrEndless, // a number, or the text "endless"
    ZeroIsEndless,   // a number; 0 means endless
    Unit,
};

struct Param {
    const char *key;
    const char *widget;
    Kind kind;
    const QStringList &(*units)();
    const char *endlessBox;
    void (*storeUnit)(PumpSettings &, int);
    void (*storeEndless)(PumpSettings &);
};

// clang-format off
const Param kDose[] = {
    {"quantity", "txtMenge", Kind::Number, nullptr, nullptr, nullptr, nullptr},
    {"unit", "cboMengeEinheit", Kind::Unit, mengeEinheiten, nullptr,
     [](PumpSettings &s, int i) { s.Mengeneinheit = qint16(i); }, nullptr},
    {"repetitions", "txtWiederholung", Kind::NumberOrEndless, nullptr, "cbxEndlosDosierung", nullptr,
     [](PumpSettings &s) { s.Wiederholung = kEndlessRepetitions; }},
    {"pause", "txtPause", Kind::Number, nullptr, nullptr, nullptr, nullptr},
    {"pause_unit", "cboPauseEinheit", Kind::Unit, zeitEinheiten, nullptr,
     [](PumpSettings &s, int i) { s.Pauseeinheit = float(i); }, nullptr},
};
const Param kFlow[] = {
    {"rate", "txtFoerderstrom", Kind::Number, nullptr, nullptr, nullptr, nullptr},
    {"unit", "cboFoerderstromEinheit", Kind::Unit, foerderstromEinheiten, nullptr,
     [](PumpSettings &s, int i) { s.Foerderstromeinheit = qint16(i); }, nullptr},
    {"duration", "txtDauer", Kind::ZeroIsEndless, nullptr, "cbxEndlosFoerderung", nullptr,
     [](PumpSettings &s) { s.Dauer = 0; }},
    {"duration_unit", "cboDauerEinheit", Kind::Unit, zeitEinheiten, nullptr,
     [](PumpSettings &s, int i) { s.Dauereinheit = float(i); }, nullptr},
};
// clang-format on

template <typename F> void forParams(OrderKind kind, F f)
{
    if (kind == OrderKind::Dose)
        for (const Param &p : kDose)
            f(p);
    else
        for (const Param &p : kFlow)
            f(p);
}

const Param *paramFor(const QString &widget)
{
    const Param *found = nullptr;
    auto look = [&](const Param &p) {
        if (widget == QLatin1String(p.widget))
            found = &p;
    };
    forParams(OrderKind::Dose, look);
    forParams(OrderKind::Flow, look);
    return found;
}

// Units are matched as the window writes them; only "µl" typed with the Greek mu (U+03BC)
// is taken for the micro sign (U+00B5). No compatibility forms: "ｍｇ" or "㎕" is no unit.
int unitIndex(const QStringList &units, const QString &given)
{
    QString wanted = given;
    wanted.replace(QChar(0x03BC), QChar(0x00B5));
    return int(units.indexOf(wanted));
}

// The first key a top-level object names twice, compared after unescaping ("quan\u0074ity"
// is "quantity"). QJsonDocument keeps the last silently, which would dose what the client
// may not have meant.
std::optional<QString> duplicateKey(const QByteArray &body)
{
    QSet<QString> seen;
    int depth = 0;
    for (qsizetype i = 0; i < body.size(); ++i) {
        const char c = body.at(i);
        if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            --depth;
        } else if (c == '"') {
            qsizetype end = i + 1;
            while (end < body.size() && body.at(end) != '"')
                end += body.at(end) == '\\' ? 2 : 1;
            if (end >= body.size())
                return std::nullopt; // the parser says what is wrong with it
            qsizetype next = end + 1;
            while (next < body.size() && QByteArrayView(" \t\r\n").contains(body.at(next)))
                ++next;
            if (depth == 1 && next < body.size() && body.at(next) == ':') {
                const QJsonArray key =
                    QJsonDocument::fromJson('[' + body.mid(i, end - i + 1) + ']').array();
                const QString name = key.isEmpty() ? QString() : key.first().toString();
                if (seen.contains(name))
                    return name;
                seen.insert(name);
            }
            i = end;
        }
    }
    return std::nullopt;
}

QString quoted(const QStringList &names)
{
    QStringList out;
    for (const QString &n : names)
        out << QStringLiteral("\"%1\"").arg(n);
    return out.join(QStringLiteral(", "));
}

std::optional<OrderEntry> readEntry(const Param &p, const QJsonValue &value, OrderError *error)
{
    OrderEntry entry;
    entry.key = QLatin1String(p.key);
    entry.widget = QLatin1String(p.widget);
    if (p.endlessBox)
        entry.endlessBox = QLatin1String(p.endlessBox);
    auto fail = [&](const QString &message) -> std::optional<OrderEntry> {
        *error = OrderError{entry.widget, message};
        return std::nullopt;
    };
    if (p.kind == Kind::Unit) {
        if (!value.isString())
            return fail(
                QStringLiteral("\"%1\" must be one of %2.").arg(entry.key, quoted(p.units())));
        entry.index = unitIndex(p.units(), value.toString());
        if (entry.index < 0)
            return fail(
                QStringLiteral("\"%1\" must be one of %2.").arg(entry.key, quoted(p.units())));
        return entry;
    }
    if (p.kind == Kind::NumberOrEndless && value.isString() &&
        value.toString() == QLatin1String("endless")) {
        entry.endless = true;
        return entry;
    }
    if (!value.isDouble())
        return fail(p.kind == Kind::NumberOrEndless
                        ? QStringLiteral("\"%1\" must be a number or \"endless\".").arg(entry.key)
                        : QStringLiteral("\"%1\" must be a number.").arg(entry.key));
    const double number = value.toDouble();
    if (p.kind == Kind::ZeroIsEndless && number == 0) {
        entry.endless = true;
        return entry;
    }
    // Typed as the operator would type it; a number beyond any float reads as none.
    entry.text = exactForm(number, QLocale());
    return entry;
}

} // namespace

QStringList orderKeys(OrderKind kind)
{
    QStringList keys;
    forParams(kind, [&](const Param &p) { keys << QLatin1String(p.key); });
    return keys;
}

std::optional<RunOrder> parseOrder(const QByteArray &body, OrderKind kind, OrderError *error)
{
    auto fail = [error](const QString &field, const QString &message) -> std::optional<RunOrder> {
        *error = OrderError{field, message};
        return std::nullopt;
    };
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return fail(QString(), QStringLiteral("The body is no valid JSON: %1 (at byte %2).")
                                   .arg(parseError.errorString())
                                   .arg(parseError.offset));
    if (!doc.isObject())
        return fail(
            QString(),
            QStringLiteral("The body must be a JSON object with %1.").arg(quoted(orderKeys(kind))));
    if (const auto twice = duplicateKey(body))
        return fail(*twice, QStringLiteral("Field \"%1\" is given twice.").arg(twice->left(64)));
    return parseOrderObject(doc.object(), kind, error);
}

std::optional<RunOrder> parseOrderObject(const QJsonObject &object, OrderKind kind, OrderError *error)
{
    auto fail = [error](const QString &field, const QString &message) -> std::optional<RunOrder> {
        *error = OrderError{field, message};
        return std::nullopt;
    };
    const QStringList keys = orderKeys(kind);
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!keys.contains(it.key()))
            return fail(it.key(), QStringLiteral("Unknown field \"%1\"; the fields are %2.")
                                      .arg(it.key().left(64), quoted(keys)));
    }
    RunOrder order;
    order.mode = kind == OrderKind::Dose ? 1 : 2;
    std::optional<OrderError> refused;
    forParams(kind, [&](const Param &p) {
        if (refused)
            return;
        const QString key = QLatin1String(p.key);
        if (!object.contains(key)) {
            refused =
                OrderError{QLatin1String(p.widget), QStringLiteral("\"%1\" is missing.").arg(key)};
            return;
        }
        OrderError e;
        if (const auto entry = readEntry(p, object.value(key), &e))
            order.entries << *entry;
        else
            refused = e;
    });
    if (refused) {
        *error = *refused;
        return std::nullopt;
    }
    return order;
}

std::optional<OrderError> refusedEntry(const RunOrder &order, const PumpState &state)
{
    for (const OrderEntry &e : order.entries) {
        if (e.index >= 0 || e.endless)
            continue;
        if (const auto r = fieldRefusal(state, e.widget, e.text))
            return OrderError{r->field, r->message};
    }
    return std::nullopt;
}

PumpState withOrder(const RunOrder &order, const PumpState &state)
{
    PumpState after = state;
    after.settings.Betriebsart = order.mode;
    for (const OrderEntry &e : order.entries) {
        const Param *p = paramFor(e.widget);
        if (e.index >= 0 && p && p->storeUnit)
            p->storeUnit(after.settings, e.index);
        else if (e.endless && p && p->storeEndless)
            p->storeEndless(after.settings);
        else
            (void)storeField(after, e.widget, e.text);
    }
    return after;
}

} // namespace vyt

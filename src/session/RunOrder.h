#pragma once
// A run asked for by another program: a dose or a flow, read from its JSON body into
// the entries an operator would make in the window, checked as the fields check them.
#include "config/PumpState.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <optional>

namespace vyt {


enum class OrderKind { Dose, Flow };

// One value of the order, as the operator would set it.
struct OrderEntry {
    QString key;    // the JSON name: "quantity"
    QString widget; // the control's objectName: "txtMenge", "cboMengeEinheit"
    QString text;   // a field's entry in the locale's notation
    int index = -1; // a list's entry; -1 for a field
    bool endless = false;
    QString endlessBox; // the field's "endless" box, if it has one
};

struct RunOrder {
    qint16 mode = 1; // Betriebsart: 1 dosing, 2 flow
    QList<OrderEntry> entries;
};

// Why a body is refused: the field (a control's objectName, or the JSON name of a field
// the window does not know) and the message.
struct OrderError {
    QString field;
    QString message;
};

// Reads a body: a JSON object with every name of the kind present, of its type, and no
// other. Numbers are JSON numbers; units are the window's own texts.
[[nodiscard]] std::optional<RunOrder> parseOrder(const QByteArray &body, OrderKind kind,
                                                 OrderError *error);
// The same for an object already parsed (a method's step).
[[nodiscard]] std::optional<RunOrder> parseOrderObject(const QJsonObject &object, OrderKind kind,
                                                       OrderError *error);
// The JSON names of a kind, in order.
[[nodiscard]] QStringList orderKeys(OrderKind kind);

// The first value the window's own checks would refuse in state, with the field's message.
[[nodiscard]] std::optional<OrderError> refusedEntry(const RunOrder &order,
                                                     const PumpState &state);
// The settings as they would be once the order is entered (all entries accepted).
[[nodiscard]] PumpState withOrder(const RunOrder &order, const PumpState &state);

} // namespace vyt

#pragma once
// What another program reads of the session: the state (GET /v1/status) and the run
// journal's rows (GET /v1/runs), as JSON with numbers as numbers and the window's units.
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace vyt {

class Session;

// blocked: why a start would be refused now (empty: it would not be).
[[nodiscard]] QJsonObject statusJson(Session &session, const QString &blocked);

// Journal rows, newest first as a read gives them, as the answer's array: oldest first.
[[nodiscard]] QJsonArray runsJson(const QList<QStringList> &newestFirst);

// "2026-12-07T15:30:00+01:00", "...Z", a local time, or a date; a blank for the "+" a
// query string may have turned into one.
[[nodiscard]] QDateTime readIsoTime(QString text);

} // namespace vyt

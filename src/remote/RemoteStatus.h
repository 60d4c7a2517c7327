#pragma once
// What another program reads of the window: the state (GET /v1/status) and the run
// journal's rows (GET /v1/runs), as JSON with numbers as numbers and the window's units.
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

namespace vyt {

class frmPumpensteuerung;

// blocked: why a start would be refused now (empty: it would not be).
[[nodiscard]] QJsonObject statusJson(frmPumpensteuerung &window, const QString &blocked);

struct RunRows {
    QJsonArray rows;
    bool truncated = false; // only the newest `limit` rows are in
    QString error;          // the journal could not be read
};
// The journal's rows started at or after since (invalid: all), oldest first.
[[nodiscard]] RunRows runRows(const QString &journalPath, const QDateTime &since, int limit);

// "2026-12-07T15:30:00+01:00", "...Z", a local time, or a date; a blank for the "+" a
// query string may have turned into one.
[[nodiscard]] QDateTime readIsoTime(QString text);

} // namespace vyt

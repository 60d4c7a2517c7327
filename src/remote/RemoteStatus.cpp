#include "remote/RemoteStatus.h"

#include "session/MethodRun.h"

#include "config/NumberText.h"
#include "config/PumpCatalog.h"
#include "config/Units.h"
#include "journal/RunJournal.h"
#include "link/MSComm.h"
#include "session/PumpRun.h"
#include "session/Session.h"

#include <cmath>

namespace vyt {
namespace {

QJsonValue number(float value)
{
    return shortestDecimal(value);
}

QString unitText(const QStringList &units, double index)
{
    const int i = int(index);
    return index == double(i) && i >= 0 && i < units.size() ? units.at(i) : QString();
}

QString itemText(const QStringList &items, int index)
{
    return index >= 0 && index < items.size() ? items.at(index) : QString();
}

QJsonValue repetitions(qint64 n)
{
    return n == kEndlessRepetitions ? QJsonValue(QStringLiteral("endless")) : QJsonValue(double(n));
}

QJsonObject settingsJson(const Session &session)
{
    const PumpState &state = session.state();
    const PumpSettings &s = state.settings;
    const QJsonObject dose{
        {QStringLiteral("quantity"), number(s.Menge)},
        {QStringLiteral("unit"), unitText(mengeEinheiten(), s.Mengeneinheit)},
        {QStringLiteral("repetitions"), repetitions(s.Wiederholung)},
        {QStringLiteral("pause"), number(s.Pause)},
        {QStringLiteral("pause_unit"), unitText(zeitEinheiten(), s.Pauseeinheit)}};
    const QJsonObject flow{
        {QStringLiteral("rate"), number(s.Foerderstrom)},
        {QStringLiteral("unit"), unitText(foerderstromEinheiten(), s.Foerderstromeinheit)},
        {QStringLiteral("duration"), number(s.Dauer)},
        {QStringLiteral("duration_unit"), unitText(zeitEinheiten(), s.Dauereinheit)}};
    return QJsonObject{
        {QStringLiteral("pump_type"), QString::fromUtf8(pumpType(s.Pumpentyp).name)},
        {QStringLiteral("displacement_ul_per_rev"), number(state.Verdraengungsvolumen)},
        {QStringLiteral("density_g_per_cm3"), number(s.Dichte)},
        {QStringLiteral("calibration_factor"), number(s.Kalibrierfaktor)},
        {QStringLiteral("encoder"), itemText(encoderItems(s.Pumpentyp), s.Encodertyp)},
        {QStringLiteral("gear"), itemText(gearItems(s.Pumpentyp), s.Getriebetyp)},
        {QStringLiteral("max_speed_rpm"), number(s.Maximaldrehzahl)},
        {QStringLiteral("acceleration_rev_per_s2"), number(s.Beschleunigung)},
        {QStringLiteral("continuous_current_ma"), number(s.Dauerstrom)},
        {QStringLiteral("peak_current_ma"), number(s.Spitzenstrom)},
        {QStringLiteral("dose"), dose},
        {QStringLiteral("flow"), flow}};
}

QJsonValue runJson(const Session &session)
{
    if (!session.running())
        return QJsonValue::Null;
    const Session::Status status = session.status();
    const PumpRun::Progress p = status.progress;
    const QString client = status.running ? status.plan.client : QString();
    const bool flow = status.running ? status.plan.mode == RunPlan::Mode::Flow
                                     : session.state().settings.Betriebsart == 2;
    QJsonObject run{
        {QStringLiteral("mode"), flow ? QStringLiteral("flow") : QStringLiteral("dosing")},
        {QStringLiteral("started_by"), client.isEmpty() ? QStringLiteral("operator") : client},
        {QStringLiteral("time_left_s"), p.secondsLeft < 0
                                            ? QJsonValue(QJsonValue::Null)
                                            : QJsonValue(std::round(p.secondsLeft * 1000) / 1000)}};
    if (p.dosing) {
        run.insert(QStringLiteral("dose"), double(p.dose));
        run.insert(QStringLiteral("doses"), repetitions(p.doses));
        run.insert(QStringLiteral("pausing"), p.pausing);
    }
    return run;
}

QJsonValue numberOrText(const QString &text)
{
    bool ok = false;
    const double v = QLocale::c().toDouble(text, &ok);
    if (ok && std::isfinite(v))
        return v;
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QJsonObject rowJson(const RunRecord &r)
{
    auto time = [](const QDateTime &t) {
        return t.isValid() ? QJsonValue(t.toOffsetFromUtc(t.offsetFromUtc()).toString(Qt::ISODate))
                           : QJsonValue(QJsonValue::Null);
    };
    return QJsonObject{{QStringLiteral("started"), time(r.started)},
                       {QStringLiteral("ended"), time(r.ended)},
                       {QStringLiteral("port"), r.port},
                       {QStringLiteral("device"), r.device},
                       {QStringLiteral("pump_type"), r.pumpType},
                       {QStringLiteral("mode"), r.mode},
                       {QStringLiteral("set_value"), numberOrText(r.setValue)},
                       {QStringLiteral("unit"), r.unit},
                       {QStringLiteral("repetitions"), numberOrText(r.repetitions)},
                       {QStringLiteral("doses_done"), r.dosesDone < 0
                                                          ? QJsonValue(QJsonValue::Null)
                                                          : QJsonValue(double(r.dosesDone))},
                       {QStringLiteral("delivered"), numberOrText(r.delivered)},
                       {QStringLiteral("ended_by"), r.endedBy},
                       {QStringLiteral("note"), r.note},
                       {QStringLiteral("medium"), r.medium},
                       {QStringLiteral("density"), numberOrText(r.density)},
                       {QStringLiteral("calibration_factor"), numberOrText(r.calibrationFactor)},
                       {QStringLiteral("delivered_unit"), r.deliveredUnit},
                       {QStringLiteral("interrupted_dose"), numberOrText(r.interruptedDose)}};
}

} // namespace

namespace {

// The method going on, or null.
QJsonValue methodJson(const Session &session)
{
    const MethodRun &methods = session.methods();
    if (!methods.running())
        return QJsonValue(QJsonValue::Null);
    const MethodRun::Progress p = methods.progress();
    return QJsonObject{{QStringLiteral("name"), p.name},
                       {QStringLiteral("step"), p.step},
                       {QStringLiteral("steps"), p.steps},
                       {QStringLiteral("step_text"), p.stepText},
                       {QStringLiteral("prompt"), p.prompt.isEmpty() ? QJsonValue(QJsonValue::Null)
                                                                     : QJsonValue(p.prompt)}};
}

} // namespace

QJsonObject statusJson(Session &session, const QString &blocked)
{
    const PumpState &state = session.state();
    return QJsonObject{
        {QStringLiteral("port"), QStringLiteral("COM%1").arg(state.Schnittstelle)},
        {QStringLiteral("device"), session.port().DevicePath()},
        {QStringLiteral("link_open"), state.SchnittstelleOffen},
        {QStringLiteral("controller_answered"), state.SchnittstelleOffen && !state.KeineAntwort},
        {QStringLiteral("running"), session.running()},
        {QStringLiteral("potentiometer"), session.potentiometerOn()},
        {QStringLiteral("mode"),
         state.settings.Betriebsart == 2 ? QStringLiteral("flow") : QStringLiteral("dosing")},
        {QStringLiteral("run"), runJson(session)},
        {QStringLiteral("method"), methodJson(session)},
        {QStringLiteral("status_line"), session.statusLine()},
        {QStringLiteral("start_blocked"),
         blocked.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(blocked)},
        {QStringLiteral("settings"), settingsJson(session)}};
}

QJsonArray runsJson(const QList<QStringList> &newestFirst)
{
    QJsonArray rows;
    for (auto it = newestFirst.crbegin(); it != newestFirst.crend(); ++it)
        rows.append(rowJson(RunRecord::fromFields(*it)));
    return rows;
}

QDateTime readIsoTime(QString text)
{
    text = text.trimmed().replace(QLatin1Char(' '), QLatin1Char('+'));
    QDateTime t = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!t.isValid())
        t = QDateTime::fromString(text, Qt::ISODate);
    if (!t.isValid()) {
        const QDate day = QDate::fromString(text, Qt::ISODate);
        if (day.isValid())
            t = day.startOfDay();
    }
    return t;
}

} // namespace vyt

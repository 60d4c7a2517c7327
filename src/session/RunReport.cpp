#include "session/RunReport.h"

#include "config/NumberText.h"
#include "config/PumpState.h"
#include "config/Units.h"
#include "session/Wait.h"

#include <QCoreApplication>
#include <algorithm>

namespace vyt {

RunPlan RunPlan::fromSettings(const PumpSettings &s)
{
    RunPlan plan;
    plan.mode = s.Betriebsart == 2 ? Mode::Flow : Mode::Dosing;
    plan.quantity = s.Menge;
    plan.quantityUnit = s.Mengeneinheit;
    plan.count = s.Wiederholung;
    plan.pause = s.Pause;
    plan.pauseUnit = s.Pauseeinheit;
    plan.rate = s.Foerderstrom;
    plan.rateUnit = s.Foerderstromeinheit;
    plan.duration = s.Dauer;
    plan.durationUnit = s.Dauereinheit;
    return plan;
}

void RunPlan::applyTo(PumpSettings &s) const
{
    if (mode == Mode::Potentiometer)
        return;
    s.Betriebsart = mode == Mode::Flow ? 2 : 1;
    if (mode == Mode::Dosing) {
        s.Menge = quantity;
        s.Mengeneinheit = quantityUnit;
        s.Wiederholung = count;
        s.Pause = pause;
        s.Pauseeinheit = pauseUnit;
        if (const auto sec = inSekunden(pause, pauseUnit))
            s.PauseSekunden = *sec;
    } else {
        s.Foerderstrom = rate;
        s.Foerderstromeinheit = rateUnit;
        s.Dauer = duration;
        s.Dauereinheit = durationUnit;
        if (const auto sec = inSekunden(duration, durationUnit))
            s.DauerSekunden = *sec;
    }
}

void RunPlan::describe()
{
    started = QDateTime::currentDateTime();
    const auto unitText = [](const QStringList &units, int i) {
        return i >= 0 && i < units.size() ? units.at(i) : QString();
    };
    if (mode == Mode::Flow) {
        setValue = rate;
        unit = unitText(foerderstromEinheiten(), rateUnit);
        repetitions = 0;
    } else if (mode == Mode::Dosing) {
        setValue = quantity;
        unit = unitText(mengeEinheiten(), quantityUnit);
        repetitions = count;
    }
}
namespace {

QString tr(const char *text) { return QCoreApplication::translate("RunReport", text); }

QString amount(double value, const QString &unit) { return generalForm(value) + QLatin1Char(' ') + unit; }

// What a lost link leaves undone: the stop never reached the controller.
QString stopNotSent()
{
    return tr("the stop could not be sent. The pump may still be running. Stop it at the "
              "controller.");
}

// "dose 2 of 5 (up to 30 µl of it delivered); 30 µl in completed doses"
QString interruptedText(const RunPlan &plan, const RunOutcome &o)
{
    const bool endless = plan.repetitions == kEndlessRepetitions;
    const QString dose = endless ? tr("dose %1").arg(o.interruptedNumber)
                                 : tr("dose %1 of %2").arg(o.interruptedNumber).arg(plan.repetitions);
    return tr("%1 (up to %2 of it delivered); %3 in completed doses")
        .arg(dose, amount(o.interruptedDose, plan.unit), amount(o.delivered, plan.unit));
}

// A dose cut short in its move: how much of it arrived is not known.
QString interruptedSummary(const RunPlan &plan, const RunOutcome &o)
{
    using End = RunOutcome::End;
    const QString during = interruptedText(plan, o);
    switch (o.end) {
    case End::LinkLost: return tr("Stopped by the lost link during %1; %2").arg(during, stopNotSent());
    case End::NoReply: return tr("Stopped, the controller did not respond, during %1").arg(during);
    default:
        return plan.repetitions == kEndlessRepetitions
                   ? tr("Endless dosing stopped during %1").arg(during)
                   : tr("Stopped during %1").arg(during);
    }
}

QString dosingSummary(const RunPlan &plan, const RunOutcome &o)
{
    using End = RunOutcome::End;
    if (o.interruptedNumber > 0 && o.end != End::Completed)
        return interruptedSummary(plan, o);
    const bool endless = plan.repetitions == kEndlessRepetitions;
    const QString delivered = amount(o.delivered, plan.unit);
    const QString count = endless ? tr("%1 doses").arg(o.dosesDone)
                                  : tr("%1 of %2 doses").arg(o.dosesDone).arg(plan.repetitions);
    switch (o.end) {
    case End::Completed: return tr("%1 done, %2").arg(count, delivered);
    case End::LinkLost: return tr("Stopped by the lost link after %1, %2").arg(count, delivered);
    case End::NoReply:
        return tr("Stopped, the controller did not respond, after %1, %2").arg(count, delivered);
    default:
        return endless ? tr("Endless dosing stopped after %1, %2").arg(count, delivered)
                       : tr("Stopped after %1, %2").arg(count, delivered);
    }
}

QString flowSummary(const RunPlan &plan, const RunOutcome &o)
{
    using End = RunOutcome::End;
    const QString after = durationText(o.motorSeconds);
    const QString delivered = amount(deliveredAmount(plan, o), amountUnit(plan.unit));
    switch (o.end) {
    case End::Completed: return tr("Flow ended after %1, %2").arg(after, delivered);
    case End::LinkLost:
        return tr("Flow cut off by the lost link after %1, %2 until then; %3")
            .arg(after, delivered, stopNotSent());
    default: return tr("Flow stopped after %1, %2").arg(after, delivered);
    }
}

} // namespace

QString durationText(double seconds)
{
    const qint64 t = qint64(std::clamp(seconds, 0.0, kEndlessSeconds));
    const qint64 h = t / 3600, m = t / 60 % 60, s = t % 60;
    const QLatin1Char zero('0');
    return h > 0 ? QStringLiteral("%1:%2:%3").arg(h).arg(m, 2, 10, zero).arg(s, 2, 10, zero)
                 : QStringLiteral("%1:%2").arg(m).arg(s, 2, 10, zero);
}

QString amountUnit(const QString &rateUnit)
{
    if (rateUnit == QLatin1String("rpm"))
        return QStringLiteral("rev.");
    return rateUnit.endsWith(QLatin1String("/min")) ? rateUnit.chopped(4) : rateUnit;
}

double deliveredAmount(const RunPlan &plan, const RunOutcome &outcome)
{
    if (plan.mode == RunPlan::Mode::Dosing)
        return outcome.delivered;
    if (plan.mode == RunPlan::Mode::Flow)
        return plan.setValue * outcome.motorSeconds / 60.0;
    return 0;
}

QString runSummary(const RunPlan &plan, const RunOutcome &outcome)
{
    if (outcome.end == RunOutcome::End::ProgramEnded)
        return {};
    switch (plan.mode) {
    case RunPlan::Mode::Dosing: return dosingSummary(plan, outcome);
    case RunPlan::Mode::Flow: return flowSummary(plan, outcome);
    case RunPlan::Mode::Potentiometer: break;
    }
    return {};
}

} // namespace vyt

#include "main/RunReport.h"

#include "config/NumberText.h"
#include "config/PumpState.h"
#include "session/Wait.h"

#include <QCoreApplication>
#include <algorithm>

namespace vyt {
namespace {

QString tr(const char *text) { return QCoreApplication::translate("RunReport", text); }

QString amount(double value, const QString &unit) { return generalForm(value) + QLatin1Char(' ') + unit; }

QString dosingSummary(const RunPlan &plan, const RunOutcome &o)
{
    using End = RunOutcome::End;
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
    case End::LinkLost: return tr("Flow stopped by the lost link after %1, %2").arg(after, delivered);
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

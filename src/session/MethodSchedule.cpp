#include "session/MethodSchedule.h"

#include "config/SettingsStore.h"
#include "session/Method.h"
#include "session/MethodRun.h"
#include "session/Session.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <algorithm>

namespace vyt {
namespace {

const QString kSection = QStringLiteral("Schedules");

// UTC with its "Z": a local time's ISO text carries no offset and would move with the zone.
QString isoText(const QDateTime &at)
{
    return at.isValid() ? at.toUTC().toString(Qt::ISODateWithMs) : QString();
}

QDateTime fromIso(const QString &text)
{
    const QDateTime at = QDateTime::fromString(text, Qt::ISODateWithMs);
    return at.isValid() ? at.toLocalTime() : QDateTime();
}

} // namespace

QDateTime MethodSchedule::dueAtOrAfter(const QDateTime &from) const
{
    if (!first.isValid())
        return {};
    qint64 k = 0;
    if (from > first) {
        if (everyMinutes <= 0)
            return {};
        const qint64 stepMs = qint64(everyMinutes) * 60 * 1000;
        k = (first.msecsTo(from) + stepMs - 1) / stepMs;
    }
    if (count > 0 && k >= count)
        return {};
    const QDateTime at = first.addMSecs(k * qint64(everyMinutes) * 60 * 1000);
    if (until.isValid() && at > until)
        return {};
    return at;
}

QString MethodSchedule::timeText(const QDateTime &at, const QDateTime &now)
{
    if (!at.isValid())
        return QStringLiteral("—");
    const qint64 days = now.date().daysTo(at.date());
    if (days == 0)
        return at.toString(QStringLiteral("HH:mm"));
    if (days > 0 && days < 7)
        return at.toString(QStringLiteral("ddd HH:mm"));
    return at.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

QString MethodSchedule::toJson() const
{
    QJsonObject o;
    o[QStringLiteral("file")] = file;
    o[QStringLiteral("first")] = isoText(first);
    o[QStringLiteral("everyMinutes")] = everyMinutes;
    o[QStringLiteral("count")] = count;
    if (until.isValid())
        o[QStringLiteral("until")] = isoText(until);
    o[QStringLiteral("done")] = done;
    o[QStringLiteral("skipped")] = skipped;
    o[QStringLiteral("lastResult")] = lastResult;
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

std::optional<MethodSchedule> MethodSchedule::fromJson(const QString &text)
{
    const QJsonDocument d = QJsonDocument::fromJson(text.toUtf8());
    if (!d.isObject())
        return std::nullopt;
    const QJsonObject o = d.object();
    MethodSchedule s;
    s.file = o.value(QStringLiteral("file")).toString();
    s.first = fromIso(o.value(QStringLiteral("first")).toString());
    s.everyMinutes = std::max(0, o.value(QStringLiteral("everyMinutes")).toInt());
    s.count = std::max(0, o.value(QStringLiteral("count")).toInt());
    s.until = fromIso(o.value(QStringLiteral("until")).toString());
    s.done = std::max(0, o.value(QStringLiteral("done")).toInt());
    s.skipped = std::max(0, o.value(QStringLiteral("skipped")).toInt());
    s.lastResult = o.value(QStringLiteral("lastResult")).toString();
    if (s.file.isEmpty() || !s.first.isValid())
        return std::nullopt;
    return s;
}

QDateTime nextTimeOfDay(const QTime &time, const QDateTime &now)
{
    QDateTime at(now.date(), time);
    if (at <= now)
        at = QDateTime(now.date().addDays(1), time);
    return at;
}

MethodScheduler::MethodScheduler(Session &session, Now now, QObject *parent)
    : QObject(parent), m_session(session), m_now(std::move(now)),
      m_portKey(QStringLiteral("COM%1").arg(session.state().Schnittstelle))
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &MethodScheduler::check);
    connect(&m_session.methods(), &MethodRun::finished, this, &MethodScheduler::onMethodFinished);
    load();
    arm();
}

QString MethodScheduler::portKey() const
{
    return m_portKey;
}

void MethodScheduler::load()
{
    auto store = openStore();
    store->beginGroup(kSection);
    store->beginGroup(portKey());
    QStringList keys = store->childKeys();
    std::sort(keys.begin(), keys.end(),
              [](const QString &a, const QString &b) { return a.toInt() < b.toInt(); });
    const QDateTime now = m_now();
    for (const QString &key : keys) {
        auto s = MethodSchedule::fromJson(store->value(key).toString());
        if (!s) {
            qWarning("Schedule %s of %s is not readable and left out.", qPrintable(key),
                     qPrintable(portKey()));
            continue;
        }
        // Whatever it was before the program ended, it waits for the operator now.
        s->active = false;
        s->next = s->dueAtOrAfter(now);
        m_schedules.append(*s);
    }
}

bool MethodScheduler::save(QString *why)
{
    QString reason;
    if (!prepareStoreForWriting(nullptr, &reason)) {
        if (why)
            *why = reason;
        return false;
    }
    auto store = openStore();
    store->beginGroup(kSection);
    store->remove(portKey());
    store->beginGroup(portKey());
    for (int i = 0; i < m_schedules.size(); ++i)
        store->setValue(QString::number(i + 1), m_schedules.at(i).toJson());
    store->endGroup();
    store->endGroup();
    if (!storeWritten(*store, &reason)) {
        if (why)
            *why = reason;
        qWarning("The schedules of %s are not kept: %s", qPrintable(portKey()), qPrintable(reason));
        return false;
    }
    return true;
}

bool MethodScheduler::add(MethodSchedule schedule, QString *why)
{
    if (schedule.file.isEmpty() || !schedule.first.isValid()) {
        if (why)
            *why = tr("A schedule needs a saved method and a first start.");
        return false;
    }
    const QDateTime now = m_now();
    schedule.next = schedule.dueAtOrAfter(now);
    if (!schedule.next.isValid()) {
        if (why)
            *why = tr("This schedule has no start left after %1.")
                       .arg(now.toString(QStringLiteral("yyyy-MM-dd HH:mm")));
        return false;
    }
    m_schedules.append(schedule);
    if (!save(why)) {
        m_schedules.removeLast();
        return false;
    }
    arm();
    emit changed();
    return true;
}

bool MethodScheduler::resume(int index, QString *why)
{
    if (index < 0 || index >= m_schedules.size())
        return false;
    MethodSchedule &s = m_schedules[index];
    s.next = s.dueAtOrAfter(m_now());
    if (!s.next.isValid()) {
        if (why)
            *why = tr("This schedule has no start left.");
        return false;
    }
    s.active = true;
    arm();
    emit changed();
    return true;
}

bool MethodScheduler::pause(int index, QString *)
{
    if (index < 0 || index >= m_schedules.size())
        return false;
    m_schedules[index].active = false;
    arm();
    emit changed();
    return true;
}

bool MethodScheduler::remove(int index, QString *why)
{
    if (index < 0 || index >= m_schedules.size())
        return false;
    const MethodSchedule removed = m_schedules.takeAt(index);
    if (!save(why)) {
        m_schedules.insert(index, removed);
        return false;
    }
    if (m_running == index)
        m_running = -1;
    else if (m_running > index)
        --m_running;
    arm();
    emit changed();
    return true;
}

void MethodScheduler::check()
{
    if (m_checking)
        return;
    m_checking = true;
    const QDateTime now = m_now();
    // By index: a start tells its listeners, and they may change the list meanwhile.
    for (int i = 0; i < m_schedules.size(); ++i) {
        const MethodSchedule &s = m_schedules.at(i);
        if (!s.active || !s.next.isValid() || s.next > now)
            continue;
        const QDateTime due = s.next;
        // The next time follows from now: what passed meanwhile is not made up.
        m_schedules[i].next = s.dueAtOrAfter(now.addMSecs(1));
        if (due.msecsTo(now) > kLateMs)
            skip(i, due, tr("the program was held up until %1.").arg(now.toString(QStringLiteral("HH:mm"))));
        else
            startDue(i, due);
        if (i < m_schedules.size() && !m_schedules.at(i).next.isValid())
            m_schedules[i].active = false;
        QString why;
        save(&why);
        emit changed();
    }
    m_checking = false;
    arm();
}

void MethodScheduler::skip(int index, const QDateTime &due, const QString &reason)
{
    MethodSchedule &s = m_schedules[index];
    ++s.skipped;
    s.lastResult = tr("Skipped at %1: %2").arg(due.toString(QStringLiteral("HH:mm")), reason);
    emit skipped(index, s.lastResult);
}

void MethodScheduler::startDue(int index, const QDateTime &due)
{
    MethodSchedule &s = m_schedules[index];
    if (m_session.methods().running())
        return skip(index, due, tr("a method is going on."));
    if (m_session.potentiometerOn())
        return skip(index, due, tr("potentiometer mode is on."));
    if (m_session.running())
        return skip(index, due, tr("a run is going on."));
    // What holds a client's start holds ours (a window open in front of the operator); a
    // closed port does not: the start opens it as the operator's own start would.
    if (m_session.state().SchnittstelleOffen) {
        if (const QString busy = m_session.busyReason(); !busy.isEmpty())
            return skip(index, due, busy);
    }

    const QString shown = QDir::toNativeSeparators(s.file);
    QFile in(s.file);
    if (in.size() > kMaxMethodBytes)
        return skip(index, due, tr("%1 is larger than a method may be.").arg(shown));
    if (!in.open(QIODevice::ReadOnly))
        return skip(index, due, tr("%1 could not be read: %2").arg(shown, in.errorString()));
    MethodError error;
    const auto method = parseMethod(in.read(kMaxMethodBytes + 1), &error);
    if (!method)
        return skip(index, due, tr("%1 is refused: %2").arg(shown, error.text()));
    m_running = index;
    m_runningSince = tr("Started at %1.").arg(due.toString(QStringLiteral("HH:mm")));
    if (const auto refused = m_session.methods().start(*method, MethodRun::Starter::Operator)) {
        m_running = -1;
        return skip(index, due, refused->text());
    }
    // The start may have ended already (a refusal told through finished()).
    if (index < m_schedules.size()) {
        ++m_schedules[index].done;
        if (m_running == index)
            m_schedules[index].lastResult = m_runningSince;
    }
    emit started(index);
}

void MethodScheduler::onMethodFinished(bool completed, const QString &why)
{
    if (m_running < 0 || m_running >= m_schedules.size())
        return;
    MethodSchedule &s = m_schedules[m_running];
    m_running = -1;
    s.lastResult = completed ? m_runningSince + tr(" Completed.") : m_runningSince + QLatin1Char(' ') + why;
    QString reason;
    save(&reason);
    emit changed();
}

void MethodScheduler::arm()
{
    const QDateTime now = m_now();
    qint64 wait = kRecheckMs;
    for (const MethodSchedule &s : std::as_const(m_schedules))
        if (s.active && s.next.isValid())
            wait = std::min(wait, std::max<qint64>(0, now.msecsTo(s.next)));
    if (std::none_of(m_schedules.cbegin(), m_schedules.cend(), [](const MethodSchedule &s) { return s.active; })) {
        m_timer.stop();
        return;
    }
    m_timer.start(int(wait));
}

} // namespace vyt

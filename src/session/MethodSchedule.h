#pragma once
// Schedules of methods: a method file started at a time of day, once or every so often,
// until a count of starts or a date. Kept per port in the store's [Schedules] section.
// A schedule read from the store (after a restart) is always paused: nothing moves the
// pump unattended until the operator resumes it.
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <optional>

namespace vyt {

class Session;

struct MethodSchedule {
    QString file;       // the method's document
    QDateTime first;    // the first start
    int everyMinutes = 0; // 0: once
    int count = 0;      // starts at most, counted from the first (missed ones too); 0: no limit
    QDateTime until;    // no start after it; invalid: no end
    bool active = false;
    int done = 0;       // starts made
    int skipped = 0;    // due starts that could not be made
    QString lastResult; // "Skipped at 14:00: a run is going on."
    QDateTime next;     // the next due start; invalid: none is left

    // The first start at or after `from`, within count and until; invalid when none is.
    [[nodiscard]] QDateTime dueAtOrAfter(const QDateTime &from) const;
    // "14:30" for today, "Tue 14:30" within a week, a date further off.
    [[nodiscard]] static QString timeText(const QDateTime &at, const QDateTime &now);

    // One JSON text, as the store keeps it; the state is left out (read back paused).
    [[nodiscard]] QString toJson() const;
    [[nodiscard]] static std::optional<MethodSchedule> fromJson(const QString &text);
};

// The first start at a time of day: today if it is still ahead, else tomorrow.
[[nodiscard]] QDateTime nextTimeOfDay(const QTime &time, const QDateTime &now);

class MethodScheduler : public QObject {
    Q_OBJECT
public:
    using Now = std::function<QDateTime()>;
    // Loads the port's schedules from the store, every one of them paused.
    MethodScheduler(Session &session, Now now, QObject *parent = nullptr);

    [[nodiscard]] const QList<MethodSchedule> &schedules() const { return m_schedules; }
    // The scheduler's clock: the windows show and offer times on it.
    [[nodiscard]] QDateTime now() const { return m_now(); }
    // Adds a schedule (paused unless it says active); false and why when it is refused
    // or the store does not take it.
    bool add(MethodSchedule schedule, QString *why = nullptr);
    // Active from now on; a start missed while it was paused is not made up.
    bool resume(int index, QString *why = nullptr);
    bool pause(int index, QString *why = nullptr);
    bool remove(int index, QString *why = nullptr);
    // Starts (or skips) whatever is due; the timer calls it, tests too.
    void check();
    // The index of the schedule whose method is running; -1 when none.
    [[nodiscard]] int runningIndex() const { return m_running; }

    // How late a due start may still be made (a busy event loop, a short suspend); later
    // than this it counts as skipped.
    static constexpr qint64 kLateMs = 5 * 60 * 1000;
    // The timer re-checks at least this often: the wall clock may jump, QTimer stops during suspend.
    static constexpr int kRecheckMs = 60 * 1000;

signals:
    void changed();
    void skipped(int index, const QString &why);
    void started(int index);

private:
    void load();
    bool save(QString *why);
    void arm();
    void startDue(int index, const QDateTime &due);
    void skip(int index, const QDateTime &due, const QString &reason);
    void onMethodFinished(bool completed, const QString &why);
    [[nodiscard]] QString portKey() const;

    Session &m_session;
    Now m_now;
    // The port they were read for: the session may move to another port later, and these
    // must not be written over that port's own.
    QString m_portKey;
    QList<MethodSchedule> m_schedules;
    QTimer m_timer;
    int m_running = -1;
    QString m_runningSince; // "Started at 14:00."
    bool m_checking = false;
};

} // namespace vyt

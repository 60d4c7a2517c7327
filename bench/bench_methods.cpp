// vyt-bench-methods: how quickly a method goes from one step to the next, how long the
// check of a 200-step method takes, and (with --examples) how close the estimate of the
// example methods comes to their measured time against the simulator.
#include "journal/RunJournal.h"
#include "link/LineQueue.h"
#include "link/ControllerLink.h"
#include "session/Clock.h"
#include "session/Method.h"
#include "session/MethodRun.h"
#include "session/Session.h"
#include "sim/ControllerSim.h"
#include "support/core/StoreEnv.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QStandardPaths>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <memory>

using namespace vyt;

namespace {

struct Rig {
    sim::ControllerSim sim;
    UnattendedAttendant nobody;
    std::unique_ptr<Session> session;

    bool start()
    {
        test::useEmptyStore();
        QFile::remove(RunJournal::defaultPath());
        if (!sim.start())
            return false;
        test::mapPort(1, sim.devicePath());
        session = std::make_unique<Session>(nobody, 1);
        session->loadSettings();
        return true;
    }
};

// Runs the method to its end; prompts are answered at once. Answers the seconds it took.
double runToEnd(Session &session, const Method &method, bool *completed)
{
    QEventLoop loop;
    MethodRun &methods = session.methods();
    const auto f = QObject::connect(&methods, &MethodRun::finished, &loop,
                                    [&](bool ok, const QString &) {
                                        *completed = ok;
                                        loop.quit();
                                    });
    const auto p = QObject::connect(&methods, &MethodRun::promptWaiting, &loop, [&methods] {
        QTimer::singleShot(0, &methods, [&methods] { (void)methods.continuePrompt(); });
    });
    const qint64 start = clockNs();
    if (const auto refused = methods.start(method)) {
        std::printf("refused: %s\n", qPrintable(refused->text()));
        *completed = false;
        return -1;
    }
    loop.exec();
    QObject::disconnect(f);
    QObject::disconnect(p);
    return double(clockNs() - start) / 1e9;
}

void stepTransitions()
{
    Rig rig;
    if (!rig.start())
        return;
    rig.sim.setInstantMoves(true);
    // 51 doses of one revolution: 50 transitions from an arrival to the next step.
    const QByteArray json =
        R"({"format": "vyt-method/1", "name": "Gaps", "steps": [{"repeat": {"count": 51, "steps": [)"
        R"({"dose": {"quantity": 1.5, "unit": "µl", "repetitions": 1, "pause": 0, "pause_unit": "ms"}}]}}]})";
    MethodError error;
    const auto method = parseMethod(json, &error);
    std::vector<qint64> arrivals;
    QObject::connect(&rig.session->link().line(), &LineQueue::notification, rig.session.get(),
                     [&arrivals] { arrivals.push_back(clockNs()); });
    bool completed = false;
    runToEnd(*rig.session, *method, &completed);
    // The next step's first command as the controller received it.
    std::vector<qint64> starts;
    const QStringList lines = rig.sim.receivedLines();
    const QList<qint64> at = rig.sim.receivedAtNs();
    for (int i = 0; i < lines.size(); ++i)
        if (lines.at(i) == QLatin1String("DIPROG"))
            starts.push_back(at.at(i));
    std::vector<double> gaps;
    for (size_t k = 0; k + 1 < starts.size() && k < arrivals.size(); ++k)
        gaps.push_back(double(starts.at(k + 1) - arrivals.at(k)) / 1e6);
    std::sort(gaps.begin(), gaps.end());
    if (gaps.empty()) {
        std::printf("step transitions: none measured (completed %d)\n", int(completed));
        return;
    }
    std::printf("step transitions (arrival -> next step's DIPROG at the controller), %zu: "
                "median %.2f ms, worst %.2f ms\n",
                gaps.size(), gaps.at(gaps.size() / 2), gaps.back());
}

void checkTime()
{
    Rig rig;
    if (!rig.start())
        return;
    QByteArray steps;
    for (int i = 0; i < 200; ++i) {
        if (i > 0)
            steps += ", ";
        switch (i % 3) {
        case 0:
            steps += R"({"dose": {"quantity": 30, "unit": "µl", "repetitions": 2, "pause": 500, "pause_unit": "ms"}})";
            break;
        case 1: steps += R"({"flow": {"rate": 2, "unit": "ml/min", "duration": 30, "duration_unit": "s"}})"; break;
        default: steps += R"({"wait": {"duration": 1, "duration_unit": "min"}})"; break;
        }
    }
    const QByteArray json = R"({"format": "vyt-method/1", "name": "Long", "steps": [)" + steps + "]}";
    std::vector<double> ms;
    for (int run = 0; run < 21; ++run) {
        QElapsedTimer t;
        t.start();
        MethodError error;
        const auto method = parseMethod(json, &error);
        const auto actions = planMethod(*method, rig.session->state(), std::nullopt, &error);
        const MethodTotal total = estimateMethod(*actions, rig.session->state());
        (void)total;
        ms.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("check of a 200-step method (read, check every step, estimate): median %.2f ms, "
                "worst %.2f ms\n",
                ms.at(ms.size() / 2), ms.back());
}

void examples(const QString &folder)
{
    for (const QString &name : QDir(folder).entryList({QStringLiteral("*.vytmethod")})) {
        Rig rig;
        if (!rig.start())
            return;
        QFile file(folder + QLatin1Char('/') + name);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        MethodError error;
        const auto method = parseMethod(file.readAll(), &error);
        const auto actions = planMethod(*method, rig.session->state(), std::nullopt, &error);
        const double estimate = estimateMethod(*actions, rig.session->state()).seconds;
        bool completed = false;
        const double measured = runToEnd(*rig.session, *method, &completed);
        std::printf("%s: estimate %.2f s, measured %.2f s (%+.2f %%), completed %d\n",
                    qPrintable(name), estimate, measured, (measured - estimate) / estimate * 100.0,
                    int(completed));
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    const QStringList args = app.arguments();
    const int at = int(args.indexOf(QStringLiteral("--examples")));
    if (at >= 0) {
        examples(args.value(at + 1, QStringLiteral("examples")));
        return 0;
    }
    checkTime();
    stepTransitions();
    return 0;
}

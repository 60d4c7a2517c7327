// The console's live plot: its ring of samples, the window it draws, the limit lines,
// pause and auto scale, and that polling with the plot open sends what it sends without.
#include "console/LiveTools.h"
#include "console/SampleRing.h"
#include "console/frmLivePlot.h"
#include "support/ConsoleRig.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineSeries>
#include <QTest>
#include <QValueAxis>
#include <algorithm>

using namespace vyt;

namespace {

// n samples 300 ms apart from t = 0, speed and current rising with i.
void feed(frmLivePlot &plot, int n, int from = 0)
{
    for (int i = from; i < from + n; ++i)
        plot.addSample({qint64(i) * 300, 10 * i, i});
}

// The plot draws from the event loop, soon after a sample.
[[nodiscard]] bool drawn(const frmLivePlot &plot)
{
    return QTest::qWaitFor([&] { return !plot.redrawPending(); }, 5000);
}

double lastX(const QLineSeries *s)
{
    return s->count() ? s->at(s->count() - 1).x() : -1;
}

} // namespace

class TestPlot : public QObject {
    Q_OBJECT

private slots:
    void ring_data();
    void ring();
    void timeSpan_data();
    void timeSpan();
    void limitsFollowState_data();
    void limitsFollowState();
    void pauseHoldsTraces();
    void autoScale_data();
    void autoScale();
    void sameLinesWithPlotOpen();
};

void TestPlot::ring_data()
{
    QTest::addColumn<int>("pushed");
    QTest::addColumn<int>("size");
    QTest::addColumn<qint64>("oldest");
    QTest::addColumn<qint64>("from");
    QTest::addColumn<int>("index");
    // Capacity 4; sample i is at i * 10 ms.
    QTest::newRow("empty") << 0 << 0 << qint64(-1) << qint64(0) << 0;
    QTest::newRow("not full") << 3 << 3 << qint64(0) << qint64(15) << 2;
    QTest::newRow("full") << 4 << 4 << qint64(0) << qint64(30) << 3;
    QTest::newRow("wrapped") << 7 << 4 << qint64(30) << qint64(45) << 2;
    QTest::newRow("wrapped twice") << 9 << 4 << qint64(50) << qint64(0) << 0;
    QTest::newRow("after the newest") << 9 << 4 << qint64(50) << qint64(81) << 4;
}

void TestPlot::ring()
{
    QFETCH(int, pushed);
    QFETCH(int, size);
    QFETCH(qint64, oldest);
    QFETCH(qint64, from);
    QFETCH(int, index);
    SampleRing ring(4);
    for (int i = 0; i < pushed; ++i)
        ring.push({qint64(i) * 10, i, -i});
    QCOMPARE(ring.size(), size);
    if (size > 0) {
        QCOMPARE(ring.at(0).ms, oldest);
        QCOMPARE(ring.newest().ms, qint64(pushed - 1) * 10);
        for (int i = 1; i < ring.size(); ++i)
            QCOMPARE(ring.at(i).ms, ring.at(i - 1).ms + 10);
    }
    QCOMPARE(ring.firstAtOrAfter(from), index);
}

void TestPlot::timeSpan_data()
{
    QTest::addColumn<int>("span");
    for (const int s : frmLivePlot::spans())
        QTest::newRow(qPrintable(QString::number(s) + " s")) << s;
}

void TestPlot::timeSpan()
{
    QFETCH(int, span);
    PumpState state;
    frmLivePlot plot(state);
    QCOMPARE(plot.spanSeconds(), frmLivePlot::kDefaultSpanSeconds);
    // Twelve minutes of samples, more than the longest span, drawn when shown; one
    // speed peak six minutes in.
    const int n = 12 * 60 * 1000 / 300;
    feed(plot, n / 2);
    plot.addSample({qint64(n / 2) * 300, 99999, 0});
    feed(plot, n / 2 - 1, n / 2 + 1);
    plot.show();
    plot.setSpanSeconds(span);
    QCOMPARE(plot.spanSeconds(), span);

    const double end = double(n - 1) * 0.3;
    QCOMPARE(plot.timeAxis()->max(), end);
    QCOMPARE(plot.timeAxis()->min(), end - span);
    // The window's samples and one before it, so the traces reach the left edge; a
    // long window drawn with fewer points than samples, its peak kept.
    const int expected = int(span / 0.3 + 1e-9) + 2;
    const QLineSeries *speed = plot.speedSeries();
    QVERIFY2(speed->count() <= expected + 1 && speed->count() >= std::min(expected - 1, 400),
             qPrintable(QString::number(speed->count())));
    QVERIFY(speed->at(0).x() <= end - span);
    QVERIFY(speed->at(1).x() >= end - span);
    QCOMPARE(lastX(speed), end);
    QCOMPARE(speed->at(speed->count() - 1).y(), 10.0 * (n - 1));
    const bool peakShown = std::any_of(speed->points().cbegin(), speed->points().cend(),
                                       [](const QPointF &p) { return p.y() == 99999; });
    QCOMPARE(peakShown, span >= end - (n / 2) * 0.3);
    QCOMPARE(plot.currentSeries()->at(plot.currentSeries()->count() - 1).y(), double(n - 1));
}

void TestPlot::limitsFollowState_data()
{
    QTest::addColumn<float>("continuous");
    QTest::addColumn<float>("peak");
    QTest::newRow("defaults") << 230.0f << 400.0f;
    QTest::newRow("lowered") << 150.0f << 210.0f;
    QTest::newRow("raised") << 1200.0f << 2500.0f;
}

void TestPlot::limitsFollowState()
{
    QFETCH(float, continuous);
    QFETCH(float, peak);
    PumpState state;
    frmLivePlot plot(state);
    plot.show();
    feed(plot, 5);
    state.settings.Dauerstrom = continuous;
    state.settings.Spitzenstrom = peak;
    feed(plot, 1, 5);
    QVERIFY(drawn(plot));
    for (const auto &[series, value] : {std::pair{plot.continuousLimitSeries(), continuous},
                                        std::pair{plot.peakLimitSeries(), peak}}) {
        QCOMPARE(series->count(), 2);
        QCOMPARE(series->at(0).y(), double(value));
        QCOMPARE(series->at(1).y(), double(value));
        QCOMPARE(series->at(0).x(), plot.timeAxis()->min());
        QCOMPARE(series->at(1).x(), plot.timeAxis()->max());
        QCOMPARE(series->pen().style(), Qt::DashLine);
        // Auto scale keeps the limits in view.
        QVERIFY(plot.currentAxis()->max() >= value);
    }
}

void TestPlot::pauseHoldsTraces()
{
    PumpState state;
    frmLivePlot plot(state);
    // Ninety seconds: longer than the span, so the window ends at the newest sample.
    const int n = 300;
    feed(plot, n);
    plot.show();
    auto *pause = plot.findChild<QPushButton *>(QStringLiteral("cmdPause"));
    pause->click();
    QVERIFY(plot.isPaused());
    const QList<QPointF> held = plot.speedSeries()->points();
    const double heldMax = plot.timeAxis()->max();

    feed(plot, 10, n);
    QCOMPARE(plot.speedSeries()->points(), held);
    QCOMPARE(plot.timeAxis()->max(), heldMax);
    QCOMPARE(plot.samples().size(), n + 10);
    QVERIFY(plot.findChild<QLabel *>(QStringLiteral("lblLatest"))
                ->text()
                .contains(QStringLiteral("paused")));
    // A shorter span while paused still ends where the pause began.
    plot.setSpanSeconds(10);
    QCOMPARE(plot.timeAxis()->max(), heldMax);
    QCOMPARE(lastX(plot.speedSeries()), held.constLast().x());

    pause->click();
    QVERIFY(!plot.isPaused());
    QCOMPARE(lastX(plot.speedSeries()), (n + 9) * 0.3);
    QCOMPARE(plot.timeAxis()->max(), (n + 9) * 0.3);
}

void TestPlot::autoScale_data()
{
    QTest::addColumn<bool>("autoScale");
    QTest::addColumn<int>("rpm");
    QTest::addColumn<int>("mA");
    QTest::addColumn<double>("speedMin");
    QTest::addColumn<double>("speedMax");
    QTest::addColumn<double>("currentMax");
    // The limits are 230 and 400 mA.
    QTest::newRow("slow, little current") << true << 1000 << 25 << 0.0 << 1500.0 << 500.0;
    QTest::newRow("fast, over the peak") << true << 5800 << 650 << 0.0 << 6000.0 << 800.0;
    QTest::newRow("backwards") << true << -3000 << 120 << -4000.0 << 1000.0 << 500.0;
    QTest::newRow("off: full scales") << false << 1000 << 25 << 0.0 << 6000.0 << 2800.0;
}

void TestPlot::autoScale()
{
    QFETCH(bool, autoScale);
    QFETCH(int, rpm);
    QFETCH(int, mA);
    QFETCH(double, speedMin);
    QFETCH(double, speedMax);
    QFETCH(double, currentMax);
    PumpState state;
    frmLivePlot plot(state);
    plot.show();
    plot.findChild<QCheckBox *>(QStringLiteral("cbxAutoScale"))->setChecked(autoScale);
    for (int i = 0; i < 10; ++i)
        plot.addSample({i * 300, i < 5 ? 0 : rpm, i < 5 ? 0 : mA});
    QVERIFY(drawn(plot));
    QCOMPARE(plot.speedAxis()->min(), speedMin);
    QCOMPARE(plot.speedAxis()->max(), speedMax);
    QCOMPARE(plot.currentAxis()->min(), 0.0);
    QCOMPARE(plot.currentAxis()->max(), currentMax);

    // Switched off, the scale stays where it is whatever comes.
    plot.setAutoScale(false);
    plot.addSample({3000, 2 * rpm + 9000, 3 * mA + 3000});
    QVERIFY(drawn(plot));
    QCOMPARE(lastX(plot.speedSeries()), 3.0);
    QCOMPARE(plot.speedAxis()->max(), speedMax);
    QCOMPARE(plot.currentAxis()->max(), currentMax);
}

void TestPlot::sameLinesWithPlotOpen()
{
    test::ConsoleRig rig;
    QVERIFY(rig.open());
    rig.sim().setReply(QStringLiteral("GN"), QStringLiteral("1200"));
    rig.sim().setReply(QStringLiteral("GRC"), QStringLiteral("300"));
    const int kCycles = 6;
    const QList<qint64> without = rig.pollCycles(kCycles);
    const QStringList linesWithout = rig.sentLines();

    rig.button("cmdPlot")->click();
    frmLivePlot *plot = rig.tools().plot();
    QVERIFY(plot);
    QCOMPARE(plot->objectName(), QStringLiteral("frmLivePlot"));
    QVERIFY(plot->isVisible() && plot->isWindow());
    QCOMPARE(plot->windowModality(), Qt::NonModal);
    // A second click brings the same window forward.
    rig.button("cmdPlot")->click();
    QCOMPARE(rig.tools().plot(), plot);
    const int redraws = plot->redraws();
    const QList<qint64> with = rig.pollCycles(kCycles);
    const QStringList linesWith = rig.sentLines();

    QStringList expected;
    for (int i = 0; i < kCycles; ++i)
        expected << "GN"
                 << "GFS"
                 << "GRC";
    QCOMPARE(linesWithout, expected);
    QCOMPARE(linesWith, expected);
    QCOMPARE(plot->samples().size(), kCycles);
    // Drawn once a cycle, not more.
    QVERIFY(drawn(*plot));
    QCOMPARE(plot->redraws() - redraws, kCycles);
    QCOMPARE(plot->speedSeries()->count(), kCycles);
    QCOMPARE(plot->speedSeries()->at(0).y(), 1200.0);
    QCOMPARE(plot->currentSeries()->at(0).y(), 300.0);

    // The plot adds nothing to a cycle: the pause and the reads take what they took
    // without it (medians, so that a busy machine's odd late cycle does not count).
    const auto median = [](QList<qint64> t) {
        QList<qint64> d;
        for (int i = 1; i < t.size(); ++i)
            d << t.at(i) - t.at(i - 1);
        std::sort(d.begin(), d.end());
        return d.at(d.size() / 2);
    };
    QVERIFY2(median(with) >= 300 && median(with) <= median(without) + 5,
             qPrintable(QStringLiteral("%1 vs %2").arg(median(with)).arg(median(without))));
    QCOMPARE(rig.messages.count(), 0);
}

QTEST_MAIN(TestPlot)
#include "tst_plot.moc"

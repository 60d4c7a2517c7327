// The console's live plot: its ring of samples, the window it draws, the limit lines,
// pause and auto scale, and that polling with the plot open sends what it sends without.
#include "console/LiveTools.h"
#include "console/SampleRing.h"
#include "console/frmLivePlot.h"
#include "support/ConsoleRig.h"
#include "support/AppFixture.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineSeries>
#include <QScreen>
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
    void placeLeavesTheConsoleFree_data();
    void placeLeavesTheConsoleFree();
    void plotKeepsItsPlace_data();
    void plotKeepsItsPlace();
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

void TestPlot::placeLeavesTheConsoleFree_data()
{
    // Frame sizes as on a 96 dpi screen under a window manager: the console 712 x 688 with
    // its terminal and function keys in its top 410 px, the plot 770 x 490, at least
    // 510 x 400. "centre" stands for a console centred on the screen.
    QTest::addColumn<QRect>("area");
    QTest::addColumn<QPoint>("consoleAt");
    QTest::addColumn<QString>("free"); // of the console, of its terminal and keys, or none
    const QPoint centre(-1, -1);
    QTest::newRow("1280x1024, console centred") << QRect(0, 0, 1280, 1024) << centre << "keys";
    QTest::newRow("1280x1024, console top left")
        << QRect(0, 0, 1280, 1024) << QPoint(0, 0) << "console";
    QTest::newRow("1280x1024, console bottom right")
        << QRect(0, 0, 1280, 1024) << QPoint(568, 336) << "console";
    QTest::newRow("1280x1024, console top centre")
        << QRect(0, 0, 1280, 1024) << QPoint(284, 0) << "keys";
    QTest::newRow("1280x1024 below a panel, console centred")
        << QRect(0, 28, 1280, 996) << centre << "keys";
    QTest::newRow("1920x1080, console centred") << QRect(0, 0, 1920, 1080) << centre << "console";
    QTest::newRow("2560x1440, console centred") << QRect(0, 0, 2560, 1440) << centre << "console";
    QTest::newRow("second screen 1280x1024, console centred")
        << QRect(1920, 0, 1280, 1024) << centre << "keys";
    QTest::newRow("1600x1200, console centred") << QRect(0, 0, 1600, 1200) << centre << "keys";
    QTest::newRow("1366x768, console centred") << QRect(0, 0, 1366, 768) << centre << "";
    QTest::newRow("1024x768, console top left") << QRect(0, 0, 1024, 768) << QPoint(0, 0) << "";
    QTest::newRow("800x600, console centred") << QRect(0, 0, 800, 600) << centre << "";
}

void TestPlot::placeLeavesTheConsoleFree()
{
    QFETCH(QRect, area);
    QFETCH(QPoint, consoleAt);
    QFETCH(QString, free);
    QRect console(consoleAt, QSize(712, 688));
    if (consoleAt == QPoint(-1, -1))
        console.moveCenter(area.center());
    const QRect kept(console.topLeft(), QSize(console.width(), 410));
    const QSize least(510, 400);
    const QRect place = livePlotPlace(area, console, kept, QSize(770, 490), least);
    QVERIFY2(area.contains(place), qPrintable(QStringLiteral("%1 %2 %3 %4")
                                                  .arg(place.x())
                                                  .arg(place.y())
                                                  .arg(place.width())
                                                  .arg(place.height())));
    QVERIFY(place.width() >= std::min(least.width(), area.width()));
    QVERIFY(place.height() >= std::min(least.height(), area.height()));
    if (free == QLatin1String("console"))
        QVERIFY(!place.intersects(console));
    if (free == QLatin1String("keys")) {
        QVERIFY(!place.intersects(kept));
        // Over the console's lower right, away from its polling and parameter buttons.
        QCOMPARE(place.right(), area.right());
    }
}

void TestPlot::plotKeepsItsPlace_data()
{
    QTest::addColumn<QString>("stored"); // in [Windows] before the console opens
    QTest::addColumn<bool>("kept");      // the stored place is taken
    QTest::newRow("nothing stored") << "" << false;
    QTest::newRow("a place on the screen") << "30 40 560 420" << true;
    QTest::newRow("a place on a screen that is gone") << "-5000 40 560 420" << false;
}

void TestPlot::plotKeepsItsPlace()
{
    QFETCH(QString, stored);
    QFETCH(bool, kept);
    test::ConsoleRig rig;
    QVERIFY(rig.openPort());
    if (!stored.isEmpty())
        test::storeValue("Windows", "LivePlot", stored);
    rig.show();
    rig.button("cmdPlot")->click();
    frmLivePlot *plot = rig.tools().plot();
    QVERIFY(plot && QTest::qWaitForWindowExposed(plot));
    const QRect area = rig.console->screen()->availableGeometry();
    QVERIFY(area.contains(plot->frameGeometry()));
    if (kept)
        QCOMPARE(QStringLiteral("%1 %2 %3 %4")
                     .arg(plot->x())
                     .arg(plot->y())
                     .arg(plot->width())
                     .arg(plot->height()),
                 stored);
    // The operator's place, kept when the plot closes and taken by the next console's plot.
    plot->resize(600, 420);
    plot->move(20, 10);
    plot->close();
    QCOMPARE(test::storedValue("Windows", "LivePlot"), QStringLiteral("20 10 600 420"));
    rig.console.reset();
    rig.show();
    rig.button("cmdPlot")->click();
    plot = rig.tools().plot();
    QVERIFY(plot && QTest::qWaitForWindowExposed(plot));
    QCOMPARE(QRect(plot->pos(), plot->size()), QRect(20, 10, 600, 420));
    QCOMPARE(rig.messages.count(), 0);
}

QTEST_MAIN(TestPlot)
#include "tst_plot.moc"

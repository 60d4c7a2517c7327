#include "console/frmLivePlot.h"

#include "config/NumberText.h"
#include "config/PumpState.h"
#include "session/Clock.h"
#include "ui_frmLivePlot.h"

#include <QChart>
#include <QChartView>
#include <QLineSeries>
#include <QSignalBlocker>
#include <QValueAxis>
#include <algorithm>
#include <cmath>

namespace vyt {
namespace {

// The colours of the console's bars: dark blue speed, red current.
const QColor kSpeedColour(0, 0, 192);
const QColor kCurrentColour(255, 0, 0);
const QColor kContinuousColour(230, 140, 0);
const QColor kPeakColour(140, 0, 0);

constexpr int kTimeTicks = 6;
constexpr int kMinPoints = 400;
// Before the first values and with auto scale off from the start: the bars' full scales.
constexpr double kSpeedFullScale = 6000;
constexpr double kCurrentFullScale = 2800;

struct Span {
    int seconds;
    const char *name;
};
constexpr Span kSpans[] = {{10, QT_TRANSLATE_NOOP("frmLivePlot", "10 s")},
                           {30, QT_TRANSLATE_NOOP("frmLivePlot", "30 s")},
                           {60, QT_TRANSLATE_NOOP("frmLivePlot", "1 min")},
                           {120, QT_TRANSLATE_NOOP("frmLivePlot", "2 min")},
                           {300, QT_TRANSLATE_NOOP("frmLivePlot", "5 min")},
                           {600, QT_TRANSLATE_NOOP("frmLivePlot", "10 min")}};

struct AxisRange {
    double lo;
    double hi;
    int ticks;
};

// 1, 2 or 5 times a power of ten, at least x.
double niceStep(double x)
{
    const double power = std::pow(10.0, std::floor(std::log10(x)));
    for (const double m : {1.0, 2.0, 5.0})
        if (m * power >= x)
            return m * power;
    return 10.0 * power;
}

// Zero stays in view, the range is at least minSpan wide and ends on round numbers.
AxisRange niceRange(double lo, double hi, double minSpan)
{
    lo = std::min(lo, 0.0);
    hi = std::max(hi, 0.0);
    if (hi - lo < minSpan)
        hi = lo + minSpan;
    const double step = niceStep((hi - lo) * 1.05 / 5.0);
    double niceLo = std::floor(lo / step) * step;
    double niceHi = std::ceil(hi / step) * step;
    // A reading on the top or bottom line would touch the plot's edge; zero may.
    const double margin = 0.02 * (niceHi - niceLo);
    if (niceHi - hi < margin)
        niceHi += step;
    if (lo < 0 && lo - niceLo < margin)
        niceLo -= step;
    return {niceLo, niceHi, int(std::lround((niceHi - niceLo) / step)) + 1};
}

// More points than the plot has pixel columns only cost drawing time. Past that, each
// run of neighbouring samples keeps its lowest and its highest value, so no peak is lost.
QList<QPointF> thinned(const QList<QPointF> &points, int maxPoints)
{
    if (points.size() <= maxPoints)
        return points;
    const auto byValue = [](const QPointF &a, const QPointF &b) { return a.y() < b.y(); };
    // The first and the last point stay as they are: they reach the plot's edges.
    const int runs = maxPoints / 2;
    const qsizetype inner = points.size() - 2;
    const double perRun = double(inner) / runs;
    QList<QPointF> out;
    out.reserve(maxPoints + 2);
    out << points.constFirst();
    for (int r = 0; r < runs; ++r) {
        const auto from = points.cbegin() + 1 + qsizetype(r * perRun);
        const auto to = points.cbegin() + 1 + std::min(inner, qsizetype((r + 1) * perRun));
        if (from >= to)
            continue;
        const auto [lo, hi] = std::minmax_element(from, to, byValue);
        out << (lo->x() < hi->x() ? *lo : *hi);
        if (lo != hi)
            out << (lo->x() < hi->x() ? *hi : *lo);
    }
    out << points.constLast();
    return out;
}

QLineSeries *series(const QString &name, const QColor &colour, Qt::PenStyle style)
{
    auto *s = new QLineSeries;
    s->setName(name);
    QPen pen(colour);
    pen.setWidthF(style == Qt::SolidLine ? 1.5 : 1.0);
    pen.setStyle(style);
    s->setPen(pen);
    return s;
}

QValueAxis *axis(const QString &title, const QColor &colour, const char *format)
{
    auto *a = new QValueAxis;
    a->setTitleText(title);
    a->setLabelFormat(QString::fromLatin1(format));
    if (colour.isValid()) {
        a->setTitleBrush(colour);
        a->setLabelsColor(colour);
    }
    return a;
}

void replaceIfChanged(QValueAxis *axis, const AxisRange &r)
{
    if (axis->min() != r.lo || axis->max() != r.hi)
        axis->setRange(r.lo, r.hi);
    if (axis->tickCount() != r.ticks)
        axis->setTickCount(r.ticks);
}

} // namespace

frmLivePlot::frmLivePlot(const PumpState &state, QWidget *parent)
    : QWidget(parent), m_state(state), m_ui(std::make_unique<Ui::frmLivePlot>())
{
    m_ui->setupUi(this);
    setWindowFlag(Qt::Window, true);
    buildChart();

    {
        // Filled without signals (addItem on an empty list selects and signals).
        const QSignalBlocker blocker(m_ui->cboSpan);
        for (const Span &s : kSpans)
            m_ui->cboSpan->addItem(tr(s.name), s.seconds);
        m_ui->cboSpan->setCurrentIndex(m_ui->cboSpan->findData(kDefaultSpanSeconds));
    }
    connect(m_ui->cboSpan, &QComboBox::currentIndexChanged, this, [this] { redraw(); });
    connect(m_ui->cmdPause, &QPushButton::toggled, this, &frmLivePlot::setPaused);
    connect(m_ui->cbxAutoScale, &QCheckBox::toggled, this, [this] { redraw(); });
    connect(m_ui->cmdClose, &QPushButton::clicked, this, &QWidget::close);
    // Drawn from the event loop, inside the poll's pause: the cycle that brought the
    // values goes on at once and its timing does not depend on the plot.
    m_redrawTimer.setSingleShot(true);
    m_redrawTimer.setInterval(0);
    connect(&m_redrawTimer, &QTimer::timeout, this, &frmLivePlot::redraw);
    redraw();
}

frmLivePlot::~frmLivePlot() = default;

void frmLivePlot::buildChart()
{
    auto *chart = new QChart;
    chart->legend()->setAlignment(Qt::AlignBottom);
    chart->setMargins(QMargins(4, 4, 4, 4));
    m_speed = series(tr("Speed [rpm]"), kSpeedColour, Qt::SolidLine);
    m_current = series(tr("Current [mA]"), kCurrentColour, Qt::SolidLine);
    m_continuousLimit = series(tr("Continuous current limit"), kContinuousColour, Qt::DashLine);
    m_peakLimit = series(tr("Peak current limit"), kPeakColour, Qt::DashLine);
    m_timeAxis = axis(tr("Time [s]"), QColor(), "%.0f");
    m_speedAxis = axis(tr("Speed [rpm]"), kSpeedColour, "%.0f");
    m_currentAxis = axis(tr("Current [mA]"), kCurrentColour, "%.0f");
    // Round time marks that move with the traces rather than marks fixed to the frame.
    m_timeAxis->setTickType(QValueAxis::TicksDynamic);
    m_timeAxis->setTickAnchor(0);
    m_speedAxis->setRange(0, kSpeedFullScale);
    m_currentAxis->setRange(0, kCurrentFullScale);

    chart->addAxis(m_timeAxis, Qt::AlignBottom);
    chart->addAxis(m_speedAxis, Qt::AlignLeft);
    chart->addAxis(m_currentAxis, Qt::AlignRight);
    for (QLineSeries *s : {m_speed, m_current, m_continuousLimit, m_peakLimit}) {
        chart->addSeries(s);
        s->attachAxis(m_timeAxis);
        s->attachAxis(s == m_speed ? m_speedAxis : m_currentAxis);
    }
    m_ui->chartView->setChart(chart);
    m_ui->chartView->setRenderHint(QPainter::Antialiasing, true);
}

QList<int> frmLivePlot::spans()
{
    QList<int> all;
    for (const Span &s : kSpans)
        all << s.seconds;
    return all;
}

void frmLivePlot::setSpanSeconds(int seconds)
{
    const int i = m_ui->cboSpan->findData(seconds);
    if (i >= 0)
        m_ui->cboSpan->setCurrentIndex(i);
}

int frmLivePlot::spanSeconds() const
{
    return m_ui->cboSpan->currentData().toInt();
}

void frmLivePlot::setPaused(bool paused)
{
    if (m_ui->cmdPause->isChecked() != paused) {
        m_ui->cmdPause->setChecked(paused); // comes back here through toggled
        return;
    }
    if (m_paused == paused)
        return;
    m_paused = paused;
    m_pausedAtMs = m_ring.isEmpty() ? 0 : m_ring.newest().ms;
    m_ui->cmdPause->setText(paused ? tr("&Resume") : tr("&Pause"));
    redraw();
}

void frmLivePlot::setAutoScale(bool on)
{
    m_ui->cbxAutoScale->setChecked(on);
}

bool frmLivePlot::autoScale() const
{
    return m_ui->cbxAutoScale->isChecked();
}

void frmLivePlot::liveValues(qint32 rpm, qint32 mA, const QString &)
{
    addSample({clockMs(), rpm, mA});
}

void frmLivePlot::addSample(const LiveSample &sample)
{
    if (m_ring.isEmpty())
        m_originMs = sample.ms;
    m_ring.push(sample);
    // Kept while paused or hidden, drawn when the operator looks again.
    if (!m_paused && isVisible())
        m_redrawTimer.start();
}

void frmLivePlot::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    redraw();
}

void frmLivePlot::redraw()
{
    m_redrawTimer.stop();
    ++m_redraws;
    const double span = spanSeconds();
    const qint64 endMs = m_ring.isEmpty() ? m_originMs
                         : m_paused       ? m_pausedAtMs
                                          : m_ring.newest().ms;
    const double toS = std::max(span, seconds(endMs));
    const double fromS = toS - span;

    QList<QPointF> speed;
    QList<QPointF> current;
    // One sample before the window, so the traces reach its left edge.
    int i = std::max(0, m_ring.firstAtOrAfter(endMs - qint64(span * 1000.0)) - 1);
    speed.reserve(m_ring.size() - i);
    current.reserve(m_ring.size() - i);
    double speedLo = 0, speedHi = 0, currentLo = 0, currentHi = 0;
    for (; i < m_ring.size() && m_ring.at(i).ms <= endMs; ++i) {
        const LiveSample &s = m_ring.at(i);
        const double x = seconds(s.ms);
        speed.append(QPointF(x, s.rpm));
        current.append(QPointF(x, s.mA));
        speedLo = std::min(speedLo, double(s.rpm));
        speedHi = std::max(speedHi, double(s.rpm));
        currentLo = std::min(currentLo, double(s.mA));
        currentHi = std::max(currentHi, double(s.mA));
    }
    // A point a pixel column at most (a low and a high every two); before the first
    // layout, a common width.
    const int columns = int(m_ui->chartView->chart()->plotArea().width());
    const int maxPoints = std::max(kMinPoints, columns > 0 ? columns : 600);
    m_speed->replace(thinned(speed, maxPoints));
    m_current->replace(thinned(current, maxPoints));
    m_timeAxis->setRange(fromS, toS);
    m_timeAxis->setTickInterval(niceStep(span / kTimeTicks));
    drawLimits(fromS, toS);
    if (autoScale() && !speed.isEmpty())
        scaleAxes(speedLo, speedHi, currentLo, currentHi);

    if (!speed.isEmpty())
        m_ui->lblLatest->setText(tr("%1 rpm, %2 mA%3")
                                     .arg(integerForm(qint64(speed.constLast().y())),
                                          integerForm(qint64(current.constLast().y())),
                                          m_paused ? tr(" (paused)") : QString()));
}

void frmLivePlot::drawLimits(double fromS, double toS)
{
    const double continuous = m_state.settings.Dauerstrom;
    const double peak = m_state.settings.Spitzenstrom;
    m_continuousLimit->replace({QPointF(fromS, continuous), QPointF(toS, continuous)});
    m_peakLimit->replace({QPointF(fromS, peak), QPointF(toS, peak)});
}

void frmLivePlot::scaleAxes(double speedLo, double speedHi, double currentLo, double currentHi)
{
    // The limits stay in view, so a current can always be judged against them.
    const double peak =
        std::max<double>(m_state.settings.Spitzenstrom, m_state.settings.Dauerstrom);
    replaceIfChanged(m_speedAxis, niceRange(speedLo, speedHi, 100));
    replaceIfChanged(m_currentAxis, niceRange(currentLo, std::max(currentHi, peak), 50));
}

} // namespace vyt

#include "methods/frmMethods.h"

#include "methods/dlgMethodTrial.h"

#include "config/LastFolders.h"
#include "config/MediaPresets.h"
#include "config/NumberText.h"
#include "config/PumpCatalog.h"
#include "config/SettingsStore.h"
#include "config/Units.h"
#include "session/MethodRun.h"
#include "session/RunReport.h"
#include "session/Session.h"
#include "methods/ScheduleDialog.h"
#include "session/MethodSchedule.h"
#include "ui/MessageBox.h"
#include "ui/PlainText.h"

#include <QApplication>
#include <QScopedValueRollback>
#include <functional>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QJsonArray>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QSpinBox>
#include <QStackedWidget>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <cmath>

namespace vyt {
namespace {

enum Column { StepColumn, WhatColumn, TimeColumn, AmountColumn };

const MethodStep::Kind kKinds[] = {MethodStep::Kind::Dose, MethodStep::Kind::Flow, MethodStep::Kind::Wait,
                                   MethodStep::Kind::Prompt, MethodStep::Kind::Repeat};

QString kindTitle(MethodStep::Kind kind)
{
    switch (kind) {
    case MethodStep::Kind::Dose: return frmMethods::tr("Dose");
    case MethodStep::Kind::Flow: return frmMethods::tr("Flow");
    case MethodStep::Kind::Wait: return frmMethods::tr("Wait");
    case MethodStep::Kind::Prompt: return frmMethods::tr("Prompt");
    case MethodStep::Kind::Repeat: return frmMethods::tr("Repeat");
    }
    return {};
}

QString pathOf(const QString &prefix, int index)
{
    return prefix.isEmpty() ? QString::number(index + 1) : prefix + QLatin1Char('.') + QString::number(index + 1);
}

// A field's text as the document holds it: a number when it reads as one (in the
// window's form or with a point), else the text itself, which the check then refuses.
QJsonValue numberValue(const QString &text)
{
    const QString t = text.trimmed();
    for (const QLocale &locale : {QLocale(), QLocale::c()}) {
        bool ok = false;
        const double v = locale.toDouble(t, &ok);
        if (ok && std::isfinite(v))
            return v;
    }
    return t;
}

QString valueText(const QJsonValue &v)
{
    return v.isDouble() ? generalForm(v.toDouble()) : v.toString();
}

QString describe(const MethodStep &s)
{
    const QJsonObject &o = s.order;
    switch (s.kind) {
    case MethodStep::Kind::Dose: {
        const QJsonValue reps = o.value(QStringLiteral("repetitions"));
        const QString times = reps.isString() && reps.toString() == QLatin1String("endless")
                                  ? frmMethods::tr("endless")
                                  : frmMethods::tr("× %1").arg(valueText(reps));
        return frmMethods::tr("Dose %1 %2 %3, pause %4 %5")
            .arg(valueText(o.value(QStringLiteral("quantity"))), o.value(QStringLiteral("unit")).toString(), times,
                 valueText(o.value(QStringLiteral("pause"))), o.value(QStringLiteral("pause_unit")).toString());
    }
    case MethodStep::Kind::Flow: {
        const QJsonValue d = o.value(QStringLiteral("duration"));
        const QString lasting = d.isDouble() && d.toDouble() == 0
                                    ? frmMethods::tr("until Stop")
                                    : frmMethods::tr("for %1 %2").arg(valueText(d),
                                                                      o.value(QStringLiteral("duration_unit")).toString());
        return frmMethods::tr("Flow %1 %2 %3")
            .arg(valueText(o.value(QStringLiteral("rate"))), o.value(QStringLiteral("unit")).toString(), lasting);
    }
    case MethodStep::Kind::Wait: return frmMethods::tr("Wait %1 %2").arg(generalForm(s.duration), s.durationUnit);
    case MethodStep::Kind::Prompt: return frmMethods::tr("Prompt: %1").arg(s.text.simplified());
    case MethodStep::Kind::Repeat: return frmMethods::tr("Repeat %1 times").arg(s.count);
    }
    return {};
}

MethodStep newStep(MethodStep::Kind kind)
{
    MethodStep s;
    s.kind = kind;
    switch (kind) {
    case MethodStep::Kind::Dose:
        s.order = {{QStringLiteral("quantity"), 10.0}, {QStringLiteral("unit"), mengeEinheiten().at(0)},
                   {QStringLiteral("repetitions"), 1.0}, {QStringLiteral("pause"), 0.0},
                   {QStringLiteral("pause_unit"), zeitEinheiten().at(1)}};
        break;
    case MethodStep::Kind::Flow:
        s.order = {{QStringLiteral("rate"), 1.0}, {QStringLiteral("unit"), foerderstromEinheiten().at(0)},
                   {QStringLiteral("duration"), 10.0}, {QStringLiteral("duration_unit"), zeitEinheiten().at(1)}};
        break;
    case MethodStep::Kind::Wait:
        s.duration = 10;
        s.durationUnit = zeitEinheiten().at(1);
        break;
    case MethodStep::Kind::Prompt: s.text = frmMethods::tr("Continue when ready."); break;
    case MethodStep::Kind::Repeat: s.count = 2; break;
    }
    return s;
}

QString amountText(double amount, const QString &unit)
{
    return unit.isEmpty() ? QString() : generalForm(float(amount)) + QLatin1Char(' ') + unit;
}

QString timeText(double seconds)
{
    return seconds < 0 ? frmMethods::tr("until Stop") : durationText(std::ceil(seconds));
}

} // namespace

frmMethods::frmMethods(Session &session, QWidget *parent) : QWidget(parent, Qt::Window), m_session(session)
{
    setObjectName(QStringLiteral("frmMethods"));
    setWindowTitle(tr("Methods"));
    buildWindow();
    m_method.name = tr("New method");
    setMethod(m_method);
    MethodRun &methods = session.methods();
    connect(&methods, &MethodRun::started, this, &frmMethods::onStarted);
    connect(&methods, &MethodRun::finished, this, &frmMethods::onFinished);
    connect(&methods, &MethodRun::progressChanged, this, [this] {
        if (m_session.methods().running())
            m_status->setText(m_session.methods().statusLine());
    });
    // The check follows the pump in use: another type or other drive values.
    connect(&session, &Session::settingsChanged, this, &frmMethods::recheck);
    qApp->installEventFilter(this);
    if (methods.running())
        onStarted();
}

frmMethods::~frmMethods()
{
    qApp->removeEventFilter(this);
}

QPushButton *frmMethods::button(const char *name, const QString &text)
{
    auto *b = new QPushButton(text, this);
    b->setObjectName(QLatin1String(name));
    b->setAutoDefault(false);
    return b;
}

QLineEdit *frmMethods::numberField(const char *name)
{
    auto *field = new QLineEdit(this);
    field->setObjectName(QLatin1String(name));
    connect(field, &QLineEdit::textEdited, this, &frmMethods::storeFields);
    m_editing << field;
    return field;
}

QComboBox *frmMethods::unitList(const char *name, const QStringList &units)
{
    auto *list = new QComboBox(this);
    list->setObjectName(QLatin1String(name));
    {
        const QSignalBlocker block(list);
        list->addItems(units);
    }
    // Only with the focus: a wheel passing over it must not change a step.
    list->setFocusPolicy(Qt::StrongFocus);
    connect(list, &QComboBox::currentIndexChanged, this, &frmMethods::storeFields);
    m_editing << list;
    return list;
}

void frmMethods::buildWindow()
{
    auto *layout = new QVBoxLayout(this);
    auto *nameRow = new QFormLayout;
    m_name = new QLineEdit(this);
    m_name->setObjectName(QStringLiteral("txtMethodName"));
    connect(m_name, &QLineEdit::textEdited, this, [this](const QString &text) {
        m_method.name = text;
        recheck();
    });
    m_editing << m_name;
    nameRow->addRow(tr("&Name:"), m_name);
    layout->addLayout(nameRow);

    m_steps = new QTreeWidget(this);
    m_steps->setObjectName(QStringLiteral("tblSteps"));
    m_steps->setHeaderLabels({tr("Step"), tr("What"), tr("Time"), tr("Amount")});
    m_steps->setRootIsDecorated(true);
    m_steps->setItemsExpandable(false);
    m_steps->setUniformRowHeights(true);
    m_steps->setSelectionMode(QAbstractItemView::SingleSelection);
    m_steps->header()->setStretchLastSection(false);
    m_steps->header()->setSectionResizeMode(WhatColumn, QHeaderView::Stretch);
    m_steps->setMinimumSize(560, 220);
    connect(m_steps, &QTreeWidget::currentItemChanged, this, [this] {
        if (!m_filling)
            showSelected();
    });
    layout->addWidget(m_steps, 1);

    auto *structure = new QHBoxLayout;
    m_addKind = new QComboBox(this);
    m_addKind->setObjectName(QStringLiteral("cboAddKind"));
    m_addKind->setFocusPolicy(Qt::StrongFocus);
    for (MethodStep::Kind kind : kKinds)
        m_addKind->addItem(kindTitle(kind), int(kind));
    auto *add = button("cmdAdd", tr("&Add"));
    connect(add, &QPushButton::clicked, this,
            [this] { addStep(MethodStep::Kind(m_addKind->currentData().toInt())); });
    auto *remove = button("cmdRemove", tr("Remo&ve"));
    connect(remove, &QPushButton::clicked, this, &frmMethods::removeStep);
    auto *up = button("cmdUp", tr("&Up"));
    connect(up, &QPushButton::clicked, this, [this] { moveStep(-1); });
    auto *down = button("cmdDown", tr("Do&wn"));
    connect(down, &QPushButton::clicked, this, [this] { moveStep(1); });
    auto *indent = button("cmdIndent", tr("&Indent"));
    indent->setToolTip(tr("Into the repeat above"));
    connect(indent, &QPushButton::clicked, this, &frmMethods::indentStep);
    auto *outdent = button("cmdOutdent", tr("Outd&ent"));
    outdent->setToolTip(tr("Out of its repeat"));
    connect(outdent, &QPushButton::clicked, this, &frmMethods::outdentStep);
    for (QWidget *w : std::initializer_list<QWidget *>{m_addKind, add, remove, up, down, indent, outdent}) {
        structure->addWidget(w);
        m_editing << w;
    }
    structure->addStretch();
    layout->addLayout(structure);

    // The selected step's fields, one page per kind.
    m_pages = new QStackedWidget(this);
    m_pages->setObjectName(QStringLiteral("stkStep"));
    auto page = [this] {
        auto *w = new QWidget(m_pages);
        auto *form = new QFormLayout(w);
        form->setContentsMargins(0, 0, 0, 0);
        m_pages->addWidget(w);
        return form;
    };
    auto row = [this](std::initializer_list<QWidget *> widgets) {
        auto *w = new QWidget(this);
        auto *h = new QHBoxLayout(w);
        h->setContentsMargins(0, 0, 0, 0);
        for (QWidget *x : widgets)
            h->addWidget(x);
        h->addStretch();
        return w;
    };
    {
        QFormLayout *f = page(); // dose
        m_quantity = numberField("txtQuantity");
        m_quantityUnit = unitList("cboQuantityUnit", mengeEinheiten());
        f->addRow(tr("Quantity:"), row({m_quantity, m_quantityUnit}));
        m_repetitions = numberField("txtRepetitions");
        m_endlessDoses = new QCheckBox(tr("Endless"), this);
        m_endlessDoses->setObjectName(QStringLiteral("cbxEndlessDoses"));
        connect(m_endlessDoses, &QCheckBox::toggled, this, &frmMethods::storeFields);
        m_editing << m_endlessDoses;
        f->addRow(tr("Repetitions:"), row({m_repetitions, m_endlessDoses}));
        m_pause = numberField("txtPause");
        m_pauseUnit = unitList("cboPauseUnit", zeitEinheiten());
        f->addRow(tr("Pause:"), row({m_pause, m_pauseUnit}));
    }
    {
        QFormLayout *f = page(); // flow
        m_rate = numberField("txtRate");
        m_rateUnit = unitList("cboRateUnit", foerderstromEinheiten());
        f->addRow(tr("Flow rate:"), row({m_rate, m_rateUnit}));
        m_duration = numberField("txtDuration");
        m_durationUnit = unitList("cboDurationUnit", zeitEinheiten());
        m_endlessFlow = new QCheckBox(tr("Until Stop"), this);
        m_endlessFlow->setObjectName(QStringLiteral("cbxEndlessFlow"));
        connect(m_endlessFlow, &QCheckBox::toggled, this, &frmMethods::storeFields);
        m_editing << m_endlessFlow;
        f->addRow(tr("Duration:"), row({m_duration, m_durationUnit, m_endlessFlow}));
    }
    {
        QFormLayout *f = page(); // wait
        m_wait = numberField("txtWait");
        m_waitUnit = unitList("cboWaitUnit", zeitEinheiten());
        f->addRow(tr("Wait:"), row({m_wait, m_waitUnit}));
    }
    {
        QFormLayout *f = page(); // prompt
        m_promptText = new QLineEdit(this);
        m_promptText->setObjectName(QStringLiteral("txtPromptText"));
        connect(m_promptText, &QLineEdit::textEdited, this, &frmMethods::storeFields);
        m_editing << m_promptText;
        f->addRow(tr("Text:"), m_promptText);
    }
    {
        QFormLayout *f = page(); // repeat
        m_count = new QSpinBox(this);
        m_count->setObjectName(QStringLiteral("spnRepeatCount"));
        m_count->setRange(1, kMaxRepeat);
        connect(m_count, &QSpinBox::valueChanged, this, &frmMethods::storeFields);
        m_editing << m_count;
        f->addRow(tr("Count:"), row({m_count}));
    }
    page(); // nothing selected
    layout->addWidget(m_pages);

    m_check = showsPlainText(new QLabel(this));
    m_check->setObjectName(QStringLiteral("lblMethodCheck"));
    m_check->setWordWrap(true);
    layout->addWidget(m_check);
    m_total = showsPlainText(new QLabel(this));
    m_total->setObjectName(QStringLiteral("lblMethodTotal"));
    layout->addWidget(m_total);

    auto *actions = new QHBoxLayout;
    auto *open = button("cmdOpen", tr("&Open\u2026"));
    connect(open, &QPushButton::clicked, this, &frmMethods::open);
    m_editing << open;
    auto *save = button("cmdSave", tr("&Save\u2026"));
    connect(save, &QPushButton::clicked, this, &frmMethods::save);
    m_run = button("cmdRun", tr("&Run"));
    connect(m_run, &QPushButton::clicked, this, &frmMethods::run);
    m_stop = button("cmdStop", tr("S&top"));
    // Stop acts whatever a field holds: it takes no focus from a field on a click.
    m_stop->setFocusPolicy(Qt::TabFocus);
    m_stop->setEnabled(false);
    connect(m_stop, &QPushButton::clicked, this, [this] { m_session.methods().stop(); });
    auto *scheduleButton = button("cmdSchedule", tr("Sc&hedule\u2026"));
    connect(scheduleButton, &QPushButton::clicked, this, &frmMethods::schedule);
    // The method against the simulated controller: the wire and the times, nothing moves.
    auto *tryButton = button("cmdTry", tr("Tr&y on simulator"));
    connect(tryButton, &QPushButton::clicked, this, [this] {
        if (!m_trialWindow)
            m_trialWindow = new dlgMethodTrial(this);
        m_trialWindow->tryMethod(method(), m_session.state());
    });
    for (QWidget *w :
         std::initializer_list<QWidget *>{open, save, m_run, m_stop, scheduleButton, tryButton})
        actions->addWidget(w);
    actions->addStretch();
    layout->addLayout(actions);

    m_schedules = new QTreeWidget(this);
    m_schedules->setObjectName(QStringLiteral("lstSchedules"));
    m_schedules->setRootIsDecorated(false);
    m_schedules->setHeaderLabels({tr("Method file"), tr("Next"), tr("State"), tr("Done"), tr("Skipped"),
                                  tr("Last result")});
    m_schedules->setMaximumHeight(fontMetrics().height() * 8);
    auto *schedulesLabel = new QLabel(tr("Sche&dules of this port:"), this);
    schedulesLabel->setBuddy(m_schedules);
    layout->addWidget(schedulesLabel);
    layout->addWidget(m_schedules);
    auto *scheduleActions = new QHBoxLayout;
    m_resumeSchedule = button("cmdResume", tr("Resu&me"));
    m_pauseSchedule = button("cmdPause", tr("&Pause"));
    m_removeSchedule = button("cmdRemoveSchedule", tr("Remove schedu&le"));
    // Pausing acts whatever a field holds, as Stop does.
    m_pauseSchedule->setFocusPolicy(Qt::TabFocus);
    connect(m_resumeSchedule, &QPushButton::clicked, this, [this] { actOnSchedule(&MethodScheduler::resume); });
    connect(m_pauseSchedule, &QPushButton::clicked, this, [this] { actOnSchedule(&MethodScheduler::pause); });
    connect(m_removeSchedule, &QPushButton::clicked, this, [this] { actOnSchedule(&MethodScheduler::remove); });
    for (QWidget *w : std::initializer_list<QWidget *>{m_resumeSchedule, m_pauseSchedule, m_removeSchedule})
        scheduleActions->addWidget(w);
    scheduleActions->addStretch();
    layout->addLayout(scheduleActions);
    connect(m_schedules, &QTreeWidget::itemSelectionChanged, this, &frmMethods::updateScheduleButtons);
    connect(&m_session.schedules(), &MethodScheduler::changed, this, &frmMethods::fillSchedules);
    fillSchedules();
    m_status = showsPlainText(new QLabel(this));
    m_status->setObjectName(QStringLiteral("lblMethodStatus"));
    m_status->setWordWrap(true);
    m_status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    layout->addWidget(m_status);
}

Method frmMethods::method() const
{
    return m_method;
}

void frmMethods::setMethod(const Method &method)
{
    m_method = method;
    m_name->setText(method.name);
    rebuildTree();
    select(m_method.steps.isEmpty() ? QList<int>{} : QList<int>{0});
}

void frmMethods::fillItems(QTreeWidgetItem *parent, const QList<MethodStep> &steps, const QString &prefix)
{
    for (int i = 0; i < steps.size(); ++i) {
        const QString path = pathOf(prefix, i);
        auto *item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(m_steps);
        item->setText(StepColumn, path);
        item->setData(StepColumn, Qt::UserRole, path);
        item->setText(WhatColumn, describe(steps.at(i)));
        if (steps.at(i).kind == MethodStep::Kind::Repeat)
            fillItems(item, steps.at(i).steps, path);
    }
}

void frmMethods::rebuildTree()
{
    const QList<int> keep = selectedIndices();
    {
        const QScopedValueRollback<bool> filling(m_filling, true);
        m_steps->clear();
        fillItems(nullptr, m_method.steps, QString());
        m_steps->expandAll();
    }
    select(keep);
    recheck();
}

QList<int> frmMethods::selectedIndices() const
{
    QList<int> indices;
    QTreeWidgetItem *item = m_steps->currentItem();
    for (; item; item = item->parent())
        indices.prepend(item->parent() ? item->parent()->indexOfChild(item)
                                       : m_steps->indexOfTopLevelItem(item));
    return indices;
}

QString frmMethods::selectedStep() const
{
    const QTreeWidgetItem *item = m_steps->currentItem();
    return item ? item->data(StepColumn, Qt::UserRole).toString() : QString();
}

void frmMethods::selectStep(const QString &path)
{
    QList<int> indices;
    for (const QString &part : path.split(QLatin1Char('.'), Qt::SkipEmptyParts))
        indices << part.toInt() - 1;
    select(indices);
}

void frmMethods::select(const QList<int> &indices)
{
    QTreeWidgetItem *item = nullptr;
    for (int i : indices) {
        const int count = item ? item->childCount() : m_steps->topLevelItemCount();
        if (count == 0)
            break;
        const int at = qBound(0, i, count - 1);
        item = item ? item->child(at) : m_steps->topLevelItem(at);
    }
    {
        const QScopedValueRollback<bool> filling(m_filling, true);
        m_steps->setCurrentItem(item);
    }
    showSelected();
}

MethodStep *frmMethods::stepAt(const QList<int> &indices)
{
    QList<MethodStep> *list = &m_method.steps;
    MethodStep *step = nullptr;
    for (int i : indices) {
        if (i < 0 || i >= list->size())
            return nullptr;
        step = &(*list)[i];
        list = &step->steps;
    }
    return step;
}

QList<MethodStep> *frmMethods::siblingsOf(const QList<int> &indices)
{
    if (indices.isEmpty())
        return nullptr;
    if (indices.size() == 1)
        return &m_method.steps;
    MethodStep *parent = stepAt(indices.mid(0, indices.size() - 1));
    return parent ? &parent->steps : nullptr;
}

void frmMethods::showSelected()
{
    const QScopedValueRollback<bool> filling(m_filling, true);
    const MethodStep *s = stepAt(selectedIndices());
    if (!s) {
        m_pages->setCurrentIndex(m_pages->count() - 1);
        updateButtons();
        return;
    }
    m_pages->setCurrentIndex(int(s->kind));
    const QJsonObject &o = s->order;
    const auto choose = [](QComboBox *list, const QString &unit) { list->setCurrentIndex(list->findText(unit)); };
    switch (s->kind) {
    case MethodStep::Kind::Dose: {
        m_quantity->setText(valueText(o.value(QStringLiteral("quantity"))));
        choose(m_quantityUnit, o.value(QStringLiteral("unit")).toString());
        const QJsonValue reps = o.value(QStringLiteral("repetitions"));
        const bool endless = reps.toString() == QLatin1String("endless");
        m_endlessDoses->setChecked(endless);
        m_repetitions->setText(endless ? QString() : valueText(reps));
        m_repetitions->setEnabled(!endless);
        m_pause->setText(valueText(o.value(QStringLiteral("pause"))));
        choose(m_pauseUnit, o.value(QStringLiteral("pause_unit")).toString());
        break;
    }
    case MethodStep::Kind::Flow: {
        m_rate->setText(valueText(o.value(QStringLiteral("rate"))));
        choose(m_rateUnit, o.value(QStringLiteral("unit")).toString());
        const QJsonValue d = o.value(QStringLiteral("duration"));
        const bool endless = d.isDouble() && d.toDouble() == 0;
        m_endlessFlow->setChecked(endless);
        m_duration->setText(endless ? QString() : valueText(d));
        m_duration->setEnabled(!endless);
        choose(m_durationUnit, o.value(QStringLiteral("duration_unit")).toString());
        break;
    }
    case MethodStep::Kind::Wait:
        m_wait->setText(generalForm(s->duration));
        choose(m_waitUnit, s->durationUnit);
        break;
    case MethodStep::Kind::Prompt: m_promptText->setText(s->text); break;
    case MethodStep::Kind::Repeat: m_count->setValue(s->count); break;
    }
    updateButtons();
}

void frmMethods::storeFields()
{
    if (m_filling)
        return;
    const QList<int> indices = selectedIndices();
    MethodStep *s = stepAt(indices);
    if (!s)
        return;
    QJsonObject &o = s->order;
    switch (s->kind) {
    case MethodStep::Kind::Dose: {
        o.insert(QStringLiteral("quantity"), numberValue(m_quantity->text()));
        o.insert(QStringLiteral("unit"), m_quantityUnit->currentText());
        const bool endless = m_endlessDoses->isChecked();
        m_repetitions->setEnabled(!endless);
        o.insert(QStringLiteral("repetitions"),
                 endless ? QJsonValue(QStringLiteral("endless")) : numberValue(m_repetitions->text()));
        o.insert(QStringLiteral("pause"), numberValue(m_pause->text()));
        o.insert(QStringLiteral("pause_unit"), m_pauseUnit->currentText());
        break;
    }
    case MethodStep::Kind::Flow: {
        o.insert(QStringLiteral("rate"), numberValue(m_rate->text()));
        o.insert(QStringLiteral("unit"), m_rateUnit->currentText());
        const bool endless = m_endlessFlow->isChecked();
        m_duration->setEnabled(!endless);
        o.insert(QStringLiteral("duration"), endless ? QJsonValue(0.0) : numberValue(m_duration->text()));
        o.insert(QStringLiteral("duration_unit"), m_durationUnit->currentText());
        break;
    }
    case MethodStep::Kind::Wait: {
        const QJsonValue v = numberValue(m_wait->text());
        // A text is no wait: NaN keeps the step refused until it reads as a number.
        s->duration = v.isDouble() ? v.toDouble() : std::nan("");
        s->durationUnit = m_waitUnit->currentText();
        break;
    }
    case MethodStep::Kind::Prompt: s->text = m_promptText->text(); break;
    case MethodStep::Kind::Repeat: s->count = m_count->value(); break;
    }
    if (QTreeWidgetItem *item = m_steps->currentItem())
        item->setText(WhatColumn, describe(*s));
    recheck();
}

void frmMethods::recheck()
{
    // The document as it would be saved, read back and planned for the pump in use.
    MethodError error;
    std::optional<QList<MethodAction>> actions;
    if (const auto read = parseMethod(methodJson(m_method), &error)) {
        std::optional<MediumValues> medium;
        if (!read->medium.isEmpty()) {
            const PumpState &state = m_session.state();
            const auto store = openStore();
            for (const MediumPreset &m : loadMedia(*store, state.Schnittstelle, state.settings.Pumpentyp))
                if (m.name == read->medium)
                    medium = MediumValues{m.density, m.factor};
        }
        actions = planMethod(*read, m_session.state(), medium, &error);
    }
    m_refusedStep = actions ? QString() : error.step;
    m_check->setText(actions ? tr("The method can run on this pump.") : error.text());
    QPalette palette = m_check->palette();
    palette.setColor(QPalette::WindowText, actions ? palette.color(QPalette::Text) : QColor(Qt::darkRed));
    m_check->setPalette(palette);

    // Each row: its own time and amount; a repeat's row the whole of its steps.
    const PumpState &state = m_session.state();
    const std::function<void(QTreeWidgetItem *)> mark = [&](QTreeWidgetItem *item) {
        const QString path = item->data(StepColumn, Qt::UserRole).toString();
        const bool refused = !m_refusedStep.isEmpty() && path == m_refusedStep;
        QFont font = item->font(StepColumn);
        font.setBold(refused);
        for (int c = 0; c < m_steps->columnCount(); ++c) {
            item->setFont(c, font);
            item->setForeground(c, refused ? QBrush(Qt::darkRed) : QBrush());
        }
        item->setText(TimeColumn, QString());
        item->setText(AmountColumn, QString());
        if (actions) {
            QList<MethodAction> mine;
            const QString inside = path + QLatin1Char('.');
            for (const MethodAction &a : *actions)
                if (a.step == path || (item->childCount() > 0 && a.step.startsWith(inside)))
                    mine << a;
            if (item->childCount() == 0 && !mine.isEmpty())
                mine = mine.mid(0, 1); // one pass of a step inside a repeat
            if (!mine.isEmpty()) {
                const MethodTotal t = estimateMethod(mine, state);
                if (mine.first().kind != MethodStep::Kind::Prompt || item->childCount() > 0)
                    item->setText(TimeColumn, timeText(t.seconds));
                item->setText(AmountColumn, t.seconds < 0 && t.amount == 0 ? QString() : amountText(t.amount, t.unit));
            }
        }
        for (int i = 0; i < item->childCount(); ++i)
            mark(item->child(i));
    };
    for (int i = 0; i < m_steps->topLevelItemCount(); ++i)
        mark(m_steps->topLevelItem(i));

    if (!actions) {
        m_total->setText(tr("Total: -"));
    } else {
        const MethodTotal t = estimateMethod(*actions, state);
        QString text = t.seconds < 0 ? tr("Total: until Stop") : tr("Total: about %1").arg(timeText(t.seconds));
        if (!t.unit.isEmpty() && t.seconds >= 0)
            text += QStringLiteral(", ") + amountText(t.amount, t.unit);
        if (t.mixedUnits)
            text += tr(" (steps in other units not counted)");
        m_total->setText(text);
    }
    updateButtons();
}

void frmMethods::updateButtons()
{
    const bool running = m_session.methods().running();
    const QList<int> at = selectedIndices();
    const QList<MethodStep> *siblings = siblingsOf(at);
    const int i = at.isEmpty() ? -1 : at.last();
    const bool has = siblings && i >= 0 && i < siblings->size();
    const auto enable = [this, running](const char *name, bool on) {
        if (auto *b = findChild<QPushButton *>(QLatin1String(name)))
            b->setEnabled(!running && on);
    };
    enable("cmdRemove", has);
    enable("cmdUp", has && i > 0);
    enable("cmdDown", has && i + 1 < siblings->size());
    enable("cmdIndent", has && i > 0 && siblings->at(i - 1).kind == MethodStep::Kind::Repeat &&
                            at.size() < kMaxMethodDepth + 1);
    enable("cmdOutdent", has && at.size() > 1);
}

void frmMethods::addStep(MethodStep::Kind kind)
{
    QList<int> at = selectedIndices();
    QList<MethodStep> *siblings = siblingsOf(at);
    if (!siblings) {
        m_method.steps << newStep(kind);
        at = {int(m_method.steps.size()) - 1};
    } else {
        siblings->insert(at.last() + 1, newStep(kind));
        at.last() += 1;
    }
    rebuildTree();
    select(at);
}

void frmMethods::removeStep()
{
    const QList<int> at = selectedIndices();
    QList<MethodStep> *siblings = siblingsOf(at);
    if (!siblings || at.last() >= siblings->size())
        return;
    siblings->removeAt(at.last());
    rebuildTree();
    QList<int> next = at;
    if (siblings->isEmpty())
        next.removeLast();
    select(next);
}

void frmMethods::moveStep(int by)
{
    QList<int> at = selectedIndices();
    QList<MethodStep> *siblings = siblingsOf(at);
    if (!siblings)
        return;
    const int to = at.last() + by;
    if (to < 0 || to >= siblings->size())
        return;
    siblings->swapItemsAt(at.last(), to);
    at.last() = to;
    rebuildTree();
    select(at);
}

void frmMethods::indentStep()
{
    QList<int> at = selectedIndices();
    QList<MethodStep> *siblings = siblingsOf(at);
    if (!siblings || at.last() < 1 || siblings->at(at.last() - 1).kind != MethodStep::Kind::Repeat)
        return;
    const int i = at.last();
    MethodStep moved = siblings->takeAt(i);
    MethodStep &repeat = (*siblings)[i - 1];
    repeat.steps << moved;
    at.last() = i - 1;
    at << int(repeat.steps.size()) - 1;
    rebuildTree();
    select(at);
}

void frmMethods::outdentStep()
{
    QList<int> at = selectedIndices();
    if (at.size() < 2)
        return;
    QList<MethodStep> *siblings = siblingsOf(at);
    const QList<int> parentAt = at.mid(0, at.size() - 1);
    QList<MethodStep> *outer = siblingsOf(parentAt);
    if (!siblings || !outer)
        return;
    MethodStep moved = siblings->takeAt(at.last());
    outer->insert(parentAt.last() + 1, moved);
    QList<int> next = parentAt;
    next.last() += 1;
    rebuildTree();
    select(next);
}

bool frmMethods::saveTo(const QString &file, QString *error) const
{
    QSaveFile out(file);
    const QByteArray json = methodJson(m_method);
    if (!out.open(QIODevice::WriteOnly) || out.write(json) != json.size() || !out.commit()) {
        if (error)
            *error = tr("%1 could not be saved: %2").arg(QDir::toNativeSeparators(file), out.errorString());
        return false;
    }
    return true;
}

bool frmMethods::openFrom(const QString &file, QString *error)
{
    QFile in(file);
    const QString shown = QDir::toNativeSeparators(QFileInfo(file).absoluteFilePath());
    if (in.size() > kMaxMethodBytes) {
        if (error)
            *error = tr("%1 is no method: it has %2 bytes, a method at most %3.")
                         .arg(shown)
                         .arg(in.size())
                         .arg(kMaxMethodBytes);
        return false;
    }
    if (!in.open(QIODevice::ReadOnly)) {
        if (error)
            *error = tr("%1 could not be read: %2").arg(shown, in.errorString());
        return false;
    }
    MethodError refusal;
    const auto read = parseMethod(in.read(kMaxMethodBytes + 1), &refusal);
    if (!read) {
        if (error)
            *error = tr("%1 is not opened: %2").arg(shown, refusal.text());
        return false;
    }
    setMethod(*read);
    m_file = file;
    return true;
}

void frmMethods::open()
{
    const QString file = openFileName(this, tr("Open method"), lastFolder(FileKind::Method),
                                      tr("Methods (*.vytmethod);;All files (*)"));
    if (file.isEmpty())
        return;
    QString error;
    if (!openFrom(file, &error)) {
        showMessage(this, error, m_session.state().FehlerTitel, MsgButtons::Ok, MsgIcon::Exclamation);
        return;
    }
    rememberFolder(FileKind::Method, file);
    m_status->setText(tr("Opened %1.").arg(QDir::toNativeSeparators(QFileInfo(file).absoluteFilePath())));
}

void frmMethods::save()
{
    QString name = m_method.name.trimmed();
    for (const QChar c : QStringLiteral("/\\:*?\"<>|"))
        name.replace(c, QLatin1Char('_'));
    if (name.isEmpty())
        name = tr("method");
    QString file = saveFileName(this, tr("Save method"), startPath(FileKind::Method, name + QStringLiteral(".vytmethod")),
                                tr("Methods (*.vytmethod);;All files (*)"));
    if (file.isEmpty())
        return;
    if (QFileInfo(file).suffix().isEmpty())
        file += QStringLiteral(".vytmethod");
    QString error;
    if (!saveTo(file, &error)) {
        showMessage(this, error, m_session.state().FehlerTitel, MsgButtons::Ok, MsgIcon::Exclamation);
        return;
    }
    m_file = file;
    rememberFolder(FileKind::Method, file);
    m_status->setText(tr("Saved in %1.").arg(QDir::toNativeSeparators(QFileInfo(file).absoluteFilePath())));
}

void frmMethods::run()
{
    if (m_session.methods().running())
        return;
    if (const auto refusal = m_session.methods().start(m_method, MethodRun::Starter::Operator))
        showMessage(this, refusal->text(), m_session.state().FehlerTitel, MsgButtons::Ok, MsgIcon::Exclamation);
}

ScheduleDialog *frmMethods::scheduleDialog() const
{
    return m_scheduleDialog.data();
}

void frmMethods::schedule()
{
    if (m_file.isEmpty()) {
        showMessage(this, tr("Please save the method first: a schedule starts a method file, and this method has none yet."),
                    m_session.state().FehlerTitel, MsgButtons::Ok, MsgIcon::Exclamation);
        return;
    }
    if (m_scheduleDialog) {
        m_scheduleDialog->close();
    }
    auto *dialog = new ScheduleDialog(m_file, m_session.schedules().now(), this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &ScheduleDialog::chosen, this, [this, dialog](const MethodSchedule &s) {
        QString why;
        if (!m_session.schedules().add(s, &why)) {
            showMessage(dialog, why, m_session.state().FehlerTitel, MsgButtons::Ok, MsgIcon::Exclamation);
            return;
        }
        dialog->close();
    });
    m_scheduleDialog = dialog;
    dialog->show();
}

void frmMethods::fillSchedules()
{
    const int keep = selectedSchedule();
    const MethodScheduler &scheduler = m_session.schedules();
    const QDateTime now = scheduler.now();
    {
        const QSignalBlocker block(m_schedules);
        m_schedules->clear();
        for (int i = 0; i < scheduler.schedules().size(); ++i) {
            const MethodSchedule &s = scheduler.schedules().at(i);
            // A paused one shows when a resume now would start it first.
            const QDateTime next = s.active ? s.next : s.dueAtOrAfter(now);
            QString state = s.active ? tr("active") : tr("paused");
            if (!next.isValid())
                state = tr("ended");
            else if (i == scheduler.runningIndex())
                state = tr("running");
            auto *item = new QTreeWidgetItem(m_schedules, {QFileInfo(s.file).fileName(),
                                                           MethodSchedule::timeText(next, now), state,
                                                           QString::number(s.done), QString::number(s.skipped),
                                                           s.lastResult});
            item->setToolTip(0, QDir::toNativeSeparators(s.file));
            item->setToolTip(5, s.lastResult);
        }
        for (int c = 1; c <= 4; ++c)
            m_schedules->resizeColumnToContents(c);
        if (keep >= 0 && keep < m_schedules->topLevelItemCount())
            m_schedules->setCurrentItem(m_schedules->topLevelItem(keep));
    }
    updateScheduleButtons();
}

int frmMethods::selectedSchedule() const
{
    const QList<QTreeWidgetItem *> items = m_schedules ? m_schedules->selectedItems() : QList<QTreeWidgetItem *>{};
    return items.isEmpty() ? -1 : m_schedules->indexOfTopLevelItem(items.first());
}

void frmMethods::updateScheduleButtons()
{
    const int i = selectedSchedule();
    const auto &all = m_session.schedules().schedules();
    const bool any = i >= 0 && i < all.size();
    m_resumeSchedule->setEnabled(any && !all.at(i).active &&
                                 all.at(i).dueAtOrAfter(m_session.schedules().now()).isValid());
    m_pauseSchedule->setEnabled(any && all.at(i).active);
    m_removeSchedule->setEnabled(any);
}

void frmMethods::actOnSchedule(bool (MethodScheduler::*act)(int, QString *))
{
    const int i = selectedSchedule();
    if (i < 0)
        return;
    QString why;
    if (!(m_session.schedules().*act)(i, &why) && !why.isEmpty())
        showMessage(this, why, m_session.state().FehlerTitel, MsgButtons::Ok, MsgIcon::Exclamation);
}

void frmMethods::onStarted()
{
    for (QWidget *w : std::as_const(m_editing))
        w->setEnabled(false);
    m_run->setEnabled(false);
    m_stop->setEnabled(true);
    m_status->setText(m_session.methods().statusLine());
}

void frmMethods::onFinished(bool completed, const QString &why)
{
    for (QWidget *w : std::as_const(m_editing))
        w->setEnabled(true);
    m_run->setEnabled(true);
    m_stop->setEnabled(false);
    showSelected();
    m_status->setText(completed && why.isEmpty() ? tr("The method has ended.") : why);
}

bool frmMethods::eventFilter(QObject *watched, QEvent *event)
{
    const auto press = m_heldKeys.keyPress(watched, event);
    if (!press || press->widget->window() != this)
        return false;
    QWidget *w = press->widget;
    const bool first = press->first;
    const int k = press->key->key();
    const bool pressKey = k == Qt::Key_Return || k == Qt::Key_Enter || k == Qt::Key_Space;
    // A held key is one press: Run must not start again when the first run ends.
    if (!first)
        return pressKey;
    // Enter on a focused button is that button only, and only once.
    if (k == Qt::Key_Return || k == Qt::Key_Enter) {
        if (auto *b = qobject_cast<QAbstractButton *>(w); b && b->isEnabled()) {
            b->click();
            return true;
        }
    }
    return false;
}

} // namespace vyt

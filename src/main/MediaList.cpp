#include "main/MediaList.h"

#include "main/FieldBinder.h"
#include "config/NumberText.h"
#include "config/PumpState.h"
#include "config/SettingsStore.h"
#include "ui/MessageBox.h"

#include <QAction>
#include <QComboBox>
#include <QGridLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QToolButton>

namespace vyt {
namespace {

const QString kTitle = QStringLiteral("Media");

} // namespace

MediaList::MediaList(PumpState &state, FieldValidation &validation, Fields fields,
                     QGridLayout *grid, int row, QWidget *parent)
    : QObject(parent), m_state(state), m_validation(validation), m_fields(fields), m_window(parent),
      m_label(new QLabel(tr("Medium"), parent)), m_list(new QComboBox(parent)),
      m_menuButton(new QToolButton(parent))
{
    m_label->setObjectName(QStringLiteral("lblMedium"));
    m_list->setObjectName(QStringLiteral("cboMedium"));
    m_list->setFocusPolicy(Qt::StrongFocus);
    m_list->setPlaceholderText(tr("(own values)"));
    m_list->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_list->setMinimumContentsLength(8);
    m_label->setBuddy(m_list);
    m_menuButton->setObjectName(QStringLiteral("cmdMedium"));
    m_menuButton->setText(QStringLiteral("\u2026"));
    m_menuButton->setAutoRaise(true);
    m_menuButton->setFocusPolicy(Qt::TabFocus);
    m_menuButton->setToolTip(tr("Media: save, rename, delete"));
    m_menuButton->setPopupMode(QToolButton::InstantPopup);
    m_menuButton->setMenu(new QMenu(m_menuButton));
    // The same quiet "…" as the calibration button beside the factor, without an arrow.
    m_menuButton->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; width: 0px; }"));
    grid->addWidget(m_label, row, 0);
    grid->addWidget(m_list, row, 1);
    grid->addWidget(m_menuButton, row, 2, Qt::AlignLeft | Qt::AlignVCenter);

    connect(m_list, &QComboBox::activated, this, [this](int i) {
        if (i >= 0 && i < m_media.size())
            (void)select(m_media.at(i).name);
    });
    QMenu *menu = m_menuButton->menu();
    connect(menu, &QMenu::aboutToShow, this, &MediaList::updateMenu);
    menu->addAction(tr("Save current as\u2026"), this,
                    [this] { (void)saveCurrentAs(currentName()); })
        ->setObjectName(QStringLiteral("actMediumSave"));
    menu->addAction(tr("Rename\u2026"), this, [this] { (void)renameCurrent(); })
        ->setObjectName(QStringLiteral("actMediumRename"));
    menu->addAction(tr("Delete"), this, [this] { (void)deleteCurrent(); })
        ->setObjectName(QStringLiteral("actMediumDelete"));
    updateMenu();

    askName = [](QWidget *owner, const QString &title, const QString &label,
                 const QString &text) -> std::optional<QString> {
        bool ok = false;
        const QString name =
            QInputDialog::getText(owner, title, label, QLineEdit::Normal, text, &ok);
        return ok ? std::optional<QString>(name) : std::nullopt;
    };
    // Until a medium is saved (from the calibration helper) the window is as designed.
    m_label->setVisible(false);
    m_list->setVisible(false);
    m_menuButton->setVisible(false);
}

void MediaList::reload()
{
    auto settings = openStore();
    m_media = loadMedia(*settings, m_state.Schnittstelle, m_state.settings.Pumpentyp);
    fillList();
    followValues();
}

void MediaList::fillList()
{
    const QSignalBlocker block(m_list);
    m_list->clear();
    for (const MediumPreset &medium : m_media)
        m_list->addItem(medium.name);
    m_list->setCurrentIndex(-1);
    const bool any = !m_media.isEmpty();
    m_label->setVisible(any);
    m_list->setVisible(any);
    m_menuButton->setVisible(any);
}

void MediaList::followValues()
{
    if (m_selecting)
        return;
    int found = -1;
    for (int i = 0; i < m_media.size() && found < 0; ++i) {
        if (sameStoredValue(m_media[i].density, m_state.settings.Dichte) &&
            sameStoredValue(m_media[i].factor, m_state.settings.Kalibrierfaktor))
            found = i;
    }
    // Two media of the same values: the one the operator picked stays marked.
    if (found >= 0 && m_list->currentIndex() >= 0 && m_list->currentIndex() < m_media.size()) {
        const MediumPreset &marked = m_media[m_list->currentIndex()];
        if (sameStoredValue(marked.density, m_media[found].density) &&
            sameStoredValue(marked.factor, m_media[found].factor))
            found = m_list->currentIndex();
    }
    const QSignalBlocker block(m_list);
    m_list->setCurrentIndex(found);
}

QString MediaList::currentName() const
{
    const int i = m_list->currentIndex();
    return i >= 0 && i < m_media.size() ? m_media.at(i).name : QString();
}

int MediaList::indexOf(const QString &name) const
{
    for (int i = 0; i < m_media.size(); ++i) {
        if (m_media[i].name == name)
            return i;
    }
    return -1;
}

bool MediaList::select(const QString &name)
{
    const int i = indexOf(name);
    if (i < 0)
        return false;
    const MediumPreset medium = m_media.at(i);
    {
        const QSignalBlocker block(m_list);
        m_list->setCurrentIndex(i);
    }
    // As if typed: each field's own check stores it, or refuses with its message.
    m_selecting = true;
    m_fields.density->setText(generalForm(medium.density));
    bool ok = m_validation.validate(m_fields.density);
    if (ok) {
        m_fields.factor->setText(generalForm(medium.factor));
        ok = m_validation.validate(m_fields.factor);
    }
    m_selecting = false;
    followValues();
    return ok;
}

std::optional<QString> MediaList::askForName(const QString &title, const QString &text)
{
    const std::optional<QString> answer = askName(m_window, title, tr("Name of the medium:"), text);
    if (!answer)
        return std::nullopt;
    const QString name = answer->simplified();
    if (name.isEmpty()) {
        showMessage(m_window, tr("A medium needs a name."), kTitle, MsgButtons::Ok,
                    MsgIcon::Exclamation);
        return std::nullopt;
    }
    return name;
}

bool MediaList::report(bool ok, const QString &reason)
{
    if (!ok && !reason.isEmpty())
        showMessage(m_window, reason, kTitle, MsgButtons::Ok, MsgIcon::Critical);
    return ok;
}

bool MediaList::store(const MediumPreset &medium)
{
    QString reason;
    auto settings = openStore();
    const bool ok =
        saveMedium(*settings, m_state.Schnittstelle, m_state.settings.Pumpentyp, medium, &reason);
    return report(ok, reason);
}

bool MediaList::saveCurrentAs(const QString &suggestion)
{
    // A value still being typed counts: it goes through its check first.
    if (!m_validation.validateChanged())
        return false;
    const std::optional<QString> name = askForName(tr("Save medium"), suggestion);
    if (!name)
        return false;
    if (indexOf(*name) >= 0 &&
        showMessage(m_window, tr("Replace the values of the medium \"%1\"?").arg(*name), kTitle,
                    MsgButtons::YesNo, MsgIcon::Question) != MsgResult::Yes)
        return false;
    if (!store({*name, m_state.settings.Dichte, m_state.settings.Kalibrierfaktor}))
        return false;
    reload();
    const QSignalBlocker block(m_list);
    m_list->setCurrentIndex(indexOf(*name));
    return true;
}

bool MediaList::renameCurrent()
{
    const QString from = currentName();
    if (from.isEmpty())
        return false;
    const std::optional<QString> to = askForName(tr("Rename medium"), from);
    if (!to || *to == from)
        return false;
    if (indexOf(*to) >= 0) {
        showMessage(m_window, tr("There is already a medium \"%1\".").arg(*to), kTitle,
                    MsgButtons::Ok, MsgIcon::Exclamation);
        return false;
    }
    QString reason;
    auto settings = openStore();
    const bool ok = renameMedium(*settings, m_state.Schnittstelle, m_state.settings.Pumpentyp, from,
                                 *to, &reason);
    reload();
    if (ok) {
        const QSignalBlocker block(m_list);
        m_list->setCurrentIndex(indexOf(*to));
    }
    return report(ok, reason);
}

bool MediaList::deleteCurrent()
{
    const QString name = currentName();
    if (name.isEmpty() || showMessage(m_window, tr("Delete the medium \"%1\"?").arg(name), kTitle,
                                      MsgButtons::YesNo, MsgIcon::Question) != MsgResult::Yes)
        return false;
    QString reason;
    auto settings = openStore();
    const bool ok =
        removeMedium(*settings, m_state.Schnittstelle, m_state.settings.Pumpentyp, name, &reason);
    reload();
    return report(ok, reason);
}

void MediaList::offerFactor(const QString &medium)
{
    const QString factor = generalForm(m_state.settings.Kalibrierfaktor);
    if (indexOf(medium) < 0) {
        if (showMessage(m_window, tr("Save density and factor %1 as a medium?").arg(factor), kTitle,
                        MsgButtons::YesNo, MsgIcon::Question) == MsgResult::Yes)
            (void)saveCurrentAs();
        return;
    }
    if (showMessage(m_window, tr("Save the factor %1 with the medium \"%2\"?").arg(factor, medium),
                    kTitle, MsgButtons::YesNo, MsgIcon::Question) != MsgResult::Yes)
        return;
    if (store({medium, m_state.settings.Dichte, m_state.settings.Kalibrierfaktor}))
        reload();
}

void MediaList::updateMenu()
{
    const bool marked = !currentName().isEmpty();
    for (QAction *action : m_menuButton->menu()->actions()) {
        if (action->objectName() != QLatin1String("actMediumSave"))
            action->setEnabled(marked);
    }
}

} // namespace vyt

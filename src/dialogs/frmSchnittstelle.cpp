#include "dialogs/frmSchnittstelle.h"

#include "config/NumberText.h"
#include "config/SettingsStore.h"
#include "dialogs/frmAbout.h"
#include "config/PortMapping.h"
#include "ui/MessageBox.h"
#include "session/ProgramEnd.h"
#include "ui_frmSchnittstelle.h"

#include <QApplication>
#include <QKeyEvent>
#include <QScreen>

namespace vyt {

frmSchnittstelle::frmSchnittstelle(QWidget *parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::frmSchnittstelle>())
{
    m_ui->setupUi(this);
    setWindowIcon(programIcon());
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    // Display only: the port always runs at 9600 baud.
    QPalette grey = m_ui->txtBaudrate->palette();
    grey.setColor(QPalette::Base, grey.color(QPalette::Window));
    m_ui->txtBaudrate->setPalette(grey);

    {
        const QSignalBlocker block(m_ui->cboCom);
        for (int n = 1; n <= kPortCount; ++n)
            m_ui->cboCom->addItem(QStringLiteral("Com") + integerForm(n));
    }
    auto store = openStore();
    const std::optional<qint16> stored =
        readShort(readStoreText(*store, QStringLiteral("Schnittstelle"), QStringLiteral("COM")),
                  QLocale::c());
    // A hand-edited number without an entry falls back to the first port.
    m_gewaehlt = stored && *stored >= 1 && *stored <= kPortCount ? *stored : 1;
    {
        const QSignalBlocker block(m_ui->cboCom);
        m_ui->cboCom->setCurrentIndex(m_gewaehlt - 1);
    }
    refreshDevices();
    showDeviceOf(m_gewaehlt);

    connect(m_ui->cboCom, &QComboBox::currentIndexChanged, this, &frmSchnittstelle::onComChosen);
    connect(m_ui->cmdOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_ui->cmdCancel, &QPushButton::clicked, this, &QDialog::reject);

    // Key preview: Esc, F1 and Enter work wherever the focus is in this dialog.
    qApp->installEventFilter(this);

    adjustSize();
    placeAboveCentre();
}

frmSchnittstelle::~frmSchnittstelle() = default;

void frmSchnittstelle::placeAboveCentre()
{
    const QScreen *s = screen();
    if (!s)
        return;
    const QRect area = s->geometry();
    const int above = kAboveCentreTwips * logicalDpiY() / 1440;
    move(area.x() + (area.width() - width()) / 2,
         area.y() + (area.height() - height()) / 2 - above);
}

void frmSchnittstelle::onComChosen(int index)
{
    if (index < 0)
        return;
    m_gewaehlt = qint16(index + 1);
    showDeviceOf(m_gewaehlt);
}

void frmSchnittstelle::showDeviceOf(int port)
{
    m_ui->cboGeraet->setCurrentText(deviceFor(port));
}

void frmSchnittstelle::refreshDevices()
{
    // An adapter plugged in since the last showing appears; the shown text stays.
    const QString shown = m_ui->cboGeraet->currentText();
    const QSignalBlocker block(m_ui->cboGeraet);
    m_ui->cboGeraet->clear();
    m_ui->cboGeraet->addItems(availableSerialDevices());
    m_ui->cboGeraet->setCurrentText(shown);
}

void frmSchnittstelle::storeDevice()
{
    if (!prepareStoreForWriting(this))
        return; // an unreadable file that could not be kept aside is left alone; told already
    auto store = openStore();
    storeDeviceFor(m_gewaehlt, m_ui->cboGeraet->currentText(), *store);
    store->sync();
    if (store->status() != QSettings::NoError)
        showMessage(this,
                    QStringLiteral("The device for COM%1 could not be saved in %2. It is used "
                                   "for now but will be forgotten when the program ends.")
                        .arg(m_gewaehlt)
                        .arg(store->fileName()),
                    QStringLiteral("Serial ports"), MsgButtons::Ok, MsgIcon::Exclamation);
}

bool frmSchnittstelle::choosePort(qint16 &Schnittstelle)
{
    refreshDevices();
    // cboCom keeps the last choice; its device shows as stored now.
    showDeviceOf(m_gewaehlt);
    m_ui->cboCom->setFocus();
    if (exec() != QDialog::Accepted) {
        endProgram();
        return false;
    }
    storeDevice();
    Schnittstelle = m_gewaehlt;
    return true;
}

bool frmSchnittstelle::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress || !isVisible())
        return false;
    auto *widget = qobject_cast<QWidget *>(watched);
    // Keys for an open drop-down list or another window are theirs.
    if (!widget || widget->window() != this)
        return false;
    const auto *key = static_cast<QKeyEvent *>(event);
    // Esc and F1 are keys, not key combinations: Shift, Ctrl or Alt held with them
    // changes nothing. Enter with a modifier stays with the focused control.
    const bool plain = !(key->modifiers() & ~Qt::KeypadModifier);
    switch (key->key()) {
    case Qt::Key_Escape:
        reject();
        return true;
    case Qt::Key_F1:
        frmAbout::zeigen(this);
        return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (!plain)
            return false;
        // OK is the default button, but Enter on a focused Cancel presses Cancel.
        if (focusWidget() == m_ui->cmdCancel)
            m_ui->cmdCancel->click();
        else
            m_ui->cmdOK->click();
        return true;
    default:
        return false;
    }
}

} // namespace vyt

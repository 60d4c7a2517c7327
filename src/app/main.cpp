#include "dialogs/frmAbout.h"
#include "link/ProcessGuard.h"
#include "main/frmPumpensteuerung.h"
#include "ui/ProgramEnd.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Before anything can open the port: from then on every way out stops the drive.
    vyt::ProcessGuard::install();
    QApplication::setApplicationName(QStringLiteral("vyt-pump-controller"));
    QApplication::setApplicationDisplayName(QStringLiteral("vyt-Pump controller"));
    QApplication::setDesktopFileName(QStringLiteral("vyt-pump-controller"));
    QApplication::setWindowIcon(vyt::programIcon());
    // The window ends the program itself, after the save question.
    QApplication::setQuitOnLastWindowClosed(false);

    vyt::frmPumpensteuerung window;
    if (!window.laden() || vyt::programEnding())
        return 0;
    return QApplication::exec();
}

#include "ui/WindowSeams.h"

#include "config/SettingsStore.h"
#include "session/ProgramEnd.h"
#include "ui/MessageBox.h"

#include <QApplication>
#include <QWidget>

namespace vyt {

void installWindowSeams()
{
    setBeforeExit([] { QApplication::closeAllWindows(); });
    setStoreReporter([](const Notice &notice, QObject *asker) {
        QWidget *parent = qobject_cast<QWidget *>(asker);
        if (!parent)
            parent = QApplication::activeWindow();
        (void)showMessage(parent, notice.text, notice.title, notice.buttons, notice.icon);
    });
}

} // namespace vyt

#include "config/LastFolders.h"

#include "config/SettingsStore.h"
#include "session/Method.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QtGlobal>

namespace vyt {
namespace {

const QString kSection = QStringLiteral("Folders");

QString keyFor(FileKind kind)
{
    switch (kind) {
    case FileKind::Export: return QStringLiteral("export");
    case FileKind::ValueLog: return QStringLiteral("valueLog");
    case FileKind::Parameters: return QStringLiteral("parameters");
    case FileKind::Transcript: return QStringLiteral("transcript");
    case FileKind::Method: return QStringLiteral("method");
    }
    return QStringLiteral("other");
}

} // namespace

QString dataFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
}

QString lastFolder(FileKind kind)
{
    auto store = openStore();
    const QString kept = readStoreText(*store, kSection, keyFor(kind));
    // A folder removed or unmounted since then is no place to start.
    if (!kept.isEmpty() && QFileInfo(kept).isAbsolute() && QFileInfo(kept).isDir())
        return QDir::cleanPath(kept);
    const QString data = kind == FileKind::Method ? methodsFolder() : dataFolder();
    QDir().mkpath(data);
    return data;
}

QString startPath(FileKind kind, const QString &fileName)
{
    return QDir(lastFolder(kind)).filePath(fileName);
}

void rememberFolder(FileKind kind, const QString &file)
{
    const QString folder = QFileInfo(file).absolutePath();
    auto store = openStore();
    if (readStoreText(*store, kSection, keyFor(kind)) == folder)
        return;
    QString reason;
    if (!prepareStoreForWriting(nullptr, &reason)) {
        qWarning("The folder of %s is not kept: %s", qPrintable(file), qPrintable(reason));
        return;
    }
    store->beginGroup(kSection);
    store->setValue(keyFor(kind), folder);
    store->endGroup();
    if (!storeWritten(*store, &reason))
        qWarning("The folder of %s is not kept: %s", qPrintable(file), qPrintable(reason));
}

} // namespace vyt

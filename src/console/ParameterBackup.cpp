#include "console/ParameterBackup.h"

#include "config/NumberText.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace vyt {
namespace {

const QString kKind = QStringLiteral("vyt-pump-controller drive parameters");
constexpr int kFormat = 1;

QJsonObject toJson(const ParameterBackup &b)
{
    QJsonObject values;
    for (int i = 0; i < kDriveParameterCount; ++i)
        values.insert(QLatin1String(kDriveParameters[i].name), b.values[i]);
    return QJsonObject{{QStringLiteral("kind"), kKind},
                       {QStringLiteral("format"), kFormat},
                       {QStringLiteral("saved"), b.saved.toString(Qt::ISODate)},
                       {QStringLiteral("pumpType"), b.pumpType},
                       {QStringLiteral("pumpTypeIndex"), b.pumpTypeIndex},
                       {QStringLiteral("port"), b.port},
                       {QStringLiteral("device"), b.device},
                       {QStringLiteral("controllerVersion"), b.controllerVersion},
                       {QStringLiteral("parameters"), values}};
}

// A value may have been typed as a number by hand: it is taken as the controller would read it.
std::optional<QString> valueText(const QJsonValue &v)
{
    if (v.isString())
        return v.toString();
    if (v.isDouble())
        return storeForm(v.toDouble());
    return std::nullopt;
}

} // namespace

bool writeBackup(const QString &file, const ParameterBackup &backup, QString *error)
{
    QSaveFile out(file);
    const QByteArray bytes = QJsonDocument(toJson(backup)).toJson(QJsonDocument::Indented);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit()) {
        if (error)
            *error = out.errorString();
        return false;
    }
    return true;
}

std::optional<ParameterBackup> readBackup(const QString &file, QString *error)
{
    const auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return std::nullopt;
    };
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        return fail(in.errorString());
    if (in.size() > kMaxBackupBytes)
        return fail(QStringLiteral("The file is too large for a parameter backup."));
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(in.read(kMaxBackupBytes + 1), &parseError);
    const QJsonObject root = doc.object();
    if (doc.isNull() || root.value(QStringLiteral("kind")).toString() != kKind)
        return fail(QStringLiteral("The file is no parameter backup of this program."));
    const QJsonObject values = root.value(QStringLiteral("parameters")).toObject();
    ParameterBackup b;
    for (int i = 0; i < kDriveParameterCount; ++i) {
        const QString name = QLatin1String(kDriveParameters[i].name);
        const auto text = valueText(values.value(name));
        if (!text)
            return fail(QStringLiteral("The backup holds no value for %1.").arg(name));
        b.values[i] = *text;
    }
    b.saved = QDateTime::fromString(root.value(QStringLiteral("saved")).toString(), Qt::ISODate);
    b.pumpType = root.value(QStringLiteral("pumpType")).toString();
    b.pumpTypeIndex = root.value(QStringLiteral("pumpTypeIndex")).toInt(-1);
    b.port = root.value(QStringLiteral("port")).toString();
    b.device = root.value(QStringLiteral("device")).toString();
    b.controllerVersion = root.value(QStringLiteral("controllerVersion")).toString();
    return b;
}

} // namespace vyt

#include "session/Settings.h"

#include "config/NumberText.h"
#include "config/SettingsStore.h"
#include "config/Units.h"

#include <QDir>
#include <QFileInfo>
#include <array>
#include <variant>

namespace vyt {
namespace {

using Field = std::variant<qint16 PumpSettings::*, qint32 PumpSettings::*, float PumpSettings::*>;

struct Key {
    const char *name;
    Field field;
};

// The save order; loading picks keys by name.
const std::array<Key, 21> kKeys{{
    {"Left", &PumpSettings::Left},
    {"Top", &PumpSettings::Top},
    {"Pumpentyp", &PumpSettings::Pumpentyp},
    {"Dichte", &PumpSettings::Dichte},
    {"Kalibrierfaktor", &PumpSettings::Kalibrierfaktor},
    {"Encodertyp", &PumpSettings::Encodertyp},
    {"Getriebetyp", &PumpSettings::Getriebetyp},
    {"Maximaldrehzahl", &PumpSettings::Maximaldrehzahl},
    {"Beschleunigung", &PumpSettings::Beschleunigung},
    {"Dauerstrom", &PumpSettings::Dauerstrom},
    {"Spitzenstrom", &PumpSettings::Spitzenstrom},
    {"Betriebsart", &PumpSettings::Betriebsart},
    {"Menge", &PumpSettings::Menge},
    {"Mengeneinheit", &PumpSettings::Mengeneinheit},
    {"Pause", &PumpSettings::Pause},
    {"Pauseeinheit", &PumpSettings::Pauseeinheit},
    {"Wiederholung", &PumpSettings::Wiederholung},
    {"Foerderstrom", &PumpSettings::Foerderstrom},
    {"Foerderstromeinheit", &PumpSettings::Foerderstromeinheit},
    {"Dauer", &PumpSettings::Dauer},
    {"Dauereinheit", &PumpSettings::Dauereinheit},
}};

const Key *findKey(const char *name)
{
    for (const Key &k : kKeys)
        if (qstrcmp(k.name, name) == 0)
            return &k;
    return nullptr;
}

const PumpSettings &defaults()
{
    static const PumpSettings d;
    return d;
}

QString textOf(const PumpSettings &s, const Field &field)
{
    return std::visit(
        [&](auto member) -> QString {
            using T = std::remove_cv_t<std::remove_reference_t<decltype(s.*member)>>;
            if constexpr (std::is_same_v<T, float>)
                return storeForm(s.*member);
            else
                return integerForm(s.*member);
        },
        field);
}

void load(const QString &text, PumpSettings &s, const Field &field)
{
    const QLocale c = QLocale::c();
    std::visit(
        [&](auto member) {
            using T = std::remove_cv_t<std::remove_reference_t<decltype(s.*member)>>;
            if constexpr (std::is_same_v<T, float>)
                s.*member = readSingle(text, c).value_or(defaults().*member);
            else if constexpr (std::is_same_v<T, qint16>)
                s.*member = readShort(text, c).value_or(defaults().*member);
            else
                s.*member = readLong(text, c).value_or(defaults().*member);
        },
        field);
}

QString describeWriteFailure(const QString &file)
{
    const QFileInfo fi(file);
    const QFileInfo dir(fi.absolutePath());
    if (dir.exists() && !dir.isDir())
        return QStringLiteral("%1 is a file, not a folder").arg(dir.absoluteFilePath());
    if (!dir.exists())
        return QStringLiteral("the folder %1 cannot be created").arg(dir.absoluteFilePath());
    if (!dir.isWritable())
        return QStringLiteral("the folder %1 is read-only").arg(dir.absoluteFilePath());
    if (fi.exists() && !fi.isWritable())
        return QStringLiteral("the file is read-only");
    if (fi.isDir())
        return QStringLiteral("a folder of that name is in the way");
    return QStringLiteral("the disk may be full");
}

} // namespace

QString sectionFor(int port) { return QStringLiteral("COM%1").arg(port); }

qint16 gespeicherteSchnittstelle(QSettings &store)
{
    const QString text =
        readStoreText(store, QStringLiteral("Schnittstelle"), QStringLiteral("COM"));
    return readShort(text, QLocale::c()).value_or(1);
}

void ladeEinstellungen(QSettings &store, int port, PumpSettings &s,
                       std::initializer_list<const char *> keys)
{
    for (const char *name : keys) {
        const Key *key = findKey(name);
        Q_ASSERT(key);
        if (!key)
            continue;
        const QString text = readStoreText(store, sectionFor(port), QString::fromLatin1(name));
        load(text, s, key->field);
    }
}

std::optional<double> gespeicherteZahl(QSettings &store, int port, const char *key)
{
    return readNumber(readStoreText(store, sectionFor(port), QString::fromLatin1(key)),
                      QLocale::c());
}

bool speichereEinstellungen(QSettings &opened, int port, const PumpSettings &s, QString *fehler)
{
    if (!prepareStoreForWriting(nullptr, fehler))
        return false;
    // The caller's object keeps the read error of a file just moved aside: write through
    // a fresh one, which reads the file as it is now.
    QSettings store(opened.fileName(), opened.format());
    store.beginGroup(QStringLiteral("Schnittstelle"));
    store.setValue(QStringLiteral("COM"), integerForm(port));
    store.endGroup();
    store.beginGroup(sectionFor(port));
    for (const Key &k : kKeys)
        store.setValue(QString::fromLatin1(k.name), textOf(s, k.field));
    store.endGroup();
    store.sync();
    if (store.status() == QSettings::NoError)
        return true;
    if (fehler)
        *fehler = QStringLiteral("The settings could not be saved to %1: %2.")
                      .arg(store.fileName(), describeWriteFailure(store.fileName()));
    return false;
}

void leitePauseAb(PumpSettings &s)
{
    if (const auto sec = inSekunden(s.Pause, s.Pauseeinheit))
        s.PauseSekunden = *sec;
}

void leiteDauerAb(PumpSettings &s)
{
    if (const auto sec = inSekunden(s.Dauer, s.Dauereinheit))
        s.DauerSekunden = *sec;
}

} // namespace vyt

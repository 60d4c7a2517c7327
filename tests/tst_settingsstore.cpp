// A damaged or unwritable settings store: the program always starts with sound values,
// never writes a NaN or an index outside its list, keeps the sections of other ports,
// and tells the operator when it cannot save. A file it cannot read is kept, not written over.
#include "config/SettingsStore.h"
#include "ui/WindowPlace.h"
#include "dialogs/frmSchnittstelle.h"
#include "session/Settings.h"
#include "support/AppFixture.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QtTest>
#include <cmath>
#include <unistd.h>

using namespace vyt;
using namespace vyt::test;

namespace {

QString storeFile() { return openStore()->fileName(); }

// Replaces the store file's text, keeping the simulator's port mapping.
void writeStore(const QByteArray &text)
{
    const QString ports = storedValue("Ports", "COM1");
    QFile f(storeFile());
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text);
    f.close();
    mapPort(1, ports);
}

QByteArray readStore(const QString &file = storeFile())
{
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString &file, const QByteArray &bytes)
{
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
}

bool sound(const PumpSettings &s)
{
    for (float v : {s.Dichte, s.Kalibrierfaktor, s.Menge, s.Pause, s.Pauseeinheit, s.Foerderstrom,
                    s.Dauer, s.Dauereinheit, s.Beschleunigung, s.Maximaldrehzahl, s.Dauerstrom,
                    s.Spitzenstrom, s.Left, s.Top, s.PauseSekunden, s.DauerSekunden})
        if (!std::isfinite(v))
            return false;
    return s.Pumpentyp >= 0 && s.Pumpentyp < 25 && s.Mengeneinheit >= 0 && s.Mengeneinheit < 3 &&
           s.Foerderstromeinheit >= 0 && s.Foerderstromeinheit < 3 && s.Pauseeinheit >= 0 &&
           s.Pauseeinheit < 4 && s.Dauereinheit >= 0 && s.Dauereinheit < 4 &&
           (s.Betriebsart == 1 || s.Betriebsart == 2) && s.Encodertyp >= 0 && s.Getriebetyp >= 0;
}

} // namespace

class tst_settingsstore : public QObject {
    Q_OBJECT
private slots:
    void windowPlaces_data();
    void windowPlaces();
    void windowPlaceIsWrittenOnlyWhenItChanged();
    void damagedFiles_data();
    void damagedFiles();
    void otherSectionsSurviveASave();
    void unwritableStoreIsReported_data();
    void unwritableStoreIsReported();
    void unreadableFileIsKept_data();
    void unreadableFileIsKept();
    void leftoverTemporaryRemoved_data();
    void leftoverTemporaryRemoved();
};

void tst_settingsstore::windowPlaces_data()
{
    // The test screen is the offscreen platform's at 0, 0, at least 800 x 600.
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QRect>("place"); // null: none; its size within the screen's
    QTest::newRow("a place") << "40 30 620 330" << QRect(40, 30, 620, 330);
    QTest::newRow("blanks around") << "  40  30 620 330 " << QRect(40, 30, 620, 330);
    QTest::newRow("larger than the screen") << "0 0 5000 4000" << QRect(0, 0, 5000, 4000);
    QTest::newRow("title bar half off the left edge")
        << "-100 10 400 300" << QRect(-100, 10, 400, 300);
    QTest::newRow("on no screen") << "-5000 -5000 620 330" << QRect();
    QTest::newRow("below the screen") << "40 2000 620 330" << QRect();
    QTest::newRow("nothing stored") << "" << QRect();
    QTest::newRow("three numbers") << "40 30 620" << QRect();
    QTest::newRow("five numbers") << "40 30 620 330 1" << QRect();
    QTest::newRow("no numbers") << "left top wide high" << QRect();
    QTest::newRow("a list") << "40,30,620,330" << QRect();
    QTest::newRow("zero width") << "40 30 0 330" << QRect();
    QTest::newRow("negative height") << "40 30 620 -330" << QRect();
    QTest::newRow("beyond int") << "40 30 620 99999999999" << QRect();
    QTest::newRow("far too far") << "2000000000 30 620 330" << QRect();
    QTest::newRow("not a number") << "nan 30 620 330" << QRect();
}

void tst_settingsstore::windowPlaces()
{
    QFETCH(QString, stored);
    QFETCH(QRect, place);
    useEmptyStore();
    if (!place.isNull())
        place.setSize(place.size().boundedTo(QGuiApplication::primaryScreen()->availableSize()));
    if (!stored.isEmpty())
        storeValue("Windows", "History", stored);
    const auto got = rememberedPlace(*openStore(), QStringLiteral("History"));
    QCOMPARE(got.value_or(QRect()), place);
}

void tst_settingsstore::windowPlaceIsWrittenOnlyWhenItChanged()
{
    useEmptyStore();
    QWidget window;
    window.resize(500, 300);
    window.move(20, 10);
    QString reason;
    QVERIFY2(rememberPlace(*openStore(), QStringLiteral("LivePlot"), window, &reason),
             qPrintable(reason));
    QCOMPARE(storedValue("Windows", "LivePlot"), QStringLiteral("20 10 500 300"));
    // The same place again leaves the file as it is (a write would drop the comment).
    QFile file(storeFile());
    QVERIFY(file.open(QIODevice::Append));
    file.write("; the operator's own line\n");
    file.close();
    QVERIFY(rememberPlace(*openStore(), QStringLiteral("LivePlot"), window, &reason));
    QVERIFY(readStore().contains("; the operator's own line"));
    window.move(30, 10);
    QVERIFY(rememberPlace(*openStore(), QStringLiteral("LivePlot"), window, &reason));
    QCOMPARE(storedValue("Windows", "LivePlot"), QStringLiteral("30 10 500 300"));
    // Nothing of the designed sections comes with it.
    QCOMPARE(openStore()->childGroups(), QStringList{"Windows"});
}

void tst_settingsstore::damagedFiles_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("missing section") << QByteArray();
    QTest::newRow("empty file") << QByteArray("\n");
    QTest::newRow("truncated lines") << QByteArray("[COM1]\nDichte=1.\nMenge=\nPumpent");
    QTest::newRow("no numbers") << QByteArray("[COM1]\nDichte=abc\nMenge=0x10\nPause=$5\n"
                                              "Wiederholung=many\nMaximaldrehzahl=1,5\n");
    QTest::newRow("nan and inf") << QByteArray("[COM1]\nDichte=nan\nMenge=inf\nPause=-inf\n"
                                               "Dauer=NaN\nLeft=1E39\nTop=-1E400\n");
    QTest::newRow("indices out of range")
        << QByteArray("[COM1]\nPumpentyp=25\nMengeneinheit=-1\nPauseeinheit=4\n"
                      "Foerderstromeinheit=3\nDauereinheit=2.5\nEncodertyp=9\n"
                      "Getriebetyp=-7\nBetriebsart=0\n");
    QTest::newRow("huge integers") << QByteArray("[COM1]\nPumpentyp=70000\nWiederholung=1E12\n");
    QTest::newRow("foreign section") << QByteArray("[Fremd]\nx=1\n[COM1]\nPumpentyp=2\n");
    QTest::newRow("binary junk") << QByteArray("\x01\x02[COM1\xff\n=\n==\n[COM1]\nMenge=5\x00\n", 26);
}

void tst_settingsstore::damagedFiles()
{
    QFETCH(QByteArray, text);
    AppFixture app(1, false);
    writeStore(text);
    QVERIFY(app.start());
    QVERIFY(sound(app.state().settings));
    QVERIFY(QGuiApplication::primaryScreen()->geometry().contains(app.window().pos()));
    QCOMPARE(app.messages().count(), 0);
    // What it saves reads back as numbers and indices inside their lists.
    QVERIFY(app.window().Beenden());
    const QByteArray saved = readStore();
    QVERIFY(!saved.toLower().contains("nan"));
    QVERIFY(!saved.toLower().contains("inf"));
    QVERIFY(app.restart());
    QVERIFY(sound(app.state().settings));
}

void tst_settingsstore::otherSectionsSurviveASave()
{
    AppFixture app(1, false);
    writeStore("[COM3]\nPumpentyp=7\nMenge=33\n[Fremd]\nSchluessel=Wert\n");
    QVERIFY(app.start());
    app.enter("txtMenge", "44");
    QVERIFY(app.window().Beenden());
    QCOMPARE(storedValue("COM3", "Pumpentyp"), QStringLiteral("7"));
    QCOMPARE(storedValue("COM3", "Menge"), QStringLiteral("33"));
    QCOMPARE(storedValue("Fremd", "Schluessel"), QStringLiteral("Wert"));
    QCOMPARE(storedValue("COM1", "Menge"), QStringLiteral("44"));
    QVERIFY(!storedValue("Ports", "COM1").isEmpty());
}

void tst_settingsstore::unwritableStoreIsReported_data()
{
    QTest::addColumn<bool>("readOnlyFolder");
    QTest::newRow("file in the way of the folder") << false;
    if (::geteuid() != 0) // root writes into read-only folders anyway
        QTest::newRow("read-only folder") << true;
}

void tst_settingsstore::unwritableStoreIsReported()
{
    QFETCH(bool, readOnlyFolder);
    AppFixture app;
    const QString file = storeFile();
    const QString dir = QFileInfo(file).absolutePath();
    if (readOnlyFolder) {
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::ExeOwner);
    } else {
        QDir(dir).removeRecursively();
        QFile blocker(dir);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    }
    // Yes to saving, then "Exit without saving" when it fails.
    app.messages().script({MsgResult::Yes, MsgResult::Discard});
    const bool ended = app.window().Beenden();
    if (readOnlyFolder)
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    else
        QFile::remove(dir);
    QVERIFY(ended);
    QCOMPARE(app.messages().count(), 2);
    const Message &m = app.messages().messages().at(1);
    QVERIFY2(m.text.contains(file), qPrintable(m.text));
    QCOMPARE(m.title, QStringLiteral("Error"));
    QVERIFY(app.ends().ended());
}

void tst_settingsstore::unreadableFileIsKept_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("kept");
    QTest::addColumn<bool>("olderBackup");
    const QString text = QStringLiteral("[COM1]\nMenge=5\nDichte=1.2\n[Ports]\nCOM1=/dev/x\n");
    const QByteArray utf16 =
        QStringEncoder(QStringEncoder::Utf16LE, QStringEncoder::Flag::WriteBom)(text);
    QTest::newRow("UTF-16 with BOM") << utf16 << true << false;
    QTest::newRow("UTF-16, older backup beside it") << utf16 << true << true;
    QTest::newRow("NUL bytes") << QByteArray("[COM1]\nMenge=5\0\n", 16) << true << false;
    QTest::newRow("Latin-1") << QByteArray("[COM1]\nMenge=5\n; \xfc\n") << true << false;
    QTest::newRow("broken header") << QByteArray("[COM1\nMenge=5\n") << true << false;
    QTest::newRow("valid") << text.toUtf8() << false << true;
    QTest::newRow("valid, UTF-8 BOM") << "\xef\xbb\xbf" + text.toUtf8() << false << false;
}

void tst_settingsstore::unreadableFileIsKept()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, kept);
    QFETCH(bool, olderBackup);
    useEmptyStore(); // the test's own store: its folder is emptied
    const QString file = storeFile();
    QDir dir = QFileInfo(file).absoluteDir();
    QVERIFY(dir.removeRecursively() && dir.mkpath("."));
    if (olderBackup)
        writeFile(file + ".bak", "older");
    writeFile(file, bytes);
    MessageRecorder messages;
    // The port dialog's OK writes the mapping at once, before any save question.
    frmSchnittstelle dialog;
    onNextModal([&](QWidget *) {
        dialog.findChild<QComboBox *>("cboGeraet")->setCurrentText("/dev/ttyUSB7");
        dialog.findChild<QPushButton *>("cmdOK")->click();
    });
    qint16 port = 0;
    QVERIFY(dialog.choosePort(port));
    QCOMPARE(storedValue("Ports", "COM1"), QStringLiteral("/dev/ttyUSB7"));
    QVERIFY2(messages.count() == int(kept), qPrintable(messages.texts().join('|')));
    const QStringList backups = dir.entryList({"*.bak"}); // the dated name sorts first
    QCOMPARE(backups.count(), int(kept) + int(olderBackup));
    if (olderBackup)
        QCOMPARE(readStore(file + ".bak"), QByteArray("older"));
    if (kept) {
        const QString backup = dir.filePath(backups.constFirst());
        QVERIFY(!olderBackup ||
                backup.contains(QRegularExpression(R"(\.\d{4}-\d\d-\d\dT\d{6}\.bak$)")));
        QCOMPARE(readStore(backup), bytes);
        const Message &m = messages.messages().constFirst();
        QVERIFY2(m.text.contains(file) && m.text.contains(backup), qPrintable(m.text));
        QVERIFY(m.title == "Error" && m.icon == MsgIcon::Exclamation &&
                m.buttons == MsgButtons::Ok);
    }
    QVERIFY(kept || readStore().contains("Menge=5"));
    // The save later in the same run tells nothing more and keeps the mapping.
    QString fehler;
    QVERIFY2(speichereEinstellungen(*openStore(), 1, PumpSettings{}, &fehler), qPrintable(fehler));
    QCOMPARE(messages.count(), int(kept));
    QCOMPARE(storedValue("Ports", "COM1"), QStringLiteral("/dev/ttyUSB7"));
}

void tst_settingsstore::leftoverTemporaryRemoved_data()
{
    QTest::addColumn<QString>("suffix"); // after "vyt.conf"
    QTest::addColumn<QString>("kind");   // file, folder or link
    QTest::addColumn<int>("ageSeconds");
    QTest::addColumn<bool>("removed");
    QTest::newRow("save killed half way") << ".aBcDe7"
                                          << "file" << 3600 << true;
    QTest::newRow("long process id") << ".Q12345"
                                     << "file" << 3600 << true;
    QTest::newRow("only digits") << ".123456"
                                 << "file" << 120 << true;
    QTest::newRow("another instance saving now") << ".aBcDe7"
                                                 << "file" << 0 << false;
    QTest::newRow("backup") << ".bak"
                            << "file" << 3600 << false;
    QTest::newRow("dated backup") << ".2026-12-07T153000.bak"
                                  << "file" << 3600 << false;
    QTest::newRow("own backup word") << ".backup"
                                     << "file" << 3600 << false;
    QTest::newRow("lock file") << ".lock"
                               << "file" << 3600 << false;
    QTest::newRow("five places") << ".abcd1"
                                 << "file" << 3600 << false;
    QTest::newRow("seven places") << ".abcde12"
                                  << "file" << 3600 << false;
    QTest::newRow("another program's") << "x.aBcDe7"
                                       << "file" << 3600 << false;
    QTest::newRow("folder of that name") << ".aBcDe7"
                                         << "folder" << 3600 << false;
    QTest::newRow("link of that name") << ".aBcDe7"
                                       << "link" << 3600 << false;
}

void tst_settingsstore::leftoverTemporaryRemoved()
{
    QFETCH(QString, suffix);
    QFETCH(QString, kind);
    QFETCH(int, ageSeconds);
    QFETCH(bool, removed);
    useEmptyStore();
    const QString file = storeFile();
    QDir dir = QFileInfo(file).absoluteDir();
    QVERIFY(dir.removeRecursively() && dir.mkpath("."));
    writeFile(file, "[Schnittstelle]\nCOM=1\n");
    const QString leftover = file + suffix;
    const QString target = dir.filePath("elsewhere");
    if (kind == "folder") {
        QVERIFY(dir.mkpath(leftover));
    } else {
        writeFile(kind == "link" ? target : leftover, "[COM1]\nMenge=");
        if (kind == "link")
            QVERIFY(QFile::link(target, leftover));
    }
    const QString aged = kind == "link" ? target : leftover;
    if (kind != "folder") {
        QFile f(aged);
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.setFileTime(QDateTime::currentDateTime().addSecs(-ageSeconds),
                              QFileDevice::FileModificationTime));
    }
    QCOMPARE(removeLeftoverStoreTemporaries(), int(removed));
    QCOMPARE(QFileInfo::exists(leftover) || QFileInfo(leftover).isSymLink(), !removed);
    QCOMPARE(readStore(file), QByteArray("[Schnittstelle]\nCOM=1\n"));
    QVERIFY(kind != "link" || QFileInfo::exists(target));
}

QTEST_MAIN(tst_settingsstore)
#include "tst_settingsstore.moc"

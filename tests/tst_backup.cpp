// The console's commissioning aids against the in-process controller: the marked
// transcript and unsolicited input, the parameter backup with compare, restore and
// read-back after Set, the bounds of the parameter boxes, and the function keys kept.
#include "config/PumpCatalog.h"
#include "config/SettingsStore.h"
#include "console/ParameterBackup.h"
#include "console/ParameterCompareDialog.h"
#include "console/frmDirekt.h"
#include "link/ControllerLink.h"
#include "link/MSComm.h"
#include "support/AppFixture.h"
#include "support/ConsoleRig.h"
#include "support/SimFixture.h"
#include "support/TestEnv.h"
#include "ui/MessageBox.h"
#include "ui/PlainText.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <memory>

using namespace vyt;

namespace {

const QString kNoResponse = QStringLiteral("Pump controller on serial port Com1: doesn't respond.");
const QStringList kReadBack{"GSP", "GAC", "GCC", "GPC"};
const char *const kBoxes[] = {"txtSP", "txtAC", "txtLCC", "txtLPC"};

struct Rig : test::ConsoleRig {
    QTemporaryDir folder;
    QStringList chooserCalls;
    QString chosen; // what the file dialogs answer

    [[nodiscard]] bool open() { return folder.isValid() && openPort(); }
    [[nodiscard]] QString file(const char *name) const
    {
        return folder.filePath(QLatin1String(name));
    }

    frmDirekt &show()
    {
        frmDirekt &shown = ConsoleRig::show();
        const FileChooser chooser = [this](QWidget *, const QString &caption, const QString &,
                                           const QString &) {
            chooserCalls << caption;
            return chosen;
        };
        shown.saveFileName = chooser;
        shown.openFileName = chooser;
        return shown;
    }
    // Clicks, then serves events until the reads the click started have ended.
    void click(const char *name)
    {
        child<QPushButton>(name)->click();
        QVERIFY(settle());
    }
    void setBoxes(const QStringList &values) const
    {
        for (int i = 0; i < 4; ++i)
            child<QLineEdit>(kBoxes[i])->setText(values.value(i));
    }
    [[nodiscard]] QStringList boxes() const
    {
        QStringList values;
        for (const char *box : kBoxes)
            values << child<QLineEdit>(box)->text();
        return values;
    }
    // Sets the controller's limits as an earlier session would have.
    [[nodiscard]] bool setController(const QStringList &values)
    {
        const char *const prefixes[] = {"SP ", "AC ", "LCC ", "LPC "};
        for (int i = 0; i < 4; ++i)
            port.setOutput(QByteArray(prefixes[i]) + values.at(i).toLatin1() + '\r');
        return sentLines().size() == 4;
    }
    // The transcript as (mark, text) pairs; a line without stamp and mark shows as "?".
    [[nodiscard]] QStringList transcript() const
    {
        static const QRegularExpression form(
            QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d ([<>]) (.*)$"));
        QStringList lines;
        const QString text = child<QPlainTextEdit>("txtTerminal")->toPlainText();
        for (const QString &line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            const QRegularExpressionMatch m = form.match(line);
            lines << (m.hasMatch() ? m.captured(1) + QLatin1Char(' ') + m.captured(2)
                                   : QStringLiteral("? ") + line);
        }
        return lines;
    }
};

ParameterBackup backupOf(const QStringList &values)
{
    ParameterBackup b;
    for (int i = 0; i < 4; ++i)
        b.values[i] = values.at(i);
    b.pumpType = QStringLiteral("vyt-P01");
    b.port = QStringLiteral("COM1");
    b.saved = QDateTime(QDate(2026, 12, 7), QTime(17, 30));
    return b;
}

bool writeText(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

} // namespace

class TestBackup : public QObject {
    Q_OBJECT

private slots:
    void transcriptMarks_data();
    void transcriptMarks();
    void unsolicitedInput_data();
    void unsolicitedInput();
    void transcriptSave_data();
    void transcriptSave();
    void backupRoundTrip_data();
    void backupRoundTrip();
    void backupFileRead_data();
    void backupFileRead();
    void compare_data();
    void compare();
    void readBack_data();
    void readBack();
    void boxBounds_data();
    void boxBounds();
    void refusedSetClearsReadBack_data();
    void refusedSetClearsReadBack();
    void functionKeysKept_data();
    void functionKeysKept();
    void storedKeyRefused_data();
    void storedKeyRefused();
    void outsideTextIsPlain_data();
    void outsideTextIsPlain();
    void messageBoxIsPlain_data();
    void messageBoxIsPlain();
    void plainToolTipReadsAsGiven_data();
    void plainToolTipReadsAsGiven();
};

void TestBackup::transcriptMarks_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("reply"); // null: silent
    QTest::addColumn<QStringList>("shown");
    QTest::newRow("reply") << "GN"
                           << "1500" << QStringList{"> GN", "< 1500"};
    QTest::newRow("silent") << "GN" << QString() << QStringList{"> GN"};
    QTest::newRow("as typed") << " v 100 " << QString() << QStringList{">  v 100 "};
    QTest::newRow("notification cut out") << "GN"
                                          << "p\r\n1500" << QStringList{"> GN", "< 1500"};
    QTest::newRow("control character named") << "TEM"
                                             << "3\x01"
                                                "1"
                                             << QStringList{"> TEM", "< 3<0x01>1"};
}

void TestBackup::transcriptMarks()
{
    QFETCH(QString, command);
    QFETCH(QString, reply);
    QFETCH(QStringList, shown);
    Rig rig;
    QVERIFY(rig.open());
    if (reply.isNull())
        rig.sim().setFault(sim::Fault::Silent);
    else
        rig.sim().setReply(command.trimmed(), reply);
    rig.show();
    rig.child<QLineEdit>("txtCommand")->setText(command);

    rig.click("cmdSend");

    QCOMPARE(rig.transcript(), shown);
    QCOMPARE(rig.sentLines(), QStringList{command});
}

void TestBackup::unsolicitedInput_data()
{
    QTest::addColumn<QByteArray>("bytes"); // sent by the controller while nobody reads
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<bool>("position");
    QTest::newRow("notification") << QByteArray("p\r\n") << QStringList{"< p (unsolicited)"}
                                  << true;
    QTest::newRow("two lines") << QByteArray("12\r\n34\r\n")
                               << QStringList{"< 12 (unsolicited)", "< 34 (unsolicited)"} << false;
    QTest::newRow("no line end") << QByteArray("abc") << QStringList{"< abc (unsolicited)"}
                                 << false;
}

void TestBackup::unsolicitedInput()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, shown);
    QFETCH(bool, position);
    Rig rig;
    QVERIFY(rig.open());
    rig.show();

    rig.sim().sendRaw(bytes);

    QTRY_COMPARE(rig.transcript(), shown);
    QCOMPARE(rig.state.PositionErreicht, position);
    // The next command comes after it, and its reply is its own.
    rig.sim().setReply(QStringLiteral("GN"), QStringLiteral("7"));
    rig.child<QLineEdit>("txtCommand")->setText(QStringLiteral("GN"));
    rig.click("cmdSend");
    QCOMPARE(rig.transcript(), shown + QStringList({"> GN", "< 7"}));
}

void TestBackup::transcriptSave_data()
{
    QTest::addColumn<QString>("name");    // empty: the dialog is cancelled
    QTest::addColumn<QString>("written"); // empty: no file
    QTest::addColumn<int>("messages");
    QTest::newRow("saved") << "console.txt"
                           << "console.txt" << 0;
    QTest::newRow("typed without ending") << "console"
                                          << "console.txt" << 0;
    QTest::newRow("cancelled") << ""
                               << "" << 0;
    QTest::newRow("folder missing") << "missing/console.txt"
                                    << "" << 1;
}

void TestBackup::transcriptSave()
{
    QFETCH(QString, name);
    QFETCH(QString, written);
    QFETCH(int, messages);
    Rig rig;
    QVERIFY(rig.open());
    rig.sim().setReply(QStringLiteral("GN"), QStringLiteral("1500 µ"));
    rig.show();
    rig.child<QLineEdit>("txtCommand")->setText(QStringLiteral("GN"));
    rig.click("cmdSend");
    const QString shown = rig.child<QPlainTextEdit>("txtTerminal")->toPlainText();
    rig.chosen = name.isEmpty() ? QString() : rig.folder.filePath(name);

    rig.click("cmdTranscriptSave");

    QCOMPARE(rig.chooserCalls, QStringList{"Save transcript"});
    QCOMPARE(rig.messages.count(), messages);
    QCOMPARE(QDir(rig.folder.path()).entryList(QDir::Files),
             written.isEmpty() ? QStringList{} : QStringList{written});
    if (!written.isEmpty()) {
        QFile file(rig.folder.filePath(written));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(file.readAll()), shown + QLatin1Char('\n'));
    }
    rig.click("cmdTranscriptClear");
    QCOMPARE(rig.transcript(), QStringList{});
}

void TestBackup::backupRoundTrip_data()
{
    QTest::addColumn<QStringList>("controller"); // empty: as the controller starts
    QTest::addColumn<bool>("silent");
    QTest::addColumn<bool>("cancel");
    QTest::addColumn<QStringList>("saved"); // empty: no file
    QTest::newRow("defaults") << QStringList{} << false << false
                              << QStringList{"6000", "500", "230", "400"};
    QTest::newRow("changed values") << QStringList{"4000", "1000", "200", "350"} << false << false
                                    << QStringList{"4000", "1000", "200", "350"};
    QTest::newRow("cancelled") << QStringList{} << false << true << QStringList{};
    QTest::newRow("silent controller") << QStringList{} << true << false << QStringList{};
}

void TestBackup::backupRoundTrip()
{
    QFETCH(QStringList, controller);
    QFETCH(bool, silent);
    QFETCH(bool, cancel);
    QFETCH(QStringList, saved);
    Rig rig;
    QVERIFY(rig.open());
    if (!controller.isEmpty())
        QVERIFY(rig.setController(controller));
    if (silent)
        rig.sim().setFault(sim::Fault::Silent);
    rig.show();
    const QString path = rig.file("backup.json");
    rig.chosen = cancel ? QString() : path;

    rig.click("cmdParameterBackup");

    QCOMPARE(rig.sentLines(), silent ? kReadBack : kReadBack + QStringList{"VER"});
    QCOMPARE(QFile::exists(path), !saved.isEmpty());
    QCOMPARE(rig.messages.count(), silent ? 4 : 0); // Load Parameters: one per read
    if (saved.isEmpty())
        return;
    QString error;
    const auto backup = readBackup(path, &error);
    QVERIFY2(backup, qPrintable(error));
    QCOMPARE(QStringList(backup->values.begin(), backup->values.end()), saved);
    QCOMPARE(backup->controllerVersion, QStringLiteral("vyt-controller-sim 1.0"));
    QCOMPARE(backup->port, QStringLiteral("COM1"));
    QCOMPARE(backup->device, rig.sim().devicePath());
    QCOMPARE(backup->pumpType, QString::fromUtf8(pumpType(0).name));
    QVERIFY(qAbs(backup->saved.secsTo(QDateTime::currentDateTime())) < 60);

    // Restore fills the boxes and sends nothing; Set then sends them as saved.
    rig.setBoxes({"1", "2", "3", "4"});
    rig.click("cmdParameterRestore");
    QCOMPARE(rig.boxes(), saved);
    QCOMPARE(rig.sentLines(), QStringList{});
    rig.click("cmdParameterSetzen");
    QCOMPARE(rig.sentLines().mid(0, 4), (QStringList{"SP " + saved[0], "AC " + saved[1],
                                                     "LCC " + saved[2], "LPC " + saved[3]}));
}

void TestBackup::backupFileRead_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("values"); // empty: refused
    const QByteArray head = R"({"kind": "vyt-pump-controller drive parameters", "format": 1, )";
    QTest::newRow("texts")
        << head + R"("parameters": {"SP": "5000", "AC": "700", "LCC": "220", "LPC": "380"}})"
        << QStringList{"5000", "700", "220", "380"};
    QTest::newRow("numbers typed by hand")
        << head + R"("parameters": {"SP": 5000, "AC": 700, "LCC": 220, "LPC": 380}})"
        << QStringList{"5000", "700", "220", "380"};
    QTest::newRow("a value missing")
        << head + R"("parameters": {"SP": "5000", "AC": "700", "LCC": "220"}})" << QStringList{};
    QTest::newRow("another file") << QByteArray(R"({"SP": "5000"})") << QStringList{};
    QTest::newRow("no JSON") << QByteArray("SP=5000\n") << QStringList{};
    QTest::newRow("too large") << QByteArray(kMaxBackupBytes + 1, ' ') << QStringList{};
}

void TestBackup::backupFileRead()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, values);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("b.json"));
    QVERIFY(writeText(path, content));
    QString error;
    const auto backup = readBackup(path, &error);
    QCOMPARE(bool(backup), !values.isEmpty());
    if (backup)
        QCOMPARE(QStringList(backup->values.begin(), backup->values.end()), values);
    else
        QVERIFY(!error.isEmpty());
}

void TestBackup::compare_data()
{
    QTest::addColumn<QStringList>("controller");
    QTest::addColumn<QStringList>("file");
    QTest::addColumn<float>("mainSpeed");
    QTest::addColumn<QStringList>("highlighted"); // "row,column"
    const QStringList defaults{"6000", "500", "230", "400"};
    QTest::newRow("all agree") << defaults << defaults << 6000.f << QStringList{};
    QTest::newRow("the backup's acceleration")
        << defaults << QStringList{"6000", "800", "230", "400"} << 6000.f << QStringList{"1,1"};
    QTest::newRow("the controller changed") << QStringList{"3000", "500", "230", "300"} << defaults
                                            << 6000.f << QStringList{"0,1", "0,2", "3,1", "3,2"};
    QTest::newRow("same number, other form")
        << defaults << QStringList{"6000.0", "500", "230", "400"} << 6000.f << QStringList{};
    QTest::newRow("main window's speed") << defaults << defaults << 4500.f << QStringList{"0,2"};
}

void TestBackup::compare()
{
    QFETCH(QStringList, controller);
    QFETCH(QStringList, file);
    QFETCH(float, mainSpeed);
    QFETCH(QStringList, highlighted);
    Rig rig;
    QVERIFY(rig.open());
    QVERIFY(rig.setController(controller));
    rig.state.settings.Maximaldrehzahl = mainSpeed;
    frmDirekt &console = rig.show();
    rig.chosen = rig.file("compare.json");
    QVERIFY(writeBackup(rig.chosen, backupOf(file), nullptr));
    QStringList cells;
    QStringList marked;
    console.showComparisonDialog = [&](ParameterCompareDialog &dialog) {
        auto *table = dialog.findChild<QTableWidget *>(QStringLiteral("tblParameterCompare"));
        for (int row = 0; row < table->rowCount(); ++row) {
            for (int col = 0; col < table->columnCount(); ++col) {
                cells << table->item(row, col)->text();
                if (table->item(row, col)->background().color() ==
                    ParameterCompareDialog::kDifference)
                    marked << QStringLiteral("%1,%2").arg(row).arg(col);
            }
        }
    };

    rig.click("cmdParameterCompare");

    QCOMPARE(rig.sentLines(), kReadBack);
    QCOMPARE(marked, highlighted);
    QCOMPARE(cells.size(), 12);
    QCOMPARE(cells.mid(0, 3), (QStringList{controller[0], file[0], QString::number(mainSpeed)}));
    QCOMPARE(rig.messages.count(), 0);
    QCOMPARE(rig.boxes(), (QStringList{"", "", "", ""})); // the boxes are left alone
}

void TestBackup::readBack_data()
{
    QTest::addColumn<int>("fault"); // sim::Fault
    QTest::addColumn<int>("param");
    QTest::addColumn<QString>("marks");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QStringList>("sent");
    const QStringList set{"SP 4000", "AC 1000", "LCC 200", "LPC 350"};
    QTest::newRow("taken") << int(sim::Fault::None) << 0 << QString::fromUtf8("✓✓✓✓")
                           << "Read back: all four values taken." << set + kReadBack;
    QTest::newRow("Set ignored")
        << int(sim::Fault::IgnoresSet) << 0 << QString::fromUtf8("✗✗✗✗")
        << "Read back: not taken: SP (sent 4000, the controller has 6000); AC (sent 1000, the "
           "controller has 500); LCC (sent 200, the controller has 230); LPC (sent 350, the "
           "controller has 400)."
        << set + kReadBack;
    QTest::newRow("acceleration ignored")
        << int(sim::Fault::IgnoresSet) << 2 << QString::fromUtf8("✓✗✓✓")
        << "Read back: not taken: AC (sent 1000, the controller has 500)." << set + kReadBack;
    QTest::newRow("silent") << int(sim::Fault::Silent) << 0 << ""
                            << "Sent; the controller did not answer the read-back."
                            << set + QStringList{"GSP"};
}

void TestBackup::readBack()
{
    QFETCH(int, fault);
    QFETCH(int, param);
    QFETCH(QString, marks);
    QFETCH(QString, status);
    QFETCH(QStringList, sent);
    Rig rig;
    QVERIFY(rig.open());
    rig.sim().setFault(sim::Fault(fault), param);
    rig.show();
    rig.setBoxes({"4000", "1000", "200", "350"});

    rig.click("cmdParameterSetzen");

    QCOMPARE(rig.sentLines(), sent);
    QString shown;
    for (const char *mark : {"lblSPReadBack", "lblACReadBack", "lblLCCReadBack", "lblLPCReadBack"})
        shown += rig.child<QLabel>(mark)->text();
    QCOMPARE(shown, marks);
    QCOMPARE(rig.child<QLabel>("lblParameterStatus")->text(), status);
    QCOMPARE(rig.messages.count(), fault == int(sim::Fault::Silent) ? 1 : 0);
    // A box edited afterwards has not been read back.
    if (!marks.isEmpty()) {
        QTest::keyClick(rig.child<QLineEdit>("txtAC"), Qt::Key_0);
        QCOMPARE(rig.child<QLabel>("lblACReadBack")->text(), QString());
    }
}

void TestBackup::boxBounds_data()
{
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<float>("maxSpeed");  // the pump type's bound
    QTest::addColumn<QString>("locale");  // the operator's; empty: C
    QTest::addColumn<QString>("message"); // empty: accepted
    QTest::addColumn<QString>("focus");
    QTest::addColumn<QStringList>("sent");
    const QString speed = QStringLiteral("Please enter an integer number between 1 and 6000.");
    const QString acceleration = QStringLiteral("Please enter a value from 1 to 2000.");
    const QString current = QStringLiteral("Please enter an integer number between 100 and 300.");
    const QString peak = QStringLiteral("Please enter an integer number between 100 and 400.");
    const QStringList none;
    const auto set = [](const char *sp, const char *ac, const char *lcc, const char *lpc) {
        return QStringList{QStringLiteral("SP ") + sp, QStringLiteral("AC ") + ac,
                           QStringLiteral("LCC ") + lcc, QStringLiteral("LPC ") + lpc};
    };
    QTest::newRow("speed above") << QStringList{"6001", "500", "230", "400"} << 6000.f << ""
                                 << speed << "txtSP" << none;
    QTest::newRow("acceleration 0") << QStringList{"6000", "0", "230", "400"} << 6000.f << ""
                                    << acceleration << "txtAC" << none;
    QTest::newRow("current below")
        << QStringList{"6000", "500", "50", "400"} << 6000.f << "" << current << "txtLCC" << none;
    QTest::newRow("peak no number")
        << QStringList{"6000", "500", "230", "abc"} << 6000.f << "" << peak << "txtLPC" << none;
    QTest::newRow("acceleration empty")
        << QStringList{"6000", "", "230", "400"} << 6000.f << "" << acceleration << "txtAC" << none;
    QTest::newRow("another type's bound")
        << QStringList{"5000", "500", "230", "400"} << 4000.f << ""
        << "Please enter an integer number between 1 and 4000."
        << "txtSP" << none;
    QTest::newRow("bounds included") << QStringList{"6000", "2000", "300", "100"} << 6000.f << ""
                                     << ""
                                     << "" << set("6000", "2000", "300", "100");
    // A fraction is refused, not rounded: the controller gets what the box says or nothing.
    QTest::newRow("acceleration 12.5") << QStringList{"6000", "12.5", "230", "400"} << 6000.f << ""
                                       << acceleration << "txtAC" << none;
    QTest::newRow("current 200.4") << QStringList{"6000", "500", "200.4", "400"} << 6000.f << ""
                                   << current << "txtLCC" << none;
    QTest::newRow("speed half") << QStringList{"2500.5", "500", "230", "400"} << 6000.f << ""
                                << speed << "txtSP" << none;
    QTest::newRow("peak 399.5") << QStringList{"6000", "500", "230", "399.5"} << 6000.f << ""
                                << peak << "txtLPC" << none;
    QTest::newRow("fraction with an exponent") << QStringList{"6000", "1.25E1", "230", "400"}
                                               << 6000.f << "" << acceleration << "txtAC" << none;
    QTest::newRow("fraction a double drops")
        << QStringList{"6000", "500", "200.0000000000000001", "400"} << 6000.f << "" << current
        << "txtLCC" << none;
    QTest::newRow("group separator")
        << QStringList{"6,000", "500", "230", "400"} << 6000.f << "" << speed << "txtSP" << none;
    QTest::newRow("whole in other forms")
        << QStringList{"2500.0", "1E3", "+230", " 4.00E2 "} << 6000.f << ""
        << ""
        << "" << set("2500", "1000", "230", "400");
    QTest::newRow("German comma, whole")
        << QStringList{"6000", "12,0", "230", "400"} << 6000.f << "de_DE"
        << ""
        << "" << set("6000", "12", "230", "400");
    QTest::newRow("German comma, fraction") << QStringList{"6000", "12,5", "230", "400"} << 6000.f
                                            << "de_DE" << acceleration << "txtAC" << none;
    QTest::newRow("German locale, controller's point")
        << QStringList{"6000", "12.0", "230", "400"} << 6000.f << "de_DE"
        << ""
        << "" << set("6000", "12", "230", "400");
    QTest::newRow("German locale, point fraction")
        << QStringList{"6000", "12.5", "230", "400"} << 6000.f << "de_DE" << acceleration << "txtAC"
        << none;
    // One in the controller's notation, a thousand in German.
    QTest::newRow("German locale, ambiguous")
        << QStringList{"6000", "1.000", "230", "400"} << 6000.f << "de_DE" << acceleration
        << "txtAC" << none;
    QTest::newRow("German groups") << QStringList{"6000", "1.000,0", "230", "400"} << 6000.f
                                   << "de_DE" << acceleration << "txtAC" << none;
}

void TestBackup::boxBounds()
{
    QFETCH(QStringList, boxes);
    QFETCH(float, maxSpeed);
    QFETCH(QString, locale);
    QFETCH(QString, message);
    QFETCH(QString, focus);
    QFETCH(QStringList, sent);
    const QLocale before;
    if (!locale.isEmpty())
        QLocale::setDefault(QLocale(locale));
    const auto restore = qScopeGuard([&] { QLocale::setDefault(before); });
    Rig rig;
    QVERIFY(rig.open());
    rig.state.DrehzahlMax = maxSpeed;
    frmDirekt &console = rig.show();
    rig.setBoxes(boxes);

    rig.click("cmdParameterSetzen");

    QCOMPARE(rig.messages.texts(), message.isEmpty() ? QStringList{} : QStringList{message});
    if (!message.isEmpty()) {
        QCOMPARE(rig.messages.messages().first().title, QStringLiteral("Error"));
        QCOMPARE(console.focusWidget()->objectName(), focus);
        QCOMPARE(rig.boxes(), boxes); // left for the operator to correct
    } else {
        QStringList shown; // the boxes show what went out
        for (const QString &line : sent)
            shown << line.section(QLatin1Char(' '), 1);
        QCOMPARE(rig.boxes(), shown);
    }
    const QStringList lines = rig.sentLines();
    QCOMPARE(lines.mid(0, 4), sent);
    QCOMPARE(lines.size(), sent.isEmpty() ? 0 : 8); // and the read-back
}

void TestBackup::refusedSetClearsReadBack_data()
{
    QTest::addColumn<int>("fault");      // sim::Fault of the first Set
    QTest::addColumn<bool>("restored");  // the boxes come from a backup
    QTest::addColumn<QString>("before"); // the status after the first step
    QTest::addColumn<QString>("after");  // and after the refused Set
    QTest::newRow("after not taken")
        << int(sim::Fault::IgnoresSet) << false
        << "Read back: not taken: AC (sent 1000, the controller has 500)."
        << "";
    QTest::newRow("after taken") << int(sim::Fault::None) << false
                                 << "Read back: all four values taken."
                                 << "";
    QTest::newRow("after a silent read-back")
        << int(sim::Fault::Silent) << false << "Sent; the controller did not answer the read-back."
        << "";
    const QString restoredStatus =
        QStringLiteral("From backup.json: click Set Parameters to send.");
    QTest::newRow("a restore's status stays")
        << int(sim::Fault::None) << true << restoredStatus << restoredStatus;
}

void TestBackup::refusedSetClearsReadBack()
{
    QFETCH(int, fault);
    QFETCH(bool, restored);
    QFETCH(QString, before);
    QFETCH(QString, after);
    Rig rig;
    QVERIFY(rig.open());
    rig.show();
    auto *status = rig.child<QLabel>("lblParameterStatus");
    const auto marks = [&rig] {
        QString shown;
        for (const char *mark :
             {"lblSPReadBack", "lblACReadBack", "lblLCCReadBack", "lblLPCReadBack"})
            shown += rig.child<QLabel>(mark)->text();
        return shown;
    };
    if (restored) {
        QString error;
        QVERIFY(
            writeBackup(rig.file("backup.json"), backupOf({"4000", "1000", "200", "350"}), &error));
        rig.chosen = rig.file("backup.json");
        rig.click("cmdParameterRestore");
    } else {
        rig.sim().setFault(sim::Fault(fault), 2);
        rig.setBoxes({"4000", "1000", "200", "350"});
        rig.click("cmdParameterSetzen");
        QVERIFY(!marks().isEmpty() || fault == int(sim::Fault::Silent));
        rig.sim().setFault(sim::Fault::None);
    }
    QCOMPARE(status->text(), before);
    (void)rig.sentLines();
    rig.messages.clear();

    rig.child<QLineEdit>("txtAC")->setText(QStringLiteral("12.5"));
    rig.click("cmdParameterSetzen");

    QCOMPARE(rig.messages.texts(), QStringList{"Please enter a value from 1 to 2000."});
    QCOMPARE(rig.sentLines(), QStringList{});
    QCOMPARE(status->text(), after);
    QCOMPARE(marks(), QString());
}

void TestBackup::functionKeysKept_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("reset");
    QTest::addColumn<int>("reopenPort");
    QTest::addColumn<QString>("shown");  // in the box after reopening
    QTest::addColumn<QString>("stored"); // [FunctionKeys] COM1/F<key>; null: no key
    QTest::newRow("kept") << 2 << "V 1500" << false << 1 << "V 1500"
                          << "V 1500";
    QTest::newRow("not on another port") << 2 << "V 1500" << false << 2 << "V2000"
                                         << "V 1500";
    QTest::newRow("blanks and a comma") << 12 << " LR 10, M " << false << 1 << " LR 10, M "
                                        << " LR 10, M ";
    QTest::newRow("emptied") << 7 << "" << false << 1 << ""
                             << "";
    QTest::newRow("reset") << 9 << "LR 1" << true << 1 << "LR64" << QString();
    QTest::newRow("default not kept") << 1 << "V1000" << false << 1 << "V1000" << QString();
}

void TestBackup::functionKeysKept()
{
    QFETCH(int, key);
    QFETCH(QString, text);
    QFETCH(bool, reset);
    QFETCH(int, reopenPort);
    QFETCH(QString, shown);
    QFETCH(QString, stored);
    Rig rig; // empties the store
    rig.show();
    const QByteArray box = "txtF" + QByteArray::number(key);
    rig.child<QLineEdit>(box.constData())->setText(text);
    if (reset)
        rig.click("cmdResetKeys");
    rig.click("cmdSchliessen");

    auto store = openStore();
    QCOMPARE(store->childGroups().contains(QStringLiteral("FunctionKeys")), !stored.isNull());
    for (const QString &group : store->childGroups())
        QVERIFY2(group == QLatin1String("FunctionKeys") || group == QLatin1String("Ports"),
                 qPrintable(group)); // no designed section is written
    store->beginGroup(QStringLiteral("FunctionKeys"));
    QCOMPARE(store->value(QStringLiteral("COM1/F%1").arg(key)).toString(),
             stored.isNull() ? QString() : stored);
    store->endGroup();

    rig.state.Schnittstelle = qint16(reopenPort);
    rig.show();
    QCOMPARE(rig.child<QLineEdit>(box.constData())->text(), shown);
    QCOMPARE(rig.messages.count(), 0);
}

void TestBackup::storedKeyRefused_data()
{
    QTest::addColumn<QByteArray>("ini");  // the [FunctionKeys] line, as written by hand
    QTest::addColumn<QString>("refusal"); // empty: the key is loaded
    QTest::addColumn<QString>("sent");    // by F1
    const QString control = QStringLiteral(
        "A command may not contain control characters: %1 at position %2. Give each command a "
        "line of its own.");
    QTest::newRow("CR: three commands") << QByteArray(R"(COM1\F1="V1000\rSP 99999\rEEPSAV")")
                                        << control.arg("CR (0x0D)").arg(6) << "V1000";
    QTest::newRow("LF") << QByteArray(R"(COM1\F1="V1000\nM")") << control.arg("LF (0x0A)").arg(6)
                        << "V1000";
    QTest::newRow("XON") << QByteArray(R"(COM1\F1="V\x11 1000")")
                         << control.arg("XON (0x11)").arg(2) << "V1000";
    QTest::newRow("NUL") << QByteArray(R"(COM1\F1="V\0 1000")") << control.arg("NUL (0x00)").arg(2)
                         << "V1000";
    const QString tooLong =
        QStringLiteral("A command may have at most 255 characters; this one has 256.");
    QTest::newRow("256 characters")
        << "COM1\\F1=\"V1000" + QByteArray(251, ' ') + '"' << tooLong << "V1000";
    const QString longest = QStringLiteral("V1000") + QString(250, QLatin1Char(' '));
    QTest::newRow("255 characters")
        << "COM1\\F1=\"" + longest.toLatin1() + '"' << QString() << longest;
}

void TestBackup::storedKeyRefused()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, refusal);
    QFETCH(QString, sent);
    Rig rig; // empties the store
    QVERIFY(rig.open());
    const QString fileName = openStore()->fileName();
    QFile file(fileName);
    QVERIFY(file.open(QIODevice::Append));
    file.write("[FunctionKeys]\n" + ini + '\n');
    file.close();

    rig.show();
    const QString expected =
        refusal.isEmpty()
            ? QString()
            : QStringLiteral("The stored command of function key F1 was not loaded. %1 F1 has its "
                             "default command \"V1000\" again.")
                  .arg(refusal);
    // Told once, after the console shows.
    if (!expected.isEmpty())
        QTRY_COMPARE(rig.messages.count(), 1);
    QCOMPARE(rig.messages.texts(), expected.isEmpty() ? QStringList() : QStringList{expected});
    QCOMPARE(rig.child<QLineEdit>("txtF1")->text(), sent);
    rig.click("cmdF1");
    QCOMPARE(rig.sentLines(), QStringList{sent});
    // The default is what is kept: the next console has nothing to tell.
    rig.click("cmdSchliessen");
    rig.messages.clear();
    rig.show();
    (void)rig.sentLines(); // serves the events in which a message would come
    QCOMPARE(rig.messages.count(), 0);
    QCOMPARE(rig.child<QLineEdit>("txtF1")->text(), sent);
}

namespace {

const QString kMarkup =
    QStringLiteral("<b style=\"color:green;font-size:30pt\">\u2713 verified by the maker \u2013 "
                   "save to EEPROM</b>");

} // namespace

void TestBackup::outsideTextIsPlain_data()
{
    QTest::addColumn<QString>("tool"); // the console button that shows the backup's text
    QTest::addColumn<QString>("label");
    QTest::newRow("restore, status line") << "cmdParameterRestore"
                                          << "lblParameterStatus";
    QTest::newRow("compare, its note") << "cmdParameterCompare"
                                       << "lblCompareNote";
}

void TestBackup::outsideTextIsPlain()
{
    QFETCH(QString, tool);
    QFETCH(QString, label);
    Rig rig;
    QVERIFY(rig.open());
    frmDirekt &console = rig.show();
    rig.chosen = rig.file("markup.json");
    ParameterBackup backup = backupOf({"6000", "500", "230", "400"});
    backup.pumpType = kMarkup;
    backup.pumpTypeIndex = -1;
    QVERIFY(writeBackup(rig.chosen, backup, nullptr));
    const QLabel *shown = nullptr;
    QString text;
    console.showComparisonDialog = [&](ParameterCompareDialog &dialog) {
        const auto *note = dialog.findChild<QLabel *>(label);
        QVERIFY(note && note->textFormat() == Qt::PlainText);
        text = note->text();
    };

    rig.click(tool.toLatin1().constData());

    if (label == QLatin1String("lblParameterStatus")) {
        shown = rig.child<QLabel>("lblParameterStatus");
        QCOMPARE(shown->textFormat(), Qt::PlainText);
        text = shown->text();
    }
    QVERIFY2(text.contains(kMarkup), qPrintable(text));
    QCOMPARE(rig.messages.count(), 0);
}

void TestBackup::messageBoxIsPlain_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("bold") << "<b>x</b>";
    QTest::newRow("a backup's pump type") << kMarkup;
    QTest::newRow("a link") << "<a href=\"http://x\">y</a>";
}

void TestBackup::messageBoxIsPlain()
{
    QFETCH(QString, text);
    // The box itself, built as showMessage() builds it and never shown.
    const auto box = messageBox(nullptr, Message{text, QStringLiteral("Error")});
    QCOMPARE(box->textFormat(), Qt::PlainText);
    QCOMPARE(box->text(), text);
    const auto *label = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_label"));
    QVERIFY(label);
    QCOMPARE(label->textFormat(), Qt::PlainText);
    QCOMPARE(label->text(), text);
}

void TestBackup::plainToolTipReadsAsGiven_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("a reply with tags") << "Sent 6000, the controller has <b>6000</b>.";
    QTest::newRow("an ampersand") << "Sent 1, the controller has &amp;.";
    QTest::newRow("plain") << "Sent 6000, the controller has 6000.";
}

void TestBackup::plainToolTipReadsAsGiven()
{
    QFETCH(QString, text);
    QTextDocument shown;
    shown.setHtml(plainToolTip(text));
    QCOMPARE(shown.toPlainText(), text);
}

QTEST_MAIN(TestBackup)
#include "tst_backup.moc"

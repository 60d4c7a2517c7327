// The program's command line on a bare terminal: no display, no platform chosen, so a
// QApplication made too early would abort instead of answering.
#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

namespace {

constexpr int kTimeoutMs = 20000;

struct Outcome {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Outcome runProgram(const QStringList &args)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/vyt-pump-controller"),
                  args);
    Outcome outcome;
    if (!process.waitForFinished(kTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return outcome;
    }
    if (process.exitStatus() == QProcess::NormalExit)
        outcome.exitCode = process.exitCode();
    outcome.out = process.readAllStandardOutput();
    outcome.err = process.readAllStandardError();
    return outcome;
}

} // namespace

class TstCommandLine : public QObject {
    Q_OBJECT
private slots:
    void answers_data();
    void answers();
};

void TstCommandLine::answers_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out"); // a pattern; empty: nothing at all on stdout
    QTest::addColumn<QString>("err"); // a pattern; empty: nothing at all on stderr

    const QString version = QRegularExpression::escape(QStringLiteral(VYT_VERSION));
    const QString usage = QStringLiteral("^Usage: vyt-pump-controller \\[options\\]\n(.|\n)*"
                                         "--help(.|\n)*--version(.|\n)*"
                                         "--remote-control <\\[ADDRESS:\\]PORT>");
    QTest::newRow("--help") << QStringList{"--help"} << 0 << usage << QString();
    QTest::newRow("-h") << QStringList{"-h"} << 0 << usage << QString();
    QTest::newRow("--version") << QStringList{"--version"} << 0
                               << QStringLiteral("^vyt-pump-controller %1\n$").arg(version)
                               << QString();
    QTest::newRow("Qt's options pass")
        << QStringList{"-platform", "offscreen", "--version"} << 0
        << QStringLiteral("^vyt-pump-controller %1\n$").arg(version) << QString();
    QTest::newRow("--bogus") << QStringList{"--bogus"} << 2 << QString()
                             << QStringLiteral("'bogus'(.|\n)*--help");
    QTest::newRow("-bogus") << QStringList{"-bogus"} << 2 << QString() << QStringLiteral("'bogus'");
    QTest::newRow("stray argument")
        << QStringList{"stray"} << 2 << QString() << QStringLiteral("'stray'");
    QTest::newRow("--remote-control without a value")
        << QStringList{"--remote-control"} << 2 << QString() << QStringLiteral("remote-control");
    QTest::newRow("--remote-control port 0")
        << QStringList{"--remote-control", "0"} << 2 << QString()
        << QStringLiteral("Invalid value for --remote-control: '0' is no port number");
    QTest::newRow("--remote-control no address")
        << QStringList{"--remote-control", "pumps:8650"} << 2 << QString()
        << QStringLiteral("'pumps' is no IP address");
    QTest::newRow("--remote-control with --version")
        << QStringList{"--remote-control", "8650", "--version"} << 0
        << QStringLiteral("^vyt-pump-controller %1\n$").arg(version) << QString();
    QTest::newRow("--sila port 0")
        << QStringList{"--sila", "0"} << 2 << QString()
        << QStringLiteral("Invalid value for --sila: '0' is no port number");
    QTest::newRow("--sila-cert without --sila")
        << QStringList{"--sila-cert", "a.crt", "--sila-key", "a.key"} << 2 << QString()
        << QStringLiteral("--sila-cert and --sila-key go with --sila");
    QTest::newRow("--sila-cert without its key")
        << QStringList{"--sila", "50052", "--sila-cert", "a.crt"} << 2 << QString()
        << QStringLiteral("--sila-cert and --sila-key go together");
    QTest::newRow("--sila-key without its certificate")
        << QStringList{"--sila", "50052", "--sila-key", "a.key"} << 2 << QString()
        << QStringLiteral("--sila-cert and --sila-key go together");
    QTest::newRow("bogus after --help")
        << QStringList{"--help", "--bogus"} << 2 << QString() << QStringLiteral("'bogus'");
}

void TstCommandLine::answers()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);

    const Outcome outcome = runProgram(args);
    const QString stdOut = QString::fromLocal8Bit(outcome.out);
    const QString stdErr = QString::fromLocal8Bit(outcome.err);
    QVERIFY2(
        outcome.exitCode == exitCode,
        qPrintable(QStringLiteral("exit code %1, stderr: %2").arg(outcome.exitCode).arg(stdErr)));
    if (out.isEmpty())
        QCOMPARE(stdOut, QString());
    else
        QVERIFY2(QRegularExpression(out).match(stdOut).hasMatch(), qPrintable(stdOut));
    if (err.isEmpty())
        QCOMPARE(stdErr, QString());
    else
        QVERIFY2(QRegularExpression(err).match(stdErr).hasMatch(), qPrintable(stdErr));
}

QTEST_GUILESS_MAIN(TstCommandLine)
#include "tst_commandline.moc"

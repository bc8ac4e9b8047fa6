// The shell text of the point-list export, run by busybox's shell as the
// gateway runs it (its directory moved into a scratch folder, tftp replaced
// by a copy into a fake TFTP root): a current busrelay gives the point list,
// a busrelay that ignores --points is stopped and gives no point list.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "pointlistview.h"
#include "sshcommands.h"

class TstPointExport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void currentServiceGivesThePointList();
    void serviceWithoutTheOptionIsStopped();

private:
    // Runs the export text with /gateway/modbus -> gwDir; the pushed file lands
    // in rootDir. Returns the shell's exit code, -1 when it did not end in time.
    int runExport(const QString &gwDir, const QString &rootDir, int timeoutMs);
    void writeFile(const QString &path, const QByteArray &data, bool executable = false);

    QString m_shell;
    QTemporaryDir m_tmp;
};

void TstPointExport::writeFile(const QString &path, const QByteArray &data, bool executable)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(data);
    f.close();
    if (executable)
        f.setPermissions(f.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeGroup);
}

void TstPointExport::initTestCase()
{
    const QString busybox = QStandardPaths::findExecutable("busybox");
    if (busybox.isEmpty())
        QSKIP("busybox is not installed");
    m_shell = busybox;
    QVERIFY(m_tmp.isValid());
    // The fake gateway tftp: "tftp -pr NAME HOST PORT" copies NAME into $TFTP_ROOT.
    QDir(m_tmp.path()).mkpath("bin");
    writeFile(m_tmp.filePath("bin/tftp"),
              "#!/bin/sh\n[ \"$1\" = -pr ] || exit 1\ncp \"$2\" \"$TFTP_ROOT/$2\"\n", true);
}

int TstPointExport::runExport(const QString &gwDir, const QString &rootDir, int timeoutMs)
{
    QString text = SshCommands::exportPoints("gw7f0001", "127.0.0.1");
    text.replace("/gateway/modbus", gwDir);
    QProcess sh;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", m_tmp.filePath("bin") + ":" + env.value("PATH"));
    env.insert("TFTP_ROOT", rootDir);
    sh.setProcessEnvironment(env);
    sh.start(m_shell, {"sh"});
    sh.write(text.toUtf8());
    sh.closeWriteChannel();
    if (!sh.waitForFinished(timeoutMs)) {
        sh.kill();
        sh.waitForFinished(2000);
        return -1;
    }
    return sh.exitCode();
}

void TstPointExport::currentServiceGivesThePointList()
{
    const QString bin = qEnvironmentVariable("BIN_DIR") + "/busrelay";
    const QString sample = qEnvironmentVariable("SOURCE_DIR") + "/busrelay/sample";
    if (!QFile::exists(bin))
        QSKIP("busrelay is not built (BIN_DIR)");
    const QString gw = m_tmp.filePath("gw-current");
    const QString root = m_tmp.filePath("root-current");
    QDir().mkpath(gw + "/descJson");
    QDir().mkpath(root);
    QVERIFY(QFile::link(bin, gw + "/busrelay"));
    for (const char *f : {"map.json", "vrvC.json"})
        QVERIFY(QFile::copy(sample + "/" + f, gw + "/" + QString(f)));
    for (const QString &f : QDir(sample + "/descJson").entryList(QDir::Files))
        QVERIFY(QFile::copy(sample + "/descJson/" + f, gw + "/descJson/" + f));

    QElapsedTimer t;
    t.start();
    QCOMPARE(runExport(gw, root, 30000), 0);
    // The service ended by itself: the command's watchdog kills it only after 10 s.
    QVERIFY2(t.elapsed() < 10000, qPrintable(QString("the export took %1 ms: it waited for its time limit").arg(t.elapsed())));
    QVERIFY(!QFile::exists(gw + "/gw7f0001-points.csv"));  // removed after the push

    QFile pushed(root + "/gw7f0001-points.csv");
    QVERIFY(pushed.open(QIODevice::ReadOnly));
    PointTable got;
    QString error;
    QVERIFY2(parsePointList(pushed.readAll(), &got, &error), qPrintable(error));

    QProcess direct;
    direct.start(bin, {"--points", sample});
    QVERIFY(direct.waitForFinished(20000));
    PointTable expected;
    QVERIFY(parsePointList(direct.readAllStandardOutput(), &expected, &error));
    QCOMPARE(got.columns, expected.columns);
    QCOMPARE(got.rows, expected.rows);
    QVERIFY(got.rows.size() > 100);
}

void TstPointExport::serviceWithoutTheOptionIsStopped()
{
    const QString gw = m_tmp.filePath("gw-old");
    const QString root = m_tmp.filePath("root-old");
    QDir().mkpath(gw);
    QDir().mkpath(root);
    // An older busrelay: ignores its arguments, prints its loader lines and runs on.
    const QString marker = gw + "/still-running";
    writeFile(gw + "/busrelay",
              "#!/bin/sh\necho '----------find switch3a.json'\necho 'swa30001'\n"
              "touch " + marker.toUtf8() + "\nexec sleep 57.25\n", true);

    QElapsedTimer t;
    t.start();
    QCOMPARE(runExport(gw, root, 30000), 0);
    QVERIFY(t.elapsed() >= 9000 && t.elapsed() < 20000);
    QVERIFY(QFile::exists(marker));

    QFile pushed(root + "/gw7f0001-points.csv");
    QVERIFY(pushed.open(QIODevice::ReadOnly));
    PointTable got;
    QString error;
    QVERIFY(!parsePointList(pushed.readAll(), &got, &error));  // the tool refuses it
    // The stand-in service was killed, not left running beside the real one.
    QProcess pidof;
    pidof.start("sh", {"-c", "for p in /proc/[0-9]*; do tr '\\0' ' ' < $p/cmdline 2>/dev/null;"
                             " echo; done | grep -c '^sleep 57.25 $'"});
    QVERIFY(pidof.waitForFinished(5000));
    QCOMPARE(pidof.readAllStandardOutput().trimmed(), QByteArray("0"));
}

QTEST_MAIN(TstPointExport)
#include "tst_pointexport.moc"

// The upgrade package the build produces (package/modbus.zip + mbver.txt)
// passes the tool's package check, and fails it once one byte of the zip
// changes.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>
#include <QtTest>

#include "upgradepackage.h"

namespace {

struct Checked {
    bool ok = false;
    QString version;
};

Checked packageCheck(const QString &root)
{
    Checked c;
    const UpgradePackage p = UpgradePackage::check(root, "mbver.txt", "modbus.zip");
    c.ok = p.matches();
    c.version = p.version;
    return c;
}

QString versionText()
{
    // The service's own version constant.
    for (const char *hdr : {"service.h"}) {
        QFile f(qEnvironmentVariable("SOURCE_DIR") + "/busrelay/src/app/main/" + hdr);
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QString text = QString::fromUtf8(f.readAll());
        const QString key = "_VERSION_TEXT = \"";
        const int at = text.indexOf(key);
        if (at < 0)
            continue;
        const int start = at + key.size();
        return text.mid(start, text.indexOf('"', start) - start);
    }
    return QString();
}

}  // namespace

class TstUpgradePackage : public QObject
{
    Q_OBJECT
private slots:
    void producedPairPassesAndOneByteFails();
};

void TstUpgradePackage::producedPairPassesAndOneByteFails()
{
    const QString pkg = QDir(qEnvironmentVariable("BIN_DIR")).filePath("../package");
    if (!QFile::exists(pkg + "/modbus.zip"))
        QSKIP("no package/modbus.zip in the build tree (build the upgrade-package target)");

    QTemporaryDir root;  // the tool's TFTP root
    QVERIFY(QFile::copy(pkg + "/modbus.zip", root.filePath("modbus.zip")));
    QVERIFY(QFile::copy(pkg + "/mbver.txt", root.filePath("mbver.txt")));

    Checked c = packageCheck(root.path());
    QVERIFY(c.ok);
    QCOMPARE(c.version, versionText());
    // The tool's platform check needs this name in the target version.
    QVERIFY(c.version.contains("QXGW-RJ-RELAY-T3"));

    // One flipped bit anywhere in the zip, at its start, middle and end.
    QFile zip(root.filePath("modbus.zip"));
    QVERIFY(zip.open(QIODevice::ReadOnly));
    const QByteArray good = zip.readAll();
    zip.close();
    QVERIFY(good.size() > 1000);
    for (int at : {0, good.size() / 2, good.size() - 1}) {
        QByteArray bad = good;
        bad[at] = char(bad[at] ^ 0x01);
        QVERIFY(zip.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(zip.write(bad), qint64(bad.size()));
        zip.close();
        QVERIFY2(!packageCheck(root.path()).ok, qPrintable(QString("byte %1 changed").arg(at)));
    }
}

QTEST_GUILESS_MAIN(TstUpgradePackage)
#include "tst_upgradepackage.moc"

// The upgrade package the build produces (package/modbus.zip + mbver.txt)
// passes the tool's package check, and fails it once one byte of the zip
// changes; its contents are read as the install needs them. Zips made by
// Python's zipfile, whole and hostile, get the contents check's verdict.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>
#include <QtTest>

#include "packagezip.h"
#include "relaypackage.h"
#include "upgradepackage.h"
#include "upgraderules.h"
#include "utf8text.h"

using PackageZip::Entry;
Q_DECLARE_METATYPE(QList<PackageZip::Entry>)

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
    void contents_data();
    void contents();
    void hostileArchives_data();
    void hostileArchives();

private:
    QTemporaryDir m_dir;
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

    // The builder's zip (data descriptors after deflated entries) holds all
    // the install needs; only a host build's program is not the gateway's.
    QFile bin(qEnvironmentVariable("BIN_DIR") + "/busrelay");
    QVERIFY(bin.open(QIODevice::ReadOnly));
    const QByteArray head = bin.read(20);
    const UpgradeRule &rule = UpgradeRules::rule(UpgradeRules::Relay);
    const QStringList problems = RelayPackage::problems(pkg + "/modbus.zip", c.version,
                                                        UpgradeRules::platformOf(rule, c.version));
    if (uchar(head[18]) == 40 && head[19] == 0) {
        QCOMPARE(problems, QStringList());
    } else {
        QCOMPARE(problems.size(), 1);
        QVERIFY2(problems[0].startsWith("modbus/busrelay" + u("为"))
                     && problems[0].endsWith(u("程序, 网关硬件平台(T3)需要ARM 32位程序")),
                 qPrintable(problems[0]));
    }
}

void TstUpgradePackage::contents_data()
{
    QTest::addColumn<QList<Entry>>("entries");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QStringList>("problems");
    const QString t3 = "QXGW-RJ-RELAY-T3(v1.3)-20230101", v3s = "QXGW-S-WFRJ-RELAY-V3S-V2";
    const QList<Entry> good = PackageZip::installable(t3);
    QTest::newRow("installable") << good << t3 << QStringList();
    QList<Entry> windows = PackageZip::installable(v3s);
    for (Entry &e : windows)
        e.mode.clear();
    QTest::newRow("V3S, made on Windows") << windows << v3s << QStringList();

    // The field's package: program and version file, no scripts.
    QList<Entry> scriptless = good;
    scriptless.removeAt(3);
    scriptless.removeAt(2);
    QTest::newRow("scripts missing") << scriptless << t3
                                     << QStringList{u("modbus.zip中缺少modbus/relay_start.sh、modbus/set_mb_autorun.sh")};
    // A 64-bit ARM build for a 32-bit gateway; the host's build is the produced pair's case.
    const auto withProgram = [&](const QByteArray &program) { return PackageZip::installable(t3, program); };
    QTest::newRow("AArch64 program") << withProgram(PackageZip::elf(2, 183)) << t3
                                     << QStringList{u("modbus/busrelay为AArch64程序, 网关硬件平台(T3)需要ARM 32位程序")};
    QTest::newRow("script as program") << withProgram("#!/bin/sh\nsleep 1000\n") << t3
                                       << QStringList{u("modbus/busrelay不是Linux可执行程序(ELF)")};
    QTest::newRow("older ver.txt") << PackageZip::installable("QXGW-RJ-RELAY-T3(v1.2)-20220906") << t3
                                   << QStringList{u("modbus/ver.txt的版本\"QXGW-RJ-RELAY-T3(v1.2)-20220906\""
                                                    "与mbver.txt的版本\"QXGW-RJ-RELAY-T3(v1.3)-20230101\"不一致")};
    // unzip -o in /gateway would write these outside modbus/ or replace the engineer's files.
    QList<Entry> unsafe = good;
    unsafe[1] = Entry{"modbus/busrelay", "/bin/sh", true, "120777"};
    unsafe << Entry{"modbus/../cpp/main/gateway_upgrade.sh", "#!/bin/sh\n"} << Entry{"/etc/profile", "x"}
           << Entry{"cpp/main/gateway.exe", "x"} << Entry{"modbus\\..\\..\\x", "x"}
           << Entry{"modbus/map.json", "{}", false, "100644"} << Entry{"modbus/mbacl.json", "{}", false, "100644"};
    QTest::newRow("unsafe entries")
        << unsafe << t3
        << QStringList{u("modbus.zip中缺少modbus/busrelay"),
                       u("modbus.zip含有会解压到/gateway/modbus之外的条目或符号链接: modbus/busrelay、"
                         "modbus/../cpp/main/gateway_upgrade.sh、/etc/profile、cpp/main/gateway.exe、modbus\\..\\..\\x"),
                       u("modbus.zip含有网关配置文件, 解压会覆盖网关中的配置: modbus/map.json、modbus/mbacl.json")};
}

void TstUpgradePackage::contents()
{
    QFETCH(QList<Entry>, entries);
    QFETCH(QString, version);
    QFETCH(QStringList, problems);
    const QString zip = m_dir.filePath("modbus.zip");
    QVERIFY(PackageZip::write(zip, entries));
    const UpgradeRule &rule = UpgradeRules::rule(UpgradeRules::Relay);
    QCOMPARE(RelayPackage::problems(zip, version, UpgradeRules::platformOf(rule, version)), problems);
}

void TstUpgradePackage::hostileArchives_data()
{
    QTest::addColumn<QJsonObject>("recipe");
    QTest::addColumn<QList<Entry>>("entries");
    QTest::addColumn<int>("cut");          // bytes cut off the end
    QTest::addColumn<QByteArray>("flip");  // the first byte of this text is changed
    QTest::addColumn<QString>("problem");
    const QString v = "QXGW-RJ-RELAY-T3-V1.3";
    const QList<Entry> good = PackageZip::installable(v);
    const QString bad = u("modbus.zip不是有效的zip文件: ");
    QTest::newRow("truncated") << QJsonObject() << good << 30 << QByteArray() << bad + u("找不到zip目录(文件不完整?)");
    // A sequential unzip would extract what the directory does not show.
    QTest::newRow("entry hidden from the directory")
        << QJsonObject{{"hide", "modbus/descJson/switch3a.json"}} << good << 0 << QByteArray()
        << bad + u("zip中有目录未列出的数据");
    QTest::newRow("local name differs")
        << QJsonObject{{"local_name", QJsonArray{"modbus/busrelay", "modbus/busrelaz"}}} << good << 0 << QByteArray()
        << bad + u("条目modbus/busrelay的本地文件头与目录不一致");
    QList<Entry> twice = good;
    twice << Entry{"modbus/busrelay", "#!/bin/sh\n"};
    QTest::newRow("program twice") << QJsonObject() << twice << 0 << QByteArray()
                                   << bad + u("条目重复: modbus/busrelay");
    // Bounded: a few kilobytes that inflate to megabytes are not read.
    QList<Entry> bomb = good;
    bomb[4].data = v.toUtf8() + "\n" + QByteArray(2 << 20, ' ');
    bomb[4].stored = false;
    QTest::newRow("ver.txt inflates past its bound") << QJsonObject() << bomb << 0 << QByteArray()
                                                     << u("modbus.zip中的modbus/ver.txt过大(2097174字节)");
    QTest::newRow("stored ver.txt damaged") << QJsonObject() << good << 0 << v.toUtf8()
                                            << u("modbus.zip中的modbus/ver.txt已损坏(CRC校验错误)");
}

void TstUpgradePackage::hostileArchives()
{
    QFETCH(QJsonObject, recipe);
    QFETCH(QList<Entry>, entries);
    QFETCH(int, cut);
    QFETCH(QByteArray, flip);
    QFETCH(QString, problem);
    const QString zip = m_dir.filePath("modbus.zip");
    QVERIFY(PackageZip::write(zip, entries, recipe));
    QFile in(zip);
    QVERIFY(in.open(QIODevice::ReadOnly));
    QByteArray bytes = in.readAll();
    in.close();
    bytes.chop(cut);
    if (!flip.isEmpty()) {
        const int at = bytes.indexOf(flip);
        QVERIFY(at > 0 && bytes.indexOf(flip, at + 1) < 0);
        bytes[at] = char(bytes[at] ^ 0x20);
    }
    QFile f(zip);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), qint64(bytes.size()));
    f.close();
    const QStringList problems = RelayPackage::problems(zip, "QXGW-RJ-RELAY-T3-V1.3",
                                                        UpgradeRules::platformOf(UpgradeRules::rule(1), "QXGW-RJ-RELAY-T3"));
    QCOMPARE(problems, QStringList{problem});
}

QTEST_GUILESS_MAIN(TstUpgradePackage)
#include "tst_upgradepackage.moc"

// The 站点 tab's files without a gateway: the backup folder (whole or not at
// all, refused when its bytes do not match, found newest first, a changed
// backup refused for a restore), what the gateway's shell reports (file
// list, map.json's units), the sites in the settings file, and the exports.
#include "siteflows.h"
#include "sitegateway.h"
#include "sitestore.h"
#include "testfiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {
QString md5(const QByteArray &b)
{
    return QString::fromLatin1(QCryptographicHash::hash(b, QCryptographicHash::Md5).toHex());
}

SiteGateway gateway()
{
    SiteGateway g;
    g.ip = "192.168.1.21";
    g.deviceKey = "gw7f0001";
    g.serial = "99000000002GW001";
    return g;
}
} // namespace

class TstSiteFiles : public QObject
{
    Q_OBJECT
private slots:
    void backupFolderWholeOrNothing();
    void damagedBackupRefused();
    void shellReports();
    void sitesInSettings();
    void exports();
};

void TstSiteFiles::backupFolderWholeOrNothing()
{
    QTemporaryDir tmp;
    const QString root = tmp.filePath("root"), site = tmp.filePath("site");
    QDir().mkpath(root);
    const SiteGateway g = gateway();
    const QByteArray map = "{\"nodes\":[]}\n", ver = "QXGW-RJ-RELAY-T3(v1.1)-20220906\n";
    const auto push = [&]() {
        writeFile(root + "/" + SiteFlows::rootName(g, "map.json"), map);
        writeFile(root + "/" + SiteFlows::rootName(g, "ver.txt"), ver);
    };
    const QMap<QString, QString> digests{
        {"map.json", md5(map)}, {"vrvC.json", QString()}, {"mbacl.json", QString()}, {"ver.txt", md5(ver)}};
    const QDateTime when = QDateTime::fromString("20240105093000", "yyyyMMddhhmmss");

    // Whole: the files, the manifest with the absent ones, nothing left in the root.
    push();
    QString folder, why;
    QVERIFY2(SiteBackup::store(site, root, g, digests, when, &folder, &why), qPrintable(why));
    QCOMPARE(QFileInfo(folder).fileName(), QString("99000000002GW001-20240105093000"));
    QCOMPARE(readFile(folder + "/map.json"), map);
    QVERIFY(!QFile::exists(folder + "/vrvC.json"));
    SiteBackup::Manifest m;
    QVERIFY(SiteBackup::read(folder, &m, &why));
    QVERIFY(m.file("mbacl.json") && !m.file("mbacl.json")->present);
    QCOMPARE(m.file("ver.txt")->md5, md5(ver));
    QCOMPARE(m.file("ver.txt")->size, qint64(ver.size()));
    QCOMPARE(QDir(root).entryList(QDir::Files), QStringList());

    // The same second again: a folder of its own, the first one untouched.
    push();
    QString second;
    QVERIFY(SiteBackup::store(site, root, g, digests, when, &second, &why));
    QVERIFY(second != folder);
    QCOMPARE(readFile(folder + "/map.json"), map);

    // Bytes that do not match the gateway's MD5: refused, no folder, nothing left.
    push();
    writeFile(root + "/" + SiteFlows::rootName(g, "ver.txt"), "truncated");
    QString third;
    QVERIFY(!SiteBackup::store(site, root, g, digests, when.addSecs(60), &third, &why));
    QVERIFY2(why.contains("ver.txt"), qPrintable(why));
    QCOMPARE(QDir(site).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 2);
    QCOMPARE(QDir(root).entryList(QDir::Files), QStringList());

    // Found newest first; half-made folders and foreign ones are not backups.
    QDir().mkpath(site + "/99000000002GW001-20250101000000.partial");
    QDir().mkpath(site + "/notes");
    writeFile(site + "/notes/manifest.json", "{}");
    const QVector<SiteBackup::Manifest> all = SiteBackup::list(site);
    QCOMPARE(all.size(), 2);
    QCOMPARE(all[0].serial, g.serial);
}

void TstSiteFiles::damagedBackupRefused()
{
    QTemporaryDir tmp;
    SiteBackup::Manifest m;
    m.folder = tmp.path();
    m.deviceKey = "gw7f0001";
    m.serial = "99000000002GW001";
    m.files = {{"map.json", true, md5("A"), 1}, {"mbacl.json", false, QString(), -1}};
    writeFile(tmp.filePath("map.json"), "A");
    QCOMPARE(SiteBackup::damage(m), QString());
    writeFile(tmp.filePath("map.json"), "B");
    QVERIFY(SiteBackup::damage(m).contains(QString::fromUtf8("已被修改")));
    QFile::remove(tmp.filePath("map.json"));
    QVERIFY(SiteBackup::damage(m).contains(QString::fromUtf8("缺少map.json")));
    // A manifest without its gateway is not a backup.
    writeFile(tmp.filePath("manifest.json"), R"({"files":[{"name":"map.json","present":false}]})");
    QString why;
    QVERIFY(!SiteBackup::read(tmp.path(), &m, &why));
}

void TstSiteFiles::shellReports()
{
    const QStringList files = SiteFlows::backupFiles();
    const QString d = QString(32, 'a');
    QString why;
    // Every file must be reported; "-" is absent; the digest is taken in lower case.
    const QString out = "noise\n__MDK_FILE map.json " + d.toUpper() + " -\n__MDK_FILE vrvC.json -\n"
                        "__MDK_FILE mbacl.json -\n__MDK_FILE ver.txt " + d + " -\n";
    const QMap<QString, QString> got = SiteFlows::parseFileList(out, files, &why);
    QCOMPARE(got.value("map.json"), d);
    QVERIFY(got.contains("vrvC.json") && got.value("vrvC.json").isEmpty());
    QVERIFY(SiteFlows::parseFileList(QString(out).remove("__MDK_FILE ver.txt"), files, &why).isEmpty());
    QVERIFY2(why.contains("ver.txt"), qPrintable(why));
    QVERIFY(SiteFlows::parseFileList(QString(out).replace(d.toUpper(), "xyz"), files, &why).isEmpty());

    // map.json's units: 1-247 once each; the gateway's 255 and an unassigned -1 are not units.
    const QString facts = "__MDK_VER=QXGW-RJ-RELAY-T3(v1.1)-20220906\r\n__MDK_FILE map.json " + d
                          + " -\n__MDK_FILE vrvC.json -\n__MDK_FILE mbacl.json -\n__MDK_MAPBEGIN\n"
                            R"({"nodes":[{"mb_id":3,"mqtt_dk":"a","sntype":"1","devtype":"x"},)"
                            R"({"mb_id":3,"mqtt_dk":"b","sntype":"1","devtype":"x"},)"
                            R"({"mb_id":255,"mqtt_dk":"g","sntype":"1","devtype":"gateway"},)"
                            R"({"mb_id":-1,"mqtt_dk":"c","sntype":"1","devtype":"x"},)"
                            R"({"mb_id":9,"mqtt_dk":"e","sntype":"1","devtype":"x"}],"profile":{}})"
                            "\n__MDK_MAPEND\n";
    SiteFlows::Facts f;
    SiteFlows::parseFacts(facts, &f);
    QCOMPARE(f.verTxt, QString("QXGW-RJ-RELAY-T3(v1.1)-20220906"));
    QVERIFY(f.mapPresent);
    QCOMPARE(f.mappedUnits, QVector<int>({3, 9}));
    SiteFlows::parseFacts(QString(facts).replace("\"nodes\"", "\"nodes\" x"), &f);
    QVERIFY(!f.mapProblem.isEmpty());
    QVERIFY(f.mappedUnits.isEmpty());
}

void TstSiteFiles::sitesInSettings()
{
    QTemporaryDir tmp;
    QSettings settings(tmp.filePath("mapdesk.ini"), QSettings::IniFormat);
    {
        SiteStore store(&settings);
        SiteGateway typed;
        typed.ip = "10.1.2.3";
        typed.typed = true;
        store.setGateways(QString::fromUtf8("A座"), {gateway(), typed});
        store.setFolder(QString::fromUtf8("A座"), "/data/a");
        store.setCurrent(QString::fromUtf8("B座"));
    }
    QSettings again(tmp.filePath("mapdesk.ini"), QSettings::IniFormat);
    SiteStore store(&again);
    QCOMPARE(store.names(), QStringList({QString::fromUtf8("A座"), QString::fromUtf8("B座")}));
    QCOMPARE(store.current(), QString::fromUtf8("B座"));
    const QVector<SiteGateway> a = store.gateways(QString::fromUtf8("A座"));
    QCOMPARE(a.size(), 2);
    QCOMPARE(a[0].serial, QString("99000000002GW001"));
    QVERIFY(a[1].typed && a[1].deviceKey.isEmpty());
    QCOMPARE(store.folder(QString::fromUtf8("A座")), QString("/data/a"));
    QCOMPARE(store.folder(QString::fromUtf8("B座")), SiteStore::defaultFolder(QString::fromUtf8("B座")));
    // The name is also a folder's: no separators or characters Windows refuses.
    for (const char *bad : {"", "  ", "a/b", "a\\b", "a:b", "a?b"})
        QVERIFY2(!SiteStore::nameProblem(QString::fromUtf8(bad)).isEmpty(), bad);
    QVERIFY(SiteStore::nameProblem(QString::fromUtf8("A座 3楼")).isEmpty());
}

void TstSiteFiles::exports()
{
    SiteGateway read = gateway();
    read.sshRead = true;
    read.md5 = {{"map.json", QString(32, 'b')}, {"vrvC.json", QString()}, {"mbacl.json", QString()}};
    read.sshNote = QString::fromUtf8("map.json无法解析, \"x\"");
    SiteGateway unread;
    unread.ip = "10.1.2.3";
    unread.typed = true;
    const QByteArray csv = SiteExport::csv({read, unread}, QString::fromUtf8("A座"));
    QVERIFY(csv.startsWith("\xEF\xBB\xBF"));
    const QStringList lines = QString::fromUtf8(csv.mid(3)).split("\r\n", Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 4);
    // A note with a comma and quotes stays one field.
    QVERIFY2(lines[2].contains(QString::fromUtf8("\"ssh: map.json无法解析, \"\"x\"\"\"")), qPrintable(lines[2]));
    QCOMPARE(lines[2].count(','), SiteGateway::ColumnCount + 1);

    const QJsonArray list = QJsonDocument::fromJson(SiteExport::json({read, unread}, "a")).object().value("gateways").toArray();
    QCOMPARE(list.size(), 2);
    QCOMPARE(list[0].toObject().value("md5").toObject().value("map.json").toString(), QString(32, 'b'));
    QVERIFY(list[0].toObject().value("md5").toObject().value("mbacl.json").isNull());
    // Not read is null, not "no" or zero.
    QVERIFY(list[1].toObject().value("md5").isNull());
    QVERIFY(list[1].toObject().value("port502").isNull());
    QVERIFY(list[1].toObject().value("unitsMapped").isNull());
}

QTEST_MAIN(TstSiteFiles)
#include "tst_sitefiles.moc"

// needs: namespace
// The 站点 tab against three gateway hosts (support/gatewayhost.h), each in a
// network namespace of its own with sshd, busybox, this build's busrelay
// (started by the package's relay_start.sh) and gwsim as its main program.
// Two share a bridge with the tool (the search's broadcast reaches them);
// the third sits on another network behind the tool's second link and is
// typed in by address. Inventory of the three, backup of all three compared
// byte for byte, one gateway's backup restored onto another, a batch upgrade
// with a gateway that goes unreachable halfway and one whose busybox unzip is
// broken (go on, stop, retry once the faults are gone, cancel between
// gateways, a gateway already at the version skipped), and the host keys:
// shared with the single connection, a changed one stops its gateway, an
// unknown one is asked about once before anything starts.
//
// This host is not ARM: the package's busrelay is an ARM header the tool
// checks but nobody runs; its start script runs this build's busrelay.
#include "dialogseam.h"
#include "fakegateway.h"
#include "gatewayhost.h"
#include "hostkeystore.h"
#include "mainwindow.h"
#include "netnsstar.h"
#include "packagezip.h"
#include "qtftpwidget.h"
#include "remoteflows.h"
#include "sitebatch.h"
#include "sitestore.h"
#include "sitetab.h"

#include <QCheckBox>
#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <unistd.h>

namespace {
const char kToolIp[] = "10.200.21.1";
const char kRoutedToolIp[] = "10.200.22.1";
const char kOldVersion[] = "QXGW-RJ-RELAY-T3(v1.1)-20220906";
const char kV12[] = "QXGW-RJ-RELAY-T3(v1.2)-20240101";
const char kV13[] = "QXGW-RJ-RELAY-T3(v1.3)-20240301";
const int kOpMs = 120000;  // bound for one whole operation

// Device keys have 8 characters, as the gateway's (busrelay reads at most 8 from a topic).
struct HostPlan
{
    const char *key, *serial, *ip, *version;
    QStringList devices;  // gwsim's, mapped as units 1, 2, ...
    bool vrv;
    const char *acl;  // mbacl.json, or null
};

const HostPlan kHostPlans[3] = {
    {"sitegwa1", "99000000002SA0001", "10.200.21.2", "V2.1.0-A", {"swa30001", "dim10001"}, true, nullptr},
    {"sitegwb1", "99000000002SB0001", "10.200.21.3", "V2.1.0-B", {"swa30001"}, false, R"({"allow": ["10.200.21.1"]})"},
    {"sitegwc1", "99000000002SC0001", "10.200.22.2", "V2.1.0-C", {"swa30001", "dim10001", "thm10001"}, true,
     R"({"allow": ["10.200.0.0/16"]})"},
};

QString md5(const QByteArray &b)
{
    return QString::fromLatin1(QCryptographicHash::hash(b, QCryptographicHash::Md5).toHex());
}

// One Modbus read of unit 255 (function fc, count values from address 1); the reply, or nothing.
QByteArray modbusRead(const QString &ip, quint8 fc, quint16 count)
{
    QTcpSocket s;
    s.connectToHost(ip, 502);
    if (!s.waitForConnected(1000))
        return QByteArray();
    QByteArray req = QByteArray::fromHex("000100000006ff");
    req.append(char(fc)).append(char(0)).append(char(1)).append(char(count >> 8)).append(char(count & 0xff));
    s.write(req);
    QByteArray got;
    for (int i = 0; i < 20 && got.size() < 9 && s.state() == QAbstractSocket::ConnectedState; ++i) {
        s.waitForReadyRead(100);
        got += s.readAll();
    }
    return got;
}

// busrelay answers there, with the first units' online bits (discrete inputs 1...) set, within ms.
bool relayOnline(const QString &ip, int units, int ms)
{
    QElapsedTimer t;
    t.start();
    const quint8 want = quint8((1 << units) - 1);
    while (t.elapsed() < ms) {
        const QByteArray r = modbusRead(ip, 2, 8);
        if (r.size() >= 10 && quint8(r[7]) == 2 && (quint8(r[9]) & want) == want)
            return true;
        QTest::qWait(200);
    }
    return false;
}
} // namespace

class TstSite : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void inventoryOfThree();
    void backupAllByteForByte();
    void restoreOntoAnother();
    void batchUpgrade();
    void hostKeysAndRefusals();

private:
    bool layOut(int i, QString *why);
    int rowOf(int gateway) const;
    QVector<int> outcomes(const QVector<int> &rows, int result) const;
    // Starts an operation and waits until it has ended.
    bool waitDone(const std::function<void()> &start, int ms = kOpMs);
    QString pc(const QString &name) const { return m_tmp.filePath("pc/" + name); }
    int dialogs(const QString &title) const;

    QTemporaryDir m_tmp;
    NetnsStar m_net{"sit", kToolIp};
    std::unique_ptr<GatewayHost> m_hosts[3];
    std::unique_ptr<MainWindow> m_w;
    SiteTab *m_site = nullptr;
    QList<DialogSeam::Request> m_dialogs;
    QStringList m_refuse;  // titles of confirmations answered "否"
};

bool TstSite::layOut(int i, QString *why)
{
    const HostPlan &s = kHostPlans[i];
    GatewayHost &h = *m_hosts[i];
    if (!h.prepare(why))
        return false;
    const QString bin = qEnvironmentVariable("BIN_DIR"), src = qEnvironmentVariable("SOURCE_DIR");
    const QString sim = h.gatewayDir() + "/sim";
    QDir().mkpath(sim);
    QDir().mkpath(h.file("descJson"));
    bool ok = QFile::copy(bin + "/busrelay", h.file("busrelay")) && QFile::copy(bin + "/busrelay", sim + "/busrelay")
              && QFile::copy(bin + "/gwsim", sim + "/gwsim");
    for (const char *script : {"relay_start.sh", "set_mb_autorun.sh"})
        ok = ok && QFile::copy(src + "/busrelay/package/" + script, h.file(script));
    for (const QString &d : QDir(src + "/busrelay/sample/descJson").entryList({"*.json"}))
        ok = ok && QFile::copy(src + "/busrelay/sample/descJson/" + d, h.file("descJson/" + d));
    // gwsim's devices: those of its own default file that this gateway has.
    QByteArray text;
    for (const QByteArray &line : GatewayHost::read(src + "/tools/gwsim/devices.json").split('\n'))
        if (!line.trimmed().startsWith("//"))
            text += line + "\n";
    const QJsonObject all = QJsonDocument::fromJson(text).object();
    QJsonArray devices, nodes;
    for (const QJsonValue &d : all.value("devices").toArray())
        if (s.devices.contains(d.toObject().value("deviceKey").toString()))
            devices.append(d);
    for (int u = 0; u < s.devices.size(); ++u)
        for (const QJsonValue &d : qAsConst(devices))
            if (d.toObject().value("deviceKey").toString() == s.devices[u])
                nodes.append(QJsonObject{{"mb_id", u + 1},
                                         {"mqtt_dk", s.devices[u]},
                                         {"sntype", d.toObject().value("sn").toString().left(11)},
                                         {"devtype", d.toObject().value("productKey").toString()}});
    // Unit 255 is the gateway itself: busrelay's version and the units' online bits.
    nodes.append(QJsonObject{{"mb_id", 255}, {"mqtt_dk", s.key}, {"sntype", "99000000002"}, {"devtype", "gateway"}});
    const QJsonObject gw{{"deviceKey", s.key}, {"sn", s.serial}, {"softwareVersion", s.version}};
    ok = ok && GatewayHost::write(sim + "/devices.json", QJsonDocument(QJsonObject{{"gateway", gw}, {"devices", devices}}).toJson());
    ok = ok && GatewayHost::write(h.file("map.json"),
                                  QJsonDocument(QJsonObject{{"profile", QJsonObject{{"name", s.key}}}, {"nodes", nodes}}).toJson());
    ok = ok && GatewayHost::write(h.file("ver.txt"), QByteArray(kOldVersion) + "\n");
    if (s.vrv)
        ok = ok && QFile::copy(src + "/busrelay/sample/vrvC.json", h.file("vrvC.json"));
    if (s.acl)
        ok = ok && GatewayHost::write(h.file("mbacl.json"), s.acl);
    for (const QString &f : {h.file("busrelay"), sim + "/busrelay", sim + "/gwsim", h.file("relay_start.sh"),
                             h.file("set_mb_autorun.sh")})
        ok = ok && QFile::setPermissions(f, QFile::permissions(f) | QFile::ExeOwner);
    if (!ok) {
        *why = "cannot lay out gateway " + QString(s.key);
        return false;
    }
    // gwsim reports often, so the units are online soon after the start.
    h.startCommand = "cd /gateway/sim && ./gwsim -d devices.json --report-ms 300 >/gateway/sim/gwsim.log 2>&1 &"
                     " /gateway/modbus/relay_start.sh &";
    return true;
}

void TstSite::initTestCase()
{
    if (getuid() != 0)
        QSKIP("needs root for namespaces and mounts");
    const QString bin = qEnvironmentVariable("BIN_DIR");
    for (const QString &p : {QString("/usr/sbin/sshd"), QString("/bin/busybox"), QString("/usr/bin/openssl"),
                             QString("/usr/bin/python3"), bin + "/busrelay", bin + "/gwsim"})
        if (!QFileInfo::exists(p))
            QSKIP(qPrintable(p + " is not there"));
    QVERIFY(m_tmp.isValid());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_tmp.filePath("settings"));
    QDir().mkpath(pc(QString()));
    m_net.addBridged(kHostPlans[0].ip);
    m_net.addBridged(kHostPlans[1].ip);
    m_net.addRouted(kHostPlans[2].ip, kRoutedToolIp);
    QString why;
    QVERIFY2(m_net.up(&why), qPrintable(why));
    for (int i = 0; i < 3; ++i) {
        m_hosts[i].reset(new GatewayHost(m_tmp.filePath(QString("gw%1").arg(i)), m_net.gateways[i].ns, kHostPlans[i].ip));
        QVERIFY2(layOut(i, &why) && m_hosts[i]->start(&why), qPrintable(why));
    }
    for (int i = 0; i < 3; ++i)
        QVERIFY2(relayOnline(kHostPlans[i].ip, kHostPlans[i].devices.size(), 20000), kHostPlans[i].key);

    DialogSeam::setResponder([this](const DialogSeam::Request &r) {
        if (r.title != "warn")  // the start-up package check
            m_dialogs.append(r);
        return !m_refuse.contains(r.title);
    });
    m_w.reset(new MainWindow);
    QCOMPARE(m_w->localIp(), QString(kToolIp));
    auto *tftp = m_w->findChild<QtftpWidget *>("widget");
    tftp->findChild<QLineEdit *>("root")->setText(pc(QString()));
    tftp->startServer();
    QVERIFY(tftp->isServerRunning());
    m_site = m_w->findChild<SiteTab *>("siteTab");
    QVERIFY(m_site);
}

void TstSite::cleanupTestCase()
{
    m_w.reset();
    DialogSeam::setResponder(nullptr);
    for (auto &h : m_hosts)
        h.reset();
    m_net.down();
}

int TstSite::rowOf(int gateway) const
{
    const QVector<SiteGateway> &rows = m_site->gateways();
    for (int r = 0; r < rows.size(); ++r)
        if (rows[r].deviceKey == kHostPlans[gateway].key)
            return r;
    return -1;
}

QVector<int> TstSite::outcomes(const QVector<int> &rows, int result) const
{
    QVector<int> got;
    const auto all = m_site->outcomes();
    for (int r : rows)
        got << (all.contains(r) && all[r].result == result ? 1 : 0);
    return got;
}

bool TstSite::waitDone(const std::function<void()> &start, int ms)
{
    QSignalSpy done(m_site, &SiteTab::operationFinished);
    start();
    return done.count() > 0 || done.wait(ms);
}

int TstSite::dialogs(const QString &title) const
{
    int n = 0;
    for (const DialogSeam::Request &r : m_dialogs)
        n += r.title == title ? 1 : 0;
    return n;
}

void TstSite::inventoryOfThree()
{
    QVERIFY(m_site->setSite(QString::fromUtf8("测试站点")));
    m_site->setFolder(m_tmp.filePath("backups"));
    // The third is behind a router: the broadcast does not reach it.
    QVERIFY(m_site->addAddress(kHostPlans[2].ip));
    m_dialogs.clear();
    QVERIFY(waitDone([this]() { m_site->refreshAll(); }));
    const QVector<SiteGateway> rows = m_site->gateways();
    QCOMPARE(rows.size(), 3);

    // One question for all three new keys, before any login.
    const QString keyTitle = QString::fromUtf8("确认网关ssh主机密钥");
    QCOMPARE(dialogs(keyTitle), 1);
    QCOMPARE(m_dialogs.size(), 1);
    for (int i = 0; i < 3; ++i) {
        QVERIFY2(m_dialogs[0].text.contains(m_hosts[i]->fingerprint()), qPrintable(m_dialogs[0].text));
        QCOMPARE(QSsh::HostKeyStore().pinned(QSsh::HostKeyStore::gatewayId(kHostPlans[i].serial, kHostPlans[i].key)),
                 m_hosts[i]->fingerprint());
    }

    for (int i = 0; i < 3; ++i) {
        const int r = rowOf(i);
        QVERIFY2(r >= 0, kHostPlans[i].key);
        const SiteGateway &g = rows[r];
        const GatewayHost &h = *m_hosts[i];
        QCOMPARE(g.ip, QString(kHostPlans[i].ip));
        QCOMPARE(g.serial, QString(kHostPlans[i].serial));
        QCOMPARE(g.typed, i == 2);
        QCOMPARE(int(g.search), int(SiteGateway::Answered));
        QCOMPARE(g.gatewayVersion, QString(kHostPlans[i].version));
        QCOMPARE(g.relayVersion, QString(kOldVersion));
        QCOMPARE(g.port502, 1);
        QVERIFY(g.mappedFromMap);
        QCOMPARE(g.unitsMapped, kHostPlans[i].devices.size());
        QCOMPARE(g.unitsOnline, kHostPlans[i].devices.size());
        QVERIFY2(g.sshRead, qPrintable(g.sshNote));
        QCOMPARE(g.verTxt, QString(kOldVersion));
        for (const QString &f : SiteGateway::configFiles()) {
            const QString want = QFile::exists(h.file(f)) ? md5(GatewayHost::read(h.file(f))) : QString();
            QCOMPARE(g.md5.value(f), want);
        }
    }
    QCOMPARE(rows[rowOf(0)].cell(SiteGateway::Md5AclCol), QString::fromUtf8("(无此文件)"));
    QCOMPARE(rows[rowOf(2)].cell(SiteGateway::UnitsCol), QString("3/3"));

    // Remembered per site: who each gateway is.
    const QVector<SiteGateway> kept = SiteStore().gateways(QString::fromUtf8("测试站点"));
    QCOMPARE(kept.size(), 3);
    QCOMPARE(kept[rowOf(2)].deviceKey, QString(kHostPlans[2].key));
    QVERIFY(kept[rowOf(2)].typed);

    // Exports: CSV behind a byte-order mark, JSON with the raw values.
    QString why;
    QVERIFY2(m_site->exportCsv(pc("site.csv"), &why), qPrintable(why));
    const QByteArray csv = GatewayHost::read(pc("site.csv"));
    QVERIFY(csv.startsWith("\xEF\xBB\xBF"));
    const QList<QByteArray> lines = csv.mid(3).trimmed().split('\n');
    QCOMPARE(lines.size(), 5);  // site, header, three gateways
    QVERIFY(lines[2 + rowOf(1)].contains(kHostPlans[1].serial));
    QVERIFY(lines[2 + rowOf(1)].contains(md5(GatewayHost::read(m_hosts[1]->file("mbacl.json"))).toLatin1()));
    QVERIFY2(m_site->exportJson(pc("site.json"), &why), qPrintable(why));
    const QJsonArray list = QJsonDocument::fromJson(GatewayHost::read(pc("site.json"))).object().value("gateways").toArray();
    QCOMPARE(list.size(), 3);
    const QJsonObject a = list[rowOf(0)].toObject();
    QCOMPARE(a.value("deviceKey").toString(), QString(kHostPlans[0].key));
    QCOMPARE(a.value("md5").toObject().value("map.json").toString(), md5(GatewayHost::read(m_hosts[0]->file("map.json"))));
    QVERIFY(a.value("md5").toObject().value("mbacl.json").isNull());
    QCOMPARE(a.value("unitsOnline").toInt(), 2);

    // Once pinned, a refresh of one gateway asks nothing and reads it again.
    m_dialogs.clear();
    const QDateTime before = m_site->gateways()[rowOf(1)].checkedAt;
    m_site->setSelectedRows({rowOf(1)});
    QVERIFY(waitDone([this]() { m_site->refreshSelected(); }));
    QVERIFY(m_dialogs.isEmpty());
    QVERIFY(m_site->gateways()[rowOf(1)].checkedAt > before);
    QVERIFY(m_site->gateways()[rowOf(1)].sshRead);
}

void TstSite::backupAllByteForByte()
{
    // The single-gateway tabs' own file in the root stays as it is.
    GatewayHost::write(pc(QString(kHostPlans[0].key) + "-map.json"), "the engineer's edit");
    m_site->setSelectedRows({0, 1, 2});
    m_dialogs.clear();
    QVERIFY(waitDone([this]() { m_site->backupSelected(); }));
    QCOMPARE(outcomes({0, 1, 2}, SiteJob::Ok), QVector<int>({1, 1, 1}));
    QVERIFY(m_dialogs.isEmpty());
    for (int i = 0; i < 3; ++i) {
        const QStringList dirs = QDir(m_site->folder()).entryList({QString(kHostPlans[i].serial) + "-*"}, QDir::Dirs);
        QCOMPARE(dirs.size(), 1);
        QVERIFY2(QRegularExpression("-\\d{14}$").match(dirs[0]).hasMatch(), qPrintable(dirs[0]));
        const QString dir = m_site->folder() + "/" + dirs[0];
        const QJsonObject manifest = QJsonDocument::fromJson(GatewayHost::read(dir + "/manifest.json")).object();
        QCOMPARE(manifest.value("gateway").toObject().value("deviceKey").toString(), QString(kHostPlans[i].key));
        QMap<QString, QJsonObject> files;
        for (const QJsonValue &v : manifest.value("files").toArray())
            files[v.toObject().value("name").toString()] = v.toObject();
        for (const QString &f : QStringList{"map.json", "vrvC.json", "mbacl.json", "ver.txt"}) {
            const QString onGateway = m_hosts[i]->file(f);
            QVERIFY2(files.contains(f), qPrintable(f));
            if (QFile::exists(onGateway)) {
                QCOMPARE(GatewayHost::read(dir + "/" + f), GatewayHost::read(onGateway));
                QVERIFY(files[f].value("present").toBool());
                QCOMPARE(files[f].value("md5").toString(), md5(GatewayHost::read(onGateway)));
            } else {
                // Absent: recorded, not an error, and no file made up for it.
                QVERIFY(!files[f].value("present").toBool());
                QVERIFY(!QFile::exists(dir + "/" + f));
            }
        }
    }
    QCOMPARE(QDir(pc(QString())).entryList({"site-*"}), QStringList());
    QCOMPARE(GatewayHost::read(pc(QString(kHostPlans[0].key) + "-map.json")), QByteArray("the engineer's edit"));
}

void TstSite::restoreOntoAnother()
{
    const QString backupA = m_site->folder() + "/"
                            + QDir(m_site->folder()).entryList({QString(kHostPlans[0].serial) + "-*"}, QDir::Dirs).value(0);
    const GatewayHost &b = *m_hosts[1];
    const QByteArray aclB = GatewayHost::read(b.file("mbacl.json")), mapB = GatewayHost::read(b.file("map.json"));
    GatewayHost::write(pc(QString(kHostPlans[1].key) + "-map.json"), "B's table on the PC");
    m_site->setSelectedRows({rowOf(1)});

    // Another gateway's backup: a cautious question naming both; "否" leaves everything.
    const QString title = QString::fromUtf8("是否将其他网关的备份恢复到该网关");
    m_refuse = QStringList{title};
    m_dialogs.clear();
    m_site->restoreSelected(backupA);
    m_refuse.clear();
    QCOMPARE(m_dialogs.size(), 1);
    QCOMPARE(m_dialogs[0].title, title);
    QVERIFY(m_dialogs[0].cautious);
    QVERIFY(m_dialogs[0].text.contains(kHostPlans[0].key) && m_dialogs[0].text.contains(kHostPlans[1].key));
    QCOMPARE(GatewayHost::read(b.file("map.json")), mapB);

    m_dialogs.clear();
    QVERIFY(waitDone([&]() { m_site->restoreSelected(backupA); }));
    const SiteTab::Outcome o = m_site->outcomes().value(rowOf(1));
    QVERIFY2(o.result == SiteJob::Ok, qPrintable(o.why));
    QVERIFY2(o.why.contains(QString::fromUtf8("备份中没有 mbacl.json")), qPrintable(o.why));
    QCOMPARE(GatewayHost::read(b.file("map.json")), GatewayHost::read(backupA + "/map.json"));
    QCOMPARE(GatewayHost::read(b.file("vrvC.json")), GatewayHost::read(backupA + "/vrvC.json"));
    QCOMPARE(GatewayHost::read(b.file("mbacl.json")), aclB);
    // The root's own file is back, and nothing of the restore is left there.
    QCOMPARE(GatewayHost::read(pc(QString(kHostPlans[1].key) + "-map.json")), QByteArray("B's table on the PC"));
    QVERIFY(!QFile::exists(pc(QString(kHostPlans[1].key) + "-vrvC.json")));
    // Restarted with A's map: its first unit comes online again.
    QVERIFY(relayOnline(kHostPlans[1].ip, 1, 20000));
}

void TstSite::batchUpgrade()
{
    auto *batch = m_site->findChild<SiteBatchUpgrade *>();
    auto *stop = m_site->findChild<QCheckBox *>("siteStopOnFailureBox");
    QVERIFY(batch && stop);
    const auto package = [this](const char *version) {
        QList<PackageZip::Entry> e = PackageZip::installable(version);
        e[2].data = "#!/bin/sh\ncd /gateway/modbus\nwhile true; do /gateway/sim/busrelay >/dev/null 2>&1 </dev/null;"
                    " sleep 1; done\n";
        return PackageZip::writePair(pc(QString()), version, e);
    };
    QVERIFY(package(kV12));
    // In the batch's order: the first goes well, the second becomes unreachable
    // once the batch runs, the third's unzip is broken.
    const QVector<int> rows{0, 1, 2};
    int gw[3];
    for (int r = 0; r < 3; ++r)
        for (int i = 0; i < 3; ++i)
            if (rowOf(i) == r)
                gw[r] = i;
    const QString unzip = m_hosts[gw[2]]->binDir() + "/unzip";
    QVERIFY(QFile::remove(unzip));
    QVERIFY(GatewayHost::write(unzip, "#!/bin/sh\necho 'unzip: short read' >&2\nexit 1\n"));
    QVERIFY(QFile::setPermissions(unzip, QFile::permissions(unzip) | QFile::ExeOwner));
    const auto ver = [this, &gw](int r) { return GatewayHost::read(m_hosts[gw[r]]->file("ver.txt")).trimmed(); };

    // Go on after a failure. While the batch runs the single-gateway flows wait.
    stop->setChecked(false);
    m_site->setSelectedRows(rows);
    m_dialogs.clear();
    QMetaObject::Connection halfway = connect(batch, &SiteJob::gatewayStarted, this, [&](int row) {
        if (row != 0)
            return;
        m_net.setLinkUp(gw[1], false);
        QMetaObject::invokeMethod(m_w.get(), "on_getRelaySoftverBtn_clicked");
    });
    QVERIFY(waitDone([this]() { m_site->upgradeSelected(); }));
    disconnect(halfway);
    QCOMPARE(m_dialogs[0].title, QString::fromUtf8("是否批量更新modbus程序"));
    QVERIFY(m_dialogs[0].text.contains(kV12));
    QCOMPARE(m_dialogs[1].text, QString::fromUtf8("等待其他操作完成!\n站点页正在批量升级modbus程序"));
    auto res = m_site->outcomes();
    QVERIFY2(res[0].result == SiteJob::Ok, qPrintable(res[0].why));
    QCOMPARE(res[0].why, QString::fromUtf8("已更新为") + kV12 + QString::fromUtf8(", modbus服务已运行"));
    QVERIFY2(res[1].result == SiteJob::Failed && res[1].why.contains(QString::fromUtf8("ssh连接失败")), qPrintable(res[1].why));
    QVERIFY2(res[2].result == SiteJob::Failed && res[2].why.contains("unzip: short read"), qPrintable(res[2].why));
    QCOMPARE(ver(0), QByteArray(kV12));
    QCOMPARE(ver(1), QByteArray(kOldVersion));
    QCOMPARE(ver(2), QByteArray(kOldVersion));
    // The broken install ended with the old service running again.
    QVERIFY(relayOnline(kHostPlans[gw[2]].ip, 1, 20000));

    // Stop at the first failure: the one behind it is not started.
    stop->setChecked(true);
    QVERIFY(waitDone([this]() { m_site->retryFailed(); }));
    res = m_site->outcomes();
    QCOMPARE(res[0].result, int(SiteJob::Ok));  // kept from the first run
    QVERIFY2(res[1].result == SiteJob::Failed, qPrintable(res[1].why));
    QVERIFY2(res[2].result == SiteJob::NotRun, qPrintable(res[2].why));
    QCOMPARE(ver(2), QByteArray(kOldVersion));

    // The faults removed, the retry upgrades both.
    QVERIFY(m_net.setLinkUp(gw[1], true));
    QVERIFY(QFile::remove(unzip));
    QVERIFY(QFile::link("/bin/busybox", unzip));
    QVERIFY(waitDone([this]() { m_site->retryFailed(); }));
    res = m_site->outcomes();
    QVERIFY2(res[1].result == SiteJob::Ok, qPrintable(res[1].why));
    QVERIFY2(res[2].result == SiteJob::Ok, qPrintable(res[2].why));
    for (int r : rows)
        QCOMPARE(ver(r), QByteArray(kV12));

    // Cancelled as the first gateway begins: it is finished, the others are not started.
    QVERIFY(package(kV13));
    stop->setChecked(false);
    m_site->setSelectedRows(rows);
    QMetaObject::Connection cancel = connect(batch, &SiteJob::gatewayStarted, this, [this](int row) {
        if (row == 0)
            m_site->cancelRun();
    });
    QVERIFY(waitDone([this]() { m_site->upgradeSelected(); }));
    disconnect(cancel);
    res = m_site->outcomes();
    QVERIFY2(res[0].result == SiteJob::Ok, qPrintable(res[0].why));
    QCOMPARE(outcomes({1, 2}, SiteJob::Cancelled), QVector<int>({1, 1}));
    QCOMPARE(ver(0), QByteArray(kV13));
    QCOMPARE(ver(1), QByteArray(kV12));

    // Already at the package's version: skipped, and said so.
    m_site->setSelectedRows({0});
    QVERIFY(waitDone([this]() { m_site->upgradeSelected(); }));
    res = m_site->outcomes();
    QCOMPARE(res[0].result, int(SiteJob::Skipped));
    QCOMPARE(res[0].why, QString::fromUtf8("已是目标版本") + kV13 + QString::fromUtf8(", 跳过"));
}

void TstSite::hostKeysAndRefusals()
{
    // The single connection uses the pin the site made: no question.
    const HostPlan &a = kHostPlans[0];
    m_dialogs.clear();
    m_w->discovery()->takeReply(FakeGateway::discoveryAnswer(a.key, a.ip, a.serial, a.version));
    QCOMPARE(m_w->gatewayIp(), QString(a.ip));
    QMetaObject::invokeMethod(m_w.get(), "onSshConnectBtnClicked");
    QTRY_VERIFY_WITH_TIMEOUT(m_w->isSshConnected(), 20000);
    QVERIFY(m_dialogs.isEmpty());

    // A single-gateway flow runs: the site does not start, and says why.
    FlowPlan hold;
    hold.code = RemoteFlows::RestartRelay;
    FlowStep wait;
    wait.command = "sleep 2 \n";
    hold.steps << wait;
    QVERIFY(m_w->flowRunner()->start(hold));
    m_site->setSelectedRows({rowOf(1)});
    m_site->backupSelected();
    QCOMPARE(m_dialogs.size(), 1);
    QCOMPARE(m_dialogs[0].text, QString::fromUtf8("单台网关的ssh操作正在进行, 请等其完成后再开始站点操作!"));
    QTRY_COMPARE_WITH_TIMEOUT(m_w->sshPendingOpCode(), 0, 20000);
    QMetaObject::invokeMethod(m_w.get(), "onSshConnectBtnClicked");

    // A changed key stops that gateway with its reason; nothing is asked.
    const QString pinA = m_hosts[0]->fingerprint();
    QVERIFY(m_hosts[0]->replaceHostKey());
    QString why;
    QVERIFY2(m_hosts[0]->start(&why), qPrintable(why));
    m_site->setSelectedRows({rowOf(0), rowOf(1)});
    m_dialogs.clear();
    QVERIFY(waitDone([this]() { m_site->backupSelected(); }));
    QVERIFY(m_dialogs.isEmpty());
    SiteTab::Outcome o = m_site->outcomes().value(rowOf(0));
    QVERIFY2(o.result == SiteJob::Failed && o.why.contains(QString::fromUtf8("网关ssh主机密钥已改变")) && o.why.contains(pinA),
             qPrintable(o.why));
    QCOMPARE(m_site->outcomes().value(rowOf(1)).result, int(SiteJob::Ok));
    QCOMPARE(QSsh::HostKeyStore().pinned(QSsh::HostKeyStore::gatewayId(a.serial, a.key)), pinA);

    // An unknown key is asked about before anything starts; declined, nothing starts.
    const HostPlan &b = kHostPlans[1];
    const QString idB = QSsh::HostKeyStore::gatewayId(b.serial, b.key);
    QSsh::HostKeyStore().forget(idB);
    const QString keyTitle = QString::fromUtf8("确认网关ssh主机密钥");
    m_site->setSelectedRows({rowOf(1)});
    const int backupsB = QDir(m_site->folder()).entryList({QString(b.serial) + "-*"}, QDir::Dirs).size();
    m_refuse = QStringList{keyTitle};
    m_dialogs.clear();
    QVERIFY(waitDone([this]() { m_site->backupSelected(); }));
    m_refuse.clear();
    QCOMPARE(m_dialogs.size(), 1);
    QVERIFY(m_dialogs[0].text.contains(m_hosts[1]->fingerprint()));
    QCOMPARE(m_site->stateText(), QString::fromUtf8("未确认网关ssh主机密钥, 操作未开始"));
    QVERIFY(QSsh::HostKeyStore().pinned(idB).isEmpty());
    QCOMPARE(QDir(m_site->folder()).entryList({QString(b.serial) + "-*"}, QDir::Dirs).size(), backupsB);

    // Confirmed: pinned, and the backup runs.
    m_dialogs.clear();
    QVERIFY(waitDone([this]() { m_site->backupSelected(); }));
    QCOMPARE(m_dialogs.size(), 1);
    QCOMPARE(QSsh::HostKeyStore().pinned(idB), m_hosts[1]->fingerprint());
    QCOMPARE(m_site->outcomes().value(rowOf(1)).result, int(SiteJob::Ok));
}

QTEST_MAIN(TstSite)
#include "tst_site.moc"

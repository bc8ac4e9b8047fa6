// The upgrade rules of both programs without a window: which refusal an
// upgrade meets, in the order the engineer meets them.
#include <QtTest>

#include "remoteflows.h"
#include "upgraderules.h"

Q_DECLARE_METATYPE(UpgradeRules::Program)

class TstUpgradeRules : public QObject
{
    Q_OBJECT

private slots:
    void table();
    void refusals_data();
    void refusals();
    void confirmText();
    void questions_data();
    void questions();
};

void TstUpgradeRules::table()
{
    const UpgradeRule &gw = UpgradeRules::rule(UpgradeRules::Gateway);
    const UpgradeRule &mb = UpgradeRules::rule(UpgradeRules::Relay);
    QCOMPARE(gw.flowCode, int(RemoteFlows::UpgradeGateway));
    QCOMPARE(mb.flowCode, int(RemoteFlows::UpgradeRelay));
    QCOMPARE(QByteArray(gw.versionFile) + " " + gw.packageFile, QByteArray("gwver.txt gateway.exe"));
    QCOMPARE(QByteArray(mb.versionFile) + " " + mb.packageFile, QByteArray("mbver.txt modbus.zip"));
    QCOMPARE(QString::fromUtf8(gw.packageMissing).arg("/r"),
             QString::fromUtf8("未找到网关升级包,请检查/r下是否有gateway.exe gwver.txt!\r\n如不需要升级网关可忽略该告警."));
    QCOMPARE(QString::fromUtf8(mb.digestWrong).arg("/r"),
             QString::fromUtf8("modbus程序md5校验错误，请检查修正/r/modbus.zip\r\n如不需要升级modbus服务可忽略该告警."));
}

void TstUpgradeRules::refusals_data()
{
    QTest::addColumn<UpgradeRules::Program>("program");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("current");
    QTest::addColumn<QString>("beforeLink");
    QTest::addColumn<QString>("afterLink");
    const auto G = UpgradeRules::Gateway;
    const auto R = UpgradeRules::Relay;
    const QString t3 = "QXGW-RJ-MQTT-T3-V2.0", t3old = "QXGW-RJ-MQTT-T3-V1.0", v3s = "QXGW-S-WFRJ-MQTT-V1.0";
    QTest::newRow("gw no package") << G << "" << t3old << QString::fromUtf8("请检查/root目录下网关升级包!") << "";
    QTest::newRow("gw package without platform") << G << "V2" << t3old
                                                 << QString::fromUtf8("请检查/root目录下网关升级包!") << "";
    QTest::newRow("gw version not fetched") << G << t3 << " " << QString::fromUtf8("请先点击<获得网关信息>!") << "";
    QTest::newRow("gw fits") << G << t3 << t3old << "" << "";
    QTest::newRow("gw T3 onto v3s") << G << t3 << v3s << ""
                                    << QString::fromUtf8("网关硬件平台与升级包硬件平台(T3)不一致");
    QTest::newRow("gw v3s onto T3") << G << v3s << t3old << ""
                                    << QString::fromUtf8("网关硬件平台与升级包硬件平台(v3s)不一致");
    QTest::newRow("gw same") << G << t3 << t3 << ""
                             << QString::fromUtf8("当前网关版本与升级包版本一致，不需要更新!");
    QTest::newRow("gw unknown platform") << G << "QXGW-X-1" << "QXGW-X-1" << ""
                                         << QString::fromUtf8("未识别的目标版本硬件平台");
    const QString r3 = "QXGW-RJ-RELAY-T3-V1.2", r3old = "QXGW-RJ-RELAY-T3-V1.1", rv3s = "QXGW-S-WFRJ-RELAY-V3S-V1";
    QTest::newRow("relay no package") << R << "" << "" << QString::fromUtf8("请检查/root目录下modbus升级包") << "";
    QTest::newRow("relay first installation") << R << r3 << "" << "" << "";
    QTest::newRow("relay unknown running version") << R << r3 << "1.0" << "" << "";
    QTest::newRow("relay fits") << R << r3 << r3old << "" << "";
    QTest::newRow("relay T3 onto V3S") << R << r3 << rv3s << ""
                                       << QString::fromUtf8("网关硬件平台与modbus升级包硬件平台(T3)不一致");
    QTest::newRow("relay V3S onto T3") << R << rv3s << r3old << ""
                                       << QString::fromUtf8("网关硬件平台与modbus升级包硬件平台(V3S)不一致");
    // busrelay's same version is not refused: its question offers a reinstall.
    QTest::newRow("relay same") << R << r3 << r3 << "" << "";
    QTest::newRow("relay same, unknown platform") << R << "QXGW-X-1" << "QXGW-X-1" << ""
                                                  << QString::fromUtf8("未识别的目标版本硬件平台");
    QTest::newRow("relay unknown platform") << R << "QXGW-X-2" << "" << ""
                                            << QString::fromUtf8("未识别的目标版本硬件平台");
}

void TstUpgradeRules::refusals()
{
    QFETCH(UpgradeRules::Program, program);
    QFETCH(QString, target);
    QFETCH(QString, current);
    QFETCH(QString, beforeLink);
    QFETCH(QString, afterLink);
    const UpgradeRule &rule = UpgradeRules::rule(program);
    QCOMPARE(UpgradeRules::refusalBeforeLink(rule, target, current, "/root"), beforeLink);
    if (beforeLink.isEmpty())
        QCOMPARE(UpgradeRules::refusalAfterLink(rule, target, current), afterLink);
}

void TstUpgradeRules::confirmText()
{
    QCOMPARE(UpgradeRules::confirmText(UpgradeRules::rule(UpgradeRules::Gateway), "A-1", "A-2"),
             QString::fromUtf8("该操作将网关A-1升级为A-2"));
    // A version text is shown as it is, whatever it holds.
    QCOMPARE(UpgradeRules::confirmText(UpgradeRules::rule(UpgradeRules::Gateway), "{target}%1", "B"),
             QString::fromUtf8("该操作将网关{target}%1升级为B"));
    QCOMPARE(UpgradeRules::confirmText(UpgradeRules::rule(UpgradeRules::Relay), "A-1", "A-2"),
             QString::fromUtf8("该操作将网关中modbus替换为为目标版本modbus程序"));
}

void TstUpgradeRules::questions_data()
{
    QTest::addColumn<UpgradeRules::Program>("program");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("current");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("okText");
    QTest::addColumn<bool>("cautious");
    const auto G = UpgradeRules::Gateway;
    const auto R = UpgradeRules::Relay;
    const QString mbTitle = QString::fromUtf8("是否更新modbus程序");
    const QString mbText = QString::fromUtf8("该操作将网关中modbus替换为为目标版本modbus程序");
    const QString gwTitle = QString::fromUtf8("是否更新网关程序");
    const QString ok = QString::fromUtf8("确定"), down = QString::fromUtf8("确定降级");
    const auto downgrade = [](const QString &target, const QString &current) {
        return QString::fromUtf8("\n\n注意: 这是降级! 升级包版本") + target + QString::fromUtf8("低于网关当前版本") + current
               + QString::fromUtf8("。");
    };
    const QString r11 = "QXGW-RJ-RELAY-T3(v1.1)-20220906", r12 = "QXGW-RJ-RELAY-T3(v1.2)-20230101";
    QTest::newRow("relay upgrade") << R << r12 << r11 << mbTitle << mbText << ok << false;
    QTest::newRow("relay downgrade") << R << r11 << r12 << mbTitle << mbText + downgrade(r11, r12) << down << true;
    QTest::newRow("relay reinstall")
        << R << r11 << r11 << QString::fromUtf8("是否重新安装modbus程序")
        << QString::fromUtf8("modbus不需要更新!\n网关中的modbus程序已是升级包的版本") + r11
               + QString::fromUtf8("。\n如网关中的modbus程序或其脚本已损坏, 可重新安装该版本。")
        << QString::fromUtf8("重新安装") << true;
    // Same number, an older build date.
    const QString r11old = "QXGW-RJ-RELAY-T3(v1.1)-20220101";
    QTest::newRow("relay older build") << R << r11old << r11 << mbTitle << mbText + downgrade(r11old, r11) << down
                                       << true;
    // The platform's "V3S" is not a version number.
    const QString s1 = "QXGW-S-WFRJ-RELAY-V3S-V1", s2 = "QXGW-S-WFRJ-RELAY-V3S-V2";
    QTest::newRow("relay V3S downgrade") << R << s1 << s2 << mbTitle << mbText + downgrade(s1, s2) << down << true;
    const QString g9 = "QXGW-RJ-MQTT-T3-V1.9", g10 = "QXGW-RJ-MQTT-T3-V1.10";
    const QString gwText = QString::fromUtf8("该操作将网关") + g10 + QString::fromUtf8("升级为") + g9;
    // Numbers, not text: 1.10 is after 1.9.
    QTest::newRow("gw 1.10 to 1.9") << G << g9 << g10 << gwTitle << gwText + downgrade(g9, g10) << down << true;
}

void TstUpgradeRules::questions()
{
    QFETCH(UpgradeRules::Program, program);
    QFETCH(QString, target);
    QFETCH(QString, current);
    const UpgradeRules::Question q = UpgradeRules::confirmation(UpgradeRules::rule(program), current, target);
    QTEST(q.title, "title");
    QTEST(q.text, "text");
    QTEST(q.okText, "okText");
    QTEST(q.cautious, "cautious");
}

QTEST_GUILESS_MAIN(TstUpgradeRules)
#include "tst_upgraderules.moc"

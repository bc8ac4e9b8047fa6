// A map.json written by the tool loads in the service's loader: every unit
// registered, no warning. The gateway's device list is the sample
// configuration's (the devices gwsim reports by default), with the gateway
// in it or, as a real gateway lists its devices, without it.
#include "devicetypetable.h"
#include "maptablemodel.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TstMapJsonCrossCheck : public QObject
{
    Q_OBJECT

private slots:
    void batchMapLoadsInService_data();
    void batchMapLoadsInService();
};

void TstMapJsonCrossCheck::batchMapLoadsInService_data()
{
    QTest::addColumn<bool>("gatewayListed");
    QTest::newRow("gateway in the list") << true;
    QTest::newRow("gateway selected, not listed") << false;
}

void TstMapJsonCrossCheck::batchMapLoadsInService()
{
    QFETCH(bool, gatewayListed);
    const QString checker = qEnvironmentVariable("BIN_DIR") + "/mapjson_loadcheck";
    const QString sample = qEnvironmentVariable("SOURCE_DIR") + "/busrelay/sample";
    if (!QFileInfo(checker).isExecutable())
        QSKIP(qPrintable("service loader check not built (" + checker + "): needs the device model"));
    if (!QFileInfo(sample + "/descJson").isDir())
        QSKIP(qPrintable("no sample configuration at " + sample));

    // The devices as the gateway lists them.
    QFile sampleMap(sample + "/map.json");
    QVERIFY(sampleMap.open(QIODevice::ReadOnly));
    const QJsonArray sampleNodes = QJsonDocument::fromJson(sampleMap.readAll()).object()["nodes"].toArray();
    QVERIFY(sampleNodes.size() > 1);

    QVector<MapTableModel::Device> devices;
    MapTableModel::Device gateway;
    for (const QJsonValue &v : sampleNodes) {
        const QJsonObject n = v.toObject();
        if (!n.contains("mqtt_dk"))
            continue;
        const QString sn = n["sntype"].toString();
        const MapTableModel::Device d{n["mqtt_dk"].toString(), sn, DeviceTypeTable::modelName(sn)};
        if (sn == DeviceTypeTable::kGatewayProductCode) {
            gateway = d;
            if (!gatewayListed)
                continue;
        }
        devices.append(d);
    }
    QVERIFY(!gateway.deviceKey.isEmpty());
    MapTableModel map;
    map.mapAll(devices, gatewayListed ? MapTableModel::Device() : gateway);
    const int rows = map.rowCount();
    QCOMPARE(rows, devices.size() + (gatewayListed ? 0 : 1));
    // The first device got address 0, which no Modbus request can name apart
    // from broadcast; give the map the addresses an engineer would.
    for (int r = 0; r < rows; ++r) {
        if (map.text(r, 0) != "255")
            map.setText(r, 0, QString::number(r + 1));
    }
    QTemporaryDir dir;
    const QString mapPath = dir.filePath("map.json");
    QVERIFY(map.write(mapPath));

    QProcess p;
    p.start(checker, {sample + "/descJson", mapPath});
    QVERIFY(p.waitForFinished(10000));
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    const QString err = QString::fromUtf8(p.readAllStandardError());
    QVERIFY2(p.exitCode() == 0, qPrintable(err));
    QVERIFY2(out.contains(QString("registered %1\n").arg(rows)), qPrintable(out + err));
    QVERIFY2(!out.contains("no register map"), qPrintable(out));
    QVERIFY2(!err.contains("WARN") && !err.contains("ERROR") && !err.contains("Error:"),
             qPrintable(err));
    // Each unit under the address and key the tool wrote.
    for (int r = 0; r < rows; ++r) {
        const QString line = QString("unit %1 %2 %3\n")
                                 .arg(map.text(r, 0), map.text(r, 1),
                                      map.text(r, 2));
        QVERIFY2(out.contains(line), qPrintable(line + " not in\n" + out));
    }
    // The service finds its own unit (version, online and alarm bits).
    const QString own = "unit 255 " + gateway.deviceKey + " " + gateway.productCode + "\n";
    QVERIFY2(out.contains(own), qPrintable(own + " not in\n" + out));
}

QTEST_MAIN(TstMapJsonCrossCheck)
#include "tst_mapjson_crosscheck.moc"

// A map.json written by the tool loads in the service's loader: every unit
// registered, no warning. The gateway's device list is the sample
// configuration's (the devices gwsim reports by default).
#include "dialogseam.h"
#include "mainwindow.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QtTest>

class TstMapJsonCrossCheck : public QObject
{
    Q_OBJECT

private slots:
    void batchMapLoadsInService();
};

void TstMapJsonCrossCheck::batchMapLoadsInService()
{
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

    DialogSeam::setResponder([](const DialogSeam::Request &) { return true; });
    MainWindow w;
    int aid = 1;
    for (const QJsonValue &v : sampleNodes) {
        const QJsonObject n = v.toObject();
        if (!n.contains("mqtt_dk"))
            continue;
        w.addDeviceRow(aid++, n["mqtt_dk"].toString(), n["sntype"].toString() + "0000123");
    }
    QMetaObject::invokeMethod(&w, "onAllDevAddToMapBtnClicked");
    const int rows = w.mapModel()->rowCount();
    QCOMPARE(rows, aid - 1);
    // The first device got address 0, which no Modbus request can name apart
    // from broadcast; give the map the addresses an engineer would.
    for (int r = 0; r < rows; ++r) {
        if (w.mapModel()->item(r, 0)->text() != "255")
            w.mapModel()->item(r, 0)->setText(QString::number(r + 1));
    }
    QTemporaryDir dir;
    const QString mapPath = dir.filePath("map.json");
    QVERIFY(w.writeMapJson(mapPath));
    DialogSeam::setResponder(nullptr);

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
                                 .arg(w.mapModel()->item(r, 0)->text(), w.mapModel()->item(r, 1)->text(),
                                      w.mapModel()->item(r, 2)->text());
        QVERIFY2(out.contains(line), qPrintable(line + " not in\n" + out));
    }
}

QTEST_MAIN(TstMapJsonCrossCheck)
#include "tst_mapjson_crosscheck.moc"

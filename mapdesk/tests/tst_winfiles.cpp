// Files and paths the way a Windows PC has them: version files and maps saved
// by Notepad (CRLF line ends, a UTF-8 byte order mark), TFTP roots typed with
// backslashes and a trailing separator. Also runs on Linux, where the native
// separator is '/'.
#include "mapjsonfile.h"
#include "qtftp.h"
#include "qtftpwidget.h"
#include "upgradepackage.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

namespace {
bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

const char kBom[] = "\xef\xbb\xbf";
}

class TstWinFiles : public QObject
{
    Q_OBJECT
private slots:
    void versionFileLineEnds_data();
    void versionFileLineEnds();
    void mapJsonFromNotepad();
    void mapJsonWrittenForTheGateway();
    void tftpRootSpellings();
    void tftpPanelRoot();
};

void TstWinFiles::versionFileLineEnds_data()
{
    QTest::addColumn<QByteArray>("prefix");
    QTest::addColumn<QByteArray>("eol");
    QTest::newRow("LF") << QByteArray() << QByteArray("\n");
    QTest::newRow("CRLF") << QByteArray() << QByteArray("\r\n");
    QTest::newRow("BOM CRLF") << QByteArray(kBom) << QByteArray("\r\n");
}

void TstWinFiles::versionFileLineEnds()
{
    QFETCH(QByteArray, prefix);
    QFETCH(QByteArray, eol);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath("modbus.zip"), "package bytes"));
    const QString md5 = UpgradePackage::fileMd5(dir.filePath("modbus.zip"));
    QCOMPARE(md5.size(), 32);
    // With and without a line end after the digest.
    for (const QByteArray &tail : {eol, QByteArray()}) {
        QVERIFY(writeFile(dir.filePath("mbver.txt"),
                          prefix + "QXGW-RJ-RELAY-T3 V1.1" + eol + md5.toLatin1() + tail));
        const UpgradePackage p = UpgradePackage::check(dir.path(), "mbver.txt", "modbus.zip");
        QCOMPARE(p.version, QString("QXGW-RJ-RELAY-T3 V1.1"));
        QCOMPARE(p.digestInFile, md5);
        QVERIFY(p.matches());
    }
}

void TstWinFiles::mapJsonFromNotepad()
{
    const QByteArray text = QByteArray(kBom)
        + "{\r\n  \"nodes\": [\r\n    {\"mb_id\": 3, \"mqtt_dk\": \"DK0003\", \"sntype\": \"1301\",\r\n"
          "     \"devtype\": \"\xe7\xa9\xba\xe8\xb0\x83\"}\r\n  ],\r\n  \"profile\": {\"version\": \"1.0\"}\r\n}\r\n";
    QVector<MapJsonFile::Node> nodes;
    QCOMPARE(MapJsonFile::parse(text, &nodes), 0);
    QCOMPARE(nodes.size(), 1);
    QCOMPARE(nodes.at(0).mbId, 3);
    QCOMPARE(nodes.at(0).mqttDk, QString("DK0003"));
    QCOMPARE(nodes.at(0).devtype, QString::fromUtf8("空调"));
}

void TstWinFiles::mapJsonWrittenForTheGateway()
{
    // The gateway is Linux: the file keeps '\n' line ends and no byte order
    // mark on every PC, and replaces an older map whole.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("DK-map.json");
    QVERIFY(writeFile(path, QByteArray(4096, 'x')));
    MapJsonFile::Node node;
    node.mbId = 7;
    node.mqttDk = "DK0007";
    node.sntype = "1301";
    node.devtype = QString::fromUtf8("调光");
    QString error;
    QVERIFY2(MapJsonFile::write({node}, path, &error), qPrintable(error));
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray text = f.readAll();
    QVERIFY(!text.contains('\r'));
    QVERIFY(!text.startsWith(kBom));
    QVERIFY(!text.contains('x'));
    QVector<MapJsonFile::Node> nodes;
    QCOMPARE(MapJsonFile::parse(text, &nodes), 0);
    QCOMPARE(nodes.size(), 1);
    QCOMPARE(nodes.at(0).mbId, 7);
    QCOMPARE(nodes.at(0).devtype, QString::fromUtf8("调光"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"DK-map.json"});
}

void TstWinFiles::tftpRootSpellings()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = QDir(dir.filePath("tftp root")).absolutePath();  // with a space
    QVERIFY(QDir().mkpath(root));
    const QString native = QDir::toNativeSeparators(root);
    QTftp t;
    // As typed or pasted: native separators, a trailing separator, doubled ones.
    for (const QString &spelling : {root, native, native + QDir::separator(),
                                    QDir::toNativeSeparators(dir.path()) + QDir::separator()
                                        + QDir::separator() + "tftp root"}) {
        t.setRootDir(spelling);
        QCOMPARE(t.rootDir(), root);
        QCOMPARE(t.filePath("map.json"), root + "/map.json");
        // Nothing outside the root, however the root was spelt.
        for (const char *bad : {"..", "../map.json", "..\\map.json", "sub/map.json", "C:map.json",
                                "c:\\windows\\win.ini", "/etc/passwd", "map.json:stream", "NUL", "conout$", "con .txt", "COM\xc2\xb9.log"})
            QVERIFY2(t.filePath(QString::fromUtf8(bad)).isEmpty(), bad);
    }
#ifdef Q_OS_WIN
    // Drive letters compare without case, as Windows does.
    QString lower = native;
    lower[0] = lower.at(0).toLower();
    t.setRootDir(lower);
    QCOMPARE(t.filePath("map.json").compare(root + "/map.json", Qt::CaseInsensitive), 0);
#endif
}

void TstWinFiles::tftpPanelRoot()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = QDir(dir.path()).absolutePath();
    QtftpWidget w;
    auto *edit = w.findChild<QLineEdit *>("root");
    QVERIFY(edit);
    // Shown the way the system writes paths (C:\...\data on Windows).
    QVERIFY(!edit->text().isEmpty());
    QCOMPARE(edit->text(), QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + "/data"));
    QCOMPARE(w.rootDir(), QDir::cleanPath(QCoreApplication::applicationDirPath() + "/data"));
    edit->setText(QDir::toNativeSeparators(root) + QDir::separator());
    // root + "/" + name is one path with one kind of separator.
    QCOMPARE(w.rootDir(), root);
    QVERIFY(w.findChild<QPushButton *>("start")->isEnabled());
}

QTEST_MAIN(TstWinFiles)
#include "tst_winfiles.moc"

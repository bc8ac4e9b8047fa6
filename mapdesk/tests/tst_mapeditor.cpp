// The address map editor and the gateway's device list on views of their
// own, the map model and its checks, 7F framing and the lookup tables; the
// main window only for its start state, its gateway choice, and what it adds
// around the editor (title mark, close question, buttons and 7F answers
// wired to the editor and the list).
#include "addressmapeditor.h"
#include "devicelisttable.h"
#include "devicetypetable.h"
#include "dialogseam.h"
#include "frame7f.h"
#include "gateway7fclient.h"
#include "gatewayerrortext.h"
#include "mainwindow.h"
#include "mapcheck.h"
#include "mapjsonfile.h"
#include "maptablemodel.h"
#include "modbusasswidget.h"
#include "statuslook.h"

#include "testfiles.h"
#include <QComboBox>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

namespace {
// Records every dialog and answers confirmations with `proceed`.
struct DialogLog {
    QList<DialogSeam::Request> seen;
    bool proceed = true;
    void install()
    {
        DialogSeam::setResponder([this](const DialogSeam::Request &r) {
            if (r.title == "warn")
                return true;  // an upgrade package check of the window
            seen.append(r);
            return proceed;
        });
    }
};

// The map editor and the device list as the window lays them out, without
// the window: boxes open over a plain widget.
struct EditorRig {
    QWidget parent;
    QTableView mapView{&parent};
    QTableView devView{&parent};
    AddressMapEditor editor{&mapView, &parent};
    DeviceListTable devices{&devView};
    MapTableModel *map() const { return editor.model(); }
};

// Two nodes, the first with a name the table does not show.
const char kSiteJson[] =
    u8R"({"nodes":[{"devtype":"sw","mb_id":4,"mqtt_dk":"dev4","name":"大堂灯","sntype":"99000000101"},)"
    u8R"({"devtype":"dim","mb_id":5,"mqtt_dk":"dev5","sntype":"99000000102"}],)"
    R"("profile":{"name":"x","version":"1.0"}})";
} // namespace

class TstMapEditor : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_dialogs = DialogLog(); m_dialogs.install(); }
    void cleanup() { DialogSeam::setResponder(nullptr); }

    // The window.
    void windowStartStateAndGatewayChoice();
    void windowAroundTheEditor();

    // The pieces on their own.
    void frameBuildAndTake();
    void tables();
    void deviceList();
    void addOneDevice();
    void batchMap();
    void batchMapAsks();
    void compareAndCheck();
    void compareWithDeviceList();
    void installAsksWithoutGateway();
    void removeMapping();
    void writeAndReadMapJson();
    void readMapJsonErrors();
    void modifiedFlag();
    void mapChecks_data();
    void mapChecks();
    void openSaveAndUnsavedEdits();
    void columnsFitAfterLoads();

private:
    DialogLog m_dialogs;
};

void TstMapEditor::windowStartStateAndGatewayChoice()
{
    MainWindow w;
    QCOMPARE(w.windowTitle(), QString("mapdesk-v1.4.2-20220906"));
    // 790x900, within the screen (the offscreen one is only 600 high).
    const QSize avail = w.screen()->availableGeometry().size();
    QCOMPARE(w.size(), QSize(790, 900).boundedTo(QSize(avail.width(), avail.height() - 40)));
    auto *tabs = w.findChild<QTabWidget *>("workTabWidget");
    QVERIFY(tabs);
    QCOMPARE(tabs->currentIndex(), 0);
    QCOMPARE(tabs->tabText(0), QString::fromUtf8("连接网关"));
    QCOMPARE(tabs->tabText(4), QString::fromUtf8("调试区"));
    QCOMPARE(tabs->count(), 8);
    QCOMPARE(tabs->tabText(5), QString::fromUtf8("modbus助手v1.0"));
    QVERIFY(qobject_cast<ModbusAssWidget *>(tabs->widget(5)));
    QCOMPARE(tabs->tabText(6), QString::fromUtf8("网关状态"));
    QCOMPARE(tabs->tabText(7), QString::fromUtf8("站点"));
    QVERIFY(w.findChild<QPushButton *>("gwDetectBtn")->isEnabled());
    QVERIFY(!w.findChild<QPushButton *>("gw7FConnectBtn")->isEnabled());
    QVERIFY(!w.findChild<QPushButton *>("sshConnectBtn")->isEnabled());
    QVERIFY(!w.findChild<QPushButton *>("upgradeGwSoftwareBtn")->isEnabled());
    QVERIFY(!w.findChild<QPushButton *>("upgradeRelayBtn")->isEnabled());
    auto *st = w.findChild<QLabel *>("gw7FStatusLabel");
    QCOMPARE(st->text(), QString::fromUtf8("未连接网关"));
    QCOMPARE(st->styleSheet(), StatusLook::red());
    QVERIFY(w.findChild<QLabel *>("localIpLabel")->text().startsWith(QString::fromUtf8("本机IP:")));
    QVERIFY(w.findChild<QLabel *>("curGwSoftwareVerLabel")->text().isEmpty());
    // The form's tables show the window's device list and map.
    QCOMPARE(w.findChild<QTableView *>("allDevTableView")->model(), w.deviceList()->model());
    QCOMPARE(w.findChild<QTableView *>("mapJsonTableView")->model(), w.mapModel());

    // Without a connection a command is refused with a box and nothing pends.
    QMetaObject::invokeMethod(&w, "on_getGwInfoBtn_clicked");
    QCOMPARE(m_dialogs.seen.size(), 1);
    QCOMPARE(m_dialogs.seen[0].text, QString::fromUtf8("请先连接网关!"));
    QCOMPARE(w.pendingOpCode(), 0);
    QVERIFY(w.centralWidget()->isEnabled());

    // Gateway choice.
    auto *combo = w.findChild<QComboBox *>("gwInfoComboBox");
    combo->addItem("gw7f0001_10.0.0.5_99000000002_v1.2");
    QCOMPARE(w.gatewayKey(), QString("gw7f0001"));
    QCOMPARE(w.gatewayIp(), QString("10.0.0.5"));
    QCOMPARE(w.serialPrefix(), QString("99000000002"));
    QCOMPARE(w.findChild<QLabel *>("curGwSoftwareVerLabel")->text(), QString(" "));
    // A key with "_" gives five parts: the selection stays.
    combo->addItem("gw_2_10.0.0.6_99000000002_v1");
    combo->setCurrentIndex(1);
    QCOMPARE(w.gatewayKey(), QString("gw7f0001"));
    // Three parts without version select.
    combo->addItem("gwb_10.0.0.7_99000000003");
    combo->setCurrentIndex(2);
    QCOMPARE(w.gatewayIp(), QString("10.0.0.7"));
    // A gateway the search found is taken whole from its list, whatever its key holds.
    w.discovery()->takeReply("{\"deviceKey\":\"gw_9\",\"function\":{\"ip\":\"10.0.0.9\"},"
                             "\"metadata\":{\"sn\":\"99000000002000123\",\"softwareVersion\":\"V2\"}}");
    QCOMPARE(combo->count(), 4);
    QCOMPARE(combo->itemText(3), QString("10.0.0.9  /  99000000002  /  V2  (gw_9)"));
    combo->setCurrentIndex(3);
    QCOMPARE(w.gatewayKey(), QString("gw_9"));
    QCOMPARE(w.gatewayIp(), QString("10.0.0.9"));
    QCOMPARE(w.serialNumber(), QString("99000000002000123"));
}

void TstMapEditor::windowAroundTheEditor()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("site.json");
    writeFile(path, kSiteJson);
    MainWindow w;
    const QString title = w.windowTitle();
    QStandardItemModel *dev = w.deviceList()->model();

    // The gateway's device list reaches the window's table.
    emit w.gateway7F()->deviceListAnswered({{3, "swa30001", "99000000101"}, {4, "dim10001", "99000000102"}});
    QCOMPARE(dev->rowCount(), 2);
    QCOMPARE(dev->item(1, 1)->text(), QString("dim10001"));

    // A double-click in the list adds that device to the map; the title marks the edit.
    auto *dv = w.findChild<QTableView *>("allDevTableView");
    dv->setCurrentIndex(dev->index(1, 0));
    emit dv->doubleClicked(dev->index(1, 0));
    QCOMPARE(w.mapModel()->rowCount(), 1);
    QCOMPARE(w.mapModel()->text(0, MapTableModel::DeviceKey), QString("dim10001"));
    QCOMPARE(w.windowTitle(), title + "*");

    // The compare button marks the device the map lacks.
    w.findChild<QPushButton *>("compareBtn")->click();
    QCOMPARE(dev->item(0, 1)->font().weight(), int(QFont::Bold));
    QCOMPARE(dev->item(1, 1)->font().weight(), int(QFont::Normal));
    QCOMPARE(m_dialogs.seen.value(0).title, QString("Warn"));

    // The batch button maps the whole list.
    w.findChild<QPushButton *>("allDevAddToMapBtn")->click();
    QCOMPARE(w.mapModel()->rowCount(), 2);
    QCOMPARE(w.mapModel()->text(0, MapTableModel::DeviceKey), QString("swa30001"));
    // With a gateway selected, the batch map adds the gateway itself as unit 255.
    w.findChild<QComboBox *>("gwInfoComboBox")->addItem("gwwin001_10.0.0.5_99000000002_v1");
    QCOMPARE(w.gatewayKey(), QString("gwwin001"));
    w.findChild<QPushButton *>("allDevAddToMapBtn")->click();
    QCOMPARE(w.mapModel()->rowCount(), 3);
    QCOMPARE(w.mapModel()->text(2, MapTableModel::Address), QString("255"));
    QCOMPARE(w.mapModel()->text(2, MapTableModel::DeviceKey), QString("gwwin001"));

    // A file opened (after the unsaved question) or saved clears the mark; the status bar says so.
    QVERIFY(w.mapEditor()->open(path));
    QCOMPARE(w.windowTitle(), title);
    QCOMPARE(w.statusText(), QString::fromUtf8("已打开") + path);
    w.mapModel()->setText(1, 0, "6");
    QCOMPARE(w.windowTitle(), title + "*");
    const QString saved = dir.filePath("map.json");
    QVERIFY(w.mapEditor()->save(saved));
    QCOMPARE(w.windowTitle(), title);
    QCOMPARE(w.statusText(), QString::fromUtf8("已保存") + saved);

    // Closing with unsaved edits asks; "否" keeps the window.
    w.mapModel()->setText(0, 0, "7");
    w.show();
    m_dialogs.seen.clear();
    m_dialogs.proceed = false;
    QVERIFY(!w.close());
    QCOMPARE(m_dialogs.seen.size(), 1);
    QCOMPARE(m_dialogs.seen[0].okText, QString::fromUtf8("退出"));
    QVERIFY(w.isVisible());
    m_dialogs.proceed = true;
    QVERIFY(w.close());
}

static QByteArray frame(const QByteArray &topic, const QByteArray &payload)
{
    QByteArray out(1, char(0x7F));
    quint32 t = quint32(topic.size()), p = quint32(payload.size());
    out.append(reinterpret_cast<const char *>(&t), 4).append(topic);   // test host is little-endian
    out.append(reinterpret_cast<const char *>(&p), 4).append(payload);
    return out;
}

void TstMapEditor::frameBuildAndTake()
{
    QCOMPARE(Frame7F::build("ab", "{}"), frame("ab", "{}"));
    // 9 + T + P == 2048 fits, one byte more does not.
    QCOMPARE(Frame7F::build("t", QByteArray(2038, 'x')).size(), 2048);
    QVERIFY(Frame7F::build("t", QByteArray(2039, 'x')).isEmpty());

    // Two frames and a keep-alive in one read come out one by one, none lost.
    QByteArray buf = frame("a", "{\"n\":1}") + Frame7F::keepAlive() + frame("b", "{\"n\":2}");
    QByteArray t, p;
    QCOMPARE(Frame7F::take(buf, &t, &p), Frame7F::Message);
    QCOMPARE(t, QByteArray("a"));
    QCOMPARE(Frame7F::take(buf, &t, &p), Frame7F::KeepAlive);
    QCOMPARE(Frame7F::take(buf, &t, &p), Frame7F::Message);
    QCOMPARE(p, QByteArray("{\"n\":2}"));
    QVERIFY(buf.isEmpty());

    // A frame in pieces waits; text is cut at the first zero byte.
    QByteArray whole = frame(QByteArray("to\0pic", 6), "xyz");
    buf = whole.left(7);
    QCOMPARE(Frame7F::take(buf, &t, &p), Frame7F::NeedMore);
    buf = whole.left(whole.size() - 1);
    QCOMPARE(Frame7F::take(buf, &t, &p), Frame7F::NeedMore);
    buf = whole;
    QCOMPARE(Frame7F::take(buf, &t, &p), Frame7F::Message);
    QCOMPARE(t, QByteArray("to"));

    // Not 0x7F, or an absurd length, drops what is buffered.
    buf = QByteArray("hello world");
    QCOMPARE(Frame7F::take(buf, &t, &p), Frame7F::Garbage);
    QVERIFY(buf.isEmpty());
    buf = frame("a", "b");
    buf[1] = char(0xFF); buf[2] = char(0xFF); buf[3] = char(0xFF); buf[4] = char(0x7F);
    QCOMPARE(Frame7F::take(buf, &t, &p), Frame7F::Garbage);
}

void TstMapEditor::tables()
{
    QCOMPARE(DeviceTypeTable::rowCount(), 67);
    QCOMPARE(QByteArray(DeviceTypeTable::row(0).productCode), QByteArray("99000000002"));
    QSet<QByteArray> codes;
    for (int i = 0; i < DeviceTypeTable::rowCount(); ++i) {
        QCOMPARE(qstrlen(DeviceTypeTable::row(i).productCode), 11u);
        codes.insert(DeviceTypeTable::row(i).productCode);
    }
    QCOMPARE(codes.size(), 67);
    QCOMPARE(DeviceTypeTable::modelName("99000000101"), QString("switch3a"));
    QCOMPARE(DeviceTypeTable::modelName("12345678901"), QString::fromUtf8("未知规格型号"));
    QCOMPARE(DeviceTypeTable::category("12345678901"), QString::fromUtf8("未知类别"));
    QCOMPARE(GatewayErrorText::text(0), QString::fromUtf8("成功"));
    QCOMPARE(GatewayErrorText::text(13), QString::fromUtf8("设备忙,例如设备正在进行同步"));
    QCOMPARE(GatewayErrorText::text(12), QString::fromUtf8("未知错误"));
    QCOMPARE(GatewayErrorText::text(-1), QString::fromUtf8("未知错误"));
}

void TstMapEditor::deviceList()
{
    QTableView view;
    DeviceListTable devices(&view);
    QCOMPARE(devices.model()->columnCount(), 6);
    QCOMPARE(devices.model()->horizontalHeaderItem(2)->text(), QString::fromUtf8("识别码"));
    QVERIFY(devices.currentKey().isNull());
    QCOMPARE(devices.currentRow(), -1);

    // A second fetch replaces the list: no device listed twice.
    const QVector<Gateway7FDevice> list = {{3, "swa30001", "99000000101"}, {4, "dim10001", "99000000102"}};
    devices.replace(list);
    devices.replace(list);
    QCOMPARE(devices.model()->rowCount(), 2);
    QCOMPARE(devices.model()->item(1, 1)->text(), QString("dim10001"));
    view.setCurrentIndex(devices.model()->index(1, 0));
    QCOMPARE(devices.currentKey(), QString("dim10001"));

    // A delete's answer removes that device's row, wherever the selection is by then.
    view.setCurrentIndex(devices.model()->index(0, 0));
    devices.removeDevice("dim10001");
    devices.removeDevice("nope0001");
    QCOMPARE(devices.keys(), QStringList({"swa30001"}));
}

void TstMapEditor::addOneDevice()
{
    EditorRig r;
    r.devices.addRow(7, "swa30001", "99000000101ABC");
    r.devices.addRow(8, "xyz00001", "12345678901");
    QCOMPARE(r.devices.model()->item(0, 3)->text(), QString("switch3a"));
    QCOMPARE(r.devices.model()->item(1, 4)->text(), QString::fromUtf8("未知类别"));
    r.editor.addCurrentDevice(r.devices);  // nothing selected: nothing added
    QCOMPARE(r.map()->rowCount(), 0);

    r.devView.setCurrentIndex(r.devices.model()->index(1, 0));
    r.editor.addCurrentDevice(r.devices);
    r.devView.setCurrentIndex(r.devices.model()->index(0, 0));
    r.editor.addCurrentDevice(r.devices);
    QCOMPARE(r.map()->rowCount(), 2);
    QCOMPARE(r.map()->text(1, 0), QString("-1"));
    QCOMPARE(r.map()->text(1, 2), QString("99000000101"));
    QVERIFY(m_dialogs.seen.isEmpty());

    // Again: warning with the AID, the existing row becomes current, no new row.
    r.mapView.setCurrentIndex(r.map()->index(0, 0));
    r.editor.addCurrentDevice(r.devices);
    QCOMPARE(r.map()->rowCount(), 2);
    QCOMPARE(r.mapView.currentIndex().row(), 1);
    QCOMPARE(m_dialogs.seen.size(), 1);
    QCOMPARE(m_dialogs.seen[0].title, QString("warning"));
    QCOMPARE(m_dialogs.seen[0].text, QString::fromUtf8("modbus地址映射表中已经有该设备!!!!\n7"));

    // The key columns cannot be edited, the address can.
    QVERIFY(!r.mapView.itemDelegateForColumn(1)->createEditor(&r.mapView, QStyleOptionViewItem(),
                                                              r.map()->index(0, 1)));
    QVERIFY(r.mapView.itemDelegateForColumn(0) == nullptr);
}

void TstMapEditor::batchMap()
{
    // One row per device in list order; the gateway itself is unit 255.
    MapTableModel map;
    map.addRow(9, "old00001", "99000000103", "thermostat");
    map.mapAll({{"swa30001", "99000000101", "switch3a"},
                {"dim10001", "99000000102", "dimmer1c"},
                {"gw7f0001", "99000000002", "gateway"}});
    QCOMPARE(map.rowCount(), 3);
    QCOMPARE(map.text(0, MapTableModel::Address), QString("0"));
    QCOMPARE(map.text(1, MapTableModel::Address), QString("1"));
    QCOMPARE(map.text(2, MapTableModel::Address), QString("255"));
    QCOMPARE(map.text(2, MapTableModel::DeviceKey), QString("gw7f0001"));
    QCOMPARE(map.text(1, MapTableModel::Model), QString("dimmer1c"));
    QVERIFY(map.isModified());
    QCOMPARE(MapTableModel::batchAddress(4, "99000000002"), 255);
    QCOMPARE(MapTableModel::batchAddress(4, "99000000101"), 4);

    // The known gateway listed, even under another product code: kept in its
    // place as the gateway, not added a second time.
    map.mapAll({{"gw7f0001", "12345678901", "?"}, {"swa30001", "99000000101", "switch3a"}},
               {"gw7f0001", "99000000002", "gateway"});
    QCOMPARE(map.rowCount(), 2);
    QCOMPARE(map.text(0, MapTableModel::Address), QString("255"));
    QCOMPARE(map.text(0, MapTableModel::ProductCode), QString("99000000002"));
    QCOMPARE(map.text(1, MapTableModel::Address), QString("1"));
}

void TstMapEditor::batchMapAsks()
{
    EditorRig r;
    r.editor.mapAll(r.devices);
    QCOMPARE(m_dialogs.seen.size(), 1);
    QCOMPARE(m_dialogs.seen[0].text, QString::fromUtf8("无设备!!请先获取网关中设备列表\n"));

    r.devices.addRow(1, "swa30001", "99000000101");
    r.devices.addRow(2, "dim10001", "99000000102");
    r.devices.addRow(3, "gw7f0001", "99000000002");
    r.map()->addRow(9, "old00001", "99000000103", "thermostat");

    m_dialogs.proceed = false;  // "否" leaves the map alone
    r.editor.mapAll(r.devices);
    QCOMPARE(r.map()->rowCount(), 1);
    QCOMPARE(m_dialogs.seen.last().kind, DialogSeam::Confirm);
    QCOMPARE(m_dialogs.seen.last().title, QString::fromUtf8("是否确定重建modbus映射"));
    QCOMPARE(m_dialogs.seen.last().okText, QString::fromUtf8("确定"));
    QCOMPARE(m_dialogs.seen.last().noText, QString::fromUtf8("否"));

    m_dialogs.proceed = true;
    r.editor.mapAll(r.devices);
    QCOMPARE(r.map()->rowCount(), 3);
    QCOMPARE(r.map()->text(0, 0), QString("0"));
    QCOMPARE(r.map()->text(1, 0), QString("1"));
    QCOMPARE(r.map()->text(2, 0), QString("255"));
    QCOMPARE(r.map()->text(2, 1), QString("gw7f0001"));
    QCOMPARE(r.map()->text(1, 3), QString("dimmer1c"));

    // The selected gateway, not in its own list: added as unit 255 with the
    // gateway description's product code and the model of its serial.
    r.devices.clear();
    r.devices.addRow(1, "swa30001", "99000000101");
    r.editor.setGateway("gwsel001", "99000000002000777");
    r.editor.mapAll(r.devices);
    QCOMPARE(r.map()->rowCount(), 2);
    QCOMPARE(r.map()->text(0, 0), QString("0"));
    QCOMPARE(r.map()->text(1, 0), QString("255"));
    QCOMPARE(r.map()->text(1, 1), QString("gwsel001"));
    QCOMPARE(r.map()->text(1, 2), QString("99000000002"));
    QCOMPARE(r.map()->text(1, 3), QString("gateway"));
    // The gateway deselected: not added any more.
    r.editor.setGateway(QString(), QString());
    r.editor.mapAll(r.devices);
    QCOMPARE(r.map()->rowCount(), 1);
}

void TstMapEditor::compareAndCheck()
{
    MapTableModel map;
    map.addRow(1, "swa30001", "99000000101", "switch3a");
    map.addRow(3, "dim10001", "99000000102", "dimmer1c");
    map.addRow(255, "gw7f0001", "99000000002", "gateway");
    QCOMPARE(map.compare({"dim10001", "nope0001", "swa30001"}), QVector<int>({1, -1, 0}));
    QVERIFY(map.check().clean());
    map.setText(1, MapTableModel::Address, "1");
    const MapCheck::Result r = map.check();
    QCOMPARE(r.errors.size(), 1);
    QVERIFY(r.errors[0].contains(QString::fromUtf8("地址1被多个设备使用")));
}

void TstMapEditor::compareWithDeviceList()
{
    {
        EditorRig r;
        r.editor.compareWith(r.devices);
        QCOMPARE(m_dialogs.seen.last().text,
                 QString::fromUtf8("无设备!!请先获取网关中设备列表+获取modbus地址配置\n"));

        r.devices.addRow(1, "swa30001", "99000000101");
        r.devices.addRow(2, "dim10001", "99000000102");
        r.map()->addRow(255, "gw7f0001", "99000000002", "gateway");
        r.map()->addRow(1, "swa30001", "99000000101", "switch3a");
        m_dialogs.seen.clear();
        r.editor.compareWith(r.devices);
        QStandardItem *mapped = r.devices.model()->item(0, 1);
        QStandardItem *missing = r.devices.model()->item(1, 1);
        QCOMPARE(mapped->font().weight(), 50);
        QCOMPARE(mapped->textAlignment(), Qt::AlignLeft | Qt::AlignVCenter);
        QCOMPARE(missing->font().weight(), 75);
        QCOMPARE(missing->textAlignment(), Qt::AlignRight | Qt::AlignVCenter);
        QCOMPARE(m_dialogs.seen.size(), 1);
        QCOMPARE(m_dialogs.seen[0].title, QString("Warn"));

        // Once mapped, the bold cell goes back to normal and only "Info" shows.
        r.map()->addRow(2, "dim10001", "99000000102", "dimmer1c");
        m_dialogs.seen.clear();
        r.editor.compareWith(r.devices);
        QCOMPARE(missing->font().weight(), 50);
        QCOMPARE(m_dialogs.seen.size(), 1);
        QCOMPARE(m_dialogs.seen[0].kind, DialogSeam::Information);
        QCOMPARE(m_dialogs.seen[0].title, QString("Info"));
    }

    // All devices are mapped, but the map is not fit for the gateway: both are said.
    EditorRig r;
    r.devices.addRow(1, "swa30001", "99000000101");
    r.map()->addRow(3, "swa30001", "99000000101", "switch3a");
    r.map()->addRow(3, "swa30001", "99000000101", "switch3a");
    m_dialogs.seen.clear();
    r.editor.compareWith(r.devices);
    QCOMPARE(m_dialogs.seen.size(), 2);
    QCOMPARE(m_dialogs.seen[0].title, QString("Info"));
    QCOMPARE(m_dialogs.seen[1].title, QString("Warn"));
    QVERIFY(m_dialogs.seen[1].text.startsWith(QString::fromUtf8("modbus地址映射表有错误:\n")));
    QVERIFY(m_dialogs.seen[1].text.contains(QString::fromUtf8("地址3被多个设备使用")));
    QVERIFY(m_dialogs.seen[1].text.contains(QString::fromUtf8("设备swa30001被映射了2次")));
    QVERIFY(m_dialogs.seen[1].text.contains(QString::fromUtf8("没有地址255(网关本身)")));

    // A batch map of a list without the gateway, the gateway unknown: not a
    // mere hint about unit 0, an error about unit 255.
    r.map()->mapAll(r.devices.devices());
    m_dialogs.seen.clear();
    r.editor.compareWith(r.devices);
    QCOMPARE(m_dialogs.seen.size(), 2);
    QVERIFY2(m_dialogs.seen[1].text.startsWith(QString::fromUtf8("modbus地址映射表有错误:\n映射表中没有地址255")),
             qPrintable(m_dialogs.seen[1].text));
    QVERIFY(m_dialogs.seen[1].text.contains(QString::fromUtf8("地址0")));
}

void TstMapEditor::installAsksWithoutGateway()
{
    EditorRig r;
    r.map()->addRow(1, "swa30001", "99000000101", "switch3a");
    // No unit 255: asked, cautiously ("否" is the safe answer), with the reason.
    m_dialogs.proceed = false;
    QVERIFY(!r.editor.fitForInstall());
    QCOMPARE(m_dialogs.seen.size(), 1);
    QCOMPARE(m_dialogs.seen[0].kind, DialogSeam::Confirm);
    QVERIFY(m_dialogs.seen[0].cautious);
    QCOMPARE(m_dialogs.seen[0].title, QString::fromUtf8("modbus地址映射表有错误"));
    QVERIFY(m_dialogs.seen[0].text.startsWith(QString::fromUtf8("映射表中没有地址255(网关本身)")));
    QVERIFY(m_dialogs.seen[0].text.endsWith(QString::fromUtf8("\n是否仍然下发?")));
    QCOMPARE(m_dialogs.seen[0].okText, QString::fromUtf8("仍然下发"));
    m_dialogs.proceed = true;
    QVERIFY(r.editor.fitForInstall());
}

void TstMapEditor::removeMapping()
{
    EditorRig r;
    r.map()->addRow(1, "a0000001", "99000000101", "switch3a");
    r.map()->addRow(2, "a0000002", "99000000102", "dimmer1c");
    r.editor.removeCurrentRow();  // no current row: nothing
    QVERIFY(m_dialogs.seen.isEmpty());
    r.mapView.setCurrentIndex(r.map()->index(0, 0));
    m_dialogs.proceed = false;
    r.editor.removeCurrentRow();
    QCOMPARE(r.map()->rowCount(), 2);
    QCOMPARE(m_dialogs.seen[0].okText, QString::fromUtf8("删除"));
    // A double-click on the address is for editing it; on another column it asks to remove.
    emit r.mapView.doubleClicked(r.map()->index(0, MapTableModel::Address));
    QCOMPARE(m_dialogs.seen.size(), 1);
    emit r.mapView.doubleClicked(r.map()->index(0, MapTableModel::Model));
    QCOMPARE(m_dialogs.seen.size(), 2);
    QCOMPARE(r.map()->rowCount(), 2);
    m_dialogs.proceed = true;
    r.editor.removeCurrentRow();
    QCOMPARE(r.map()->rowCount(), 1);
    QCOMPARE(r.map()->text(0, 1), QString("a0000002"));
}

void TstMapEditor::writeAndReadMapJson()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("map.json");
    MapTableModel w;
    w.addRow(255, "gw7f0001", "99000000002", "gateway");
    w.addRow(-1, "swa30001", "99000000101", QString::fromUtf8("开关"));
    w.addRow(3, "dim10001", "99000000102", "dimmer1c");
    w.setText(2, 0, "abc");  // typed by the engineer
    QFile::remove(path);
    {
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(10000, 'x'));  // replaced, not overwritten in place
    }
    QVERIFY(w.write(path));

    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray text = f.readAll();
    f.close();
    QVERIFY(text.contains("\n    \"nodes\": ["));  // indented form
    const QJsonObject root = QJsonDocument::fromJson(text).object();
    QCOMPARE(root.keys(), QStringList({"nodes", "profile"}));
    QCOMPARE(root["profile"].toObject()["name"].toString(),
             QString::fromUtf8("modbus服务使用的设备地址配置"));
    QCOMPARE(root["profile"].toObject()["version"].toString(), QString("1.0"));
    const QJsonArray nodes = root["nodes"].toArray();
    QCOMPARE(nodes.size(), 3);
    QCOMPARE(nodes[0].toObject().keys(), QStringList({"devtype", "mb_id", "mqtt_dk", "sntype"}));
    QCOMPARE(nodes[0].toObject()["mb_id"].toInt(), 255);
    QCOMPARE(nodes[1].toObject()["mb_id"].toInt(), -1);
    QCOMPARE(nodes[1].toObject()["devtype"].toString(), QString::fromUtf8("开关"));
    QCOMPARE(nodes[2].toObject()["mb_id"].toInt(), 0);

    // Read back into an empty map: same rows.
    MapTableModel w2;
    QCOMPARE(w2.load(path), 0);
    QCOMPARE(w2.rowCount(), 3);
    QCOMPARE(w2.text(0, 0), QString("255"));
    QCOMPARE(w2.text(1, 3), QString::fromUtf8("开关"));
    QCOMPARE(w2.text(2, 0), QString("0"));

    // A node without mb_id shows -1; an RTU node shows empty columns and is
    // written back without its rtutype.
    QFile in(path);
    QVERIFY(in.open(QIODevice::WriteOnly | QIODevice::Truncate));
    in.write("{\"nodes\":[{\"mqtt_dk\":\"k1\",\"sntype\":\"99000000101\"},"
             "{\"mb_id\":12,\"rtutype\":\"meter3p\"}, 5, {\"mb_id\":\"7\",\"name\":\"n\"}]}");
    in.close();
    MapTableModel w3;
    QCOMPARE(w3.load(path), 0);
    QCOMPARE(w3.rowCount(), 3);
    QCOMPARE(w3.text(0, 0), QString("-1"));
    QCOMPARE(w3.text(1, 0), QString("12"));
    QCOMPARE(w3.text(1, 1), QString());
    QCOMPARE(w3.text(2, 0), QString("-1"));
    QVERIFY(w3.write(path));
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QJsonArray back = QJsonDocument::fromJson(f.readAll()).object()["nodes"].toArray();
    QCOMPARE(back[1].toObject().keys(), QStringList({"devtype", "mb_id", "mqtt_dk", "sntype"}));
    QCOMPARE(back[1].toObject()["mqtt_dk"].toString(), QString());

    // An unwritable path fails and says why.
    QString err;
    QVERIFY(!w3.write(dir.filePath("no/such/dir/map.json"), &err));
    QVERIFY(!err.isEmpty());
}

void TstMapEditor::readMapJsonErrors()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("map.json");
    const QList<QPair<QByteArray, int>> cases = {
        {"{\"nodes\":[", 1}, {"", 1}, {"[1,2]", 2}, {"{\"profile\":{}}", 3}, {"{\"nodes\":{}}", 4}};
    for (const auto &c : cases) {
        writeFile(path, c.first);
        MapTableModel map;
        map.addRow(1, "keep0001", "99000000101", "switch3a");
        map.setSaved();
        QCOMPARE(map.load(path), c.second);
        QCOMPARE(map.rowCount(), 1);
        QCOMPARE(map.text(0, MapTableModel::DeviceKey), QString("keep0001"));
    }
    // The editor says which error it was and keeps its table.
    EditorRig r;
    r.map()->addRow(1, "keep0001", "99000000101", "switch3a");
    QVERIFY(!r.editor.read(path));
    QCOMPARE(r.map()->rowCount(), 1);
    QCOMPARE(m_dialogs.seen.size(), 1);
    QCOMPARE(m_dialogs.seen[0].text, QString::fromUtf8("获取到的设备modbus地址配置文件 解析错误4!"));
}

void TstMapEditor::modifiedFlag()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("map.json");
    MapTableModel map;
    QSignalSpy changed(&map, &MapTableModel::modifiedChanged);
    QVERIFY(!map.isModified());
    map.addRow(4, "dev4", "99000000101", "sw", QString::fromUtf8("大堂灯"));
    QVERIFY(map.isModified());
    map.addRow(5, "dev5", "99000000102", "dim");
    QCOMPARE(changed.size(), 1);  // said once, not per edit
    // Writing is not saving: an install marks it saved only once it is confirmed.
    QVERIFY(map.write(path));
    QVERIFY(map.isModified());
    map.setSaved();
    QVERIFY(!map.isModified());
    QCOMPARE(changed.size(), 2);
    QCOMPARE(changed.last().at(0).toBool(), false);
    // The same text again is no edit; another text, or a row removed, is.
    QVERIFY(map.setData(map.index(0, 0), "4"));
    QVERIFY(!map.isModified());
    QVERIFY(map.setData(map.index(0, 0), "6"));
    QVERIFY(map.isModified());
    map.setSaved();
    QVERIFY(map.removeRow(1));
    QVERIFY(map.isModified());
    // Loading replaces the rows and counts as saved; the name comes back.
    QCOMPARE(map.load(path), 0);
    QVERIFY(!map.isModified());
    QCOMPARE(map.rowCount(), 2);
    QCOMPARE(map.row(0).name, QString::fromUtf8("大堂灯"));
    QCOMPARE(map.text(0, MapTableModel::Address), QString("4"));
    QCOMPARE(map.headerData(0, Qt::Horizontal).toString(), QString::fromUtf8("地址"));
    QCOMPARE(map.headerData(3, Qt::Horizontal).toString(), QString::fromUtf8("型号"));
}

void TstMapEditor::mapChecks_data()
{
    QTest::addColumn<QStringList>("rows");  // "address|key|product code"
    QTest::addColumn<int>("errors");
    QTest::addColumn<int>("risks");
    QTest::addColumn<int>("warnings");
    QTest::addColumn<QString>("mentions");
    const QString gw = "99000000002";
    const QString g = "255|g|" + gw;
    QTest::newRow("clean") << QStringList{"1|a|x", "247|b|x", g} << 0 << 0 << 0 << "";
    QTest::newRow("empty map") << QStringList{} << 0 << 0 << 1 << QString::fromUtf8("映射表为空");
    QTest::newRow("no gateway") << QStringList{"1|a|x"} << 0 << 1 << 0 << QString::fromUtf8("没有地址255");
    // 255 held by another device: that error, not a second one about 255 missing.
    QTest::newRow("255 for a device") << QStringList{"255|a|x"} << 1 << 0 << 0 << "255";
    QTest::newRow("unit 0 only warned") << QStringList{"0|a|x", "1|b|x", g} << 0 << 0 << 1 << QString::fromUtf8("地址0");
    QTest::newRow("unassigned") << QStringList{"-1|a|x", g} << 1 << 0 << 0 << QString::fromUtf8("未分配");
    QTest::newRow("two unassigned are not a duplicate") << QStringList{"-1|a|x", "-1|b|x", g} << 2 << 0 << 0 << "";
    QTest::newRow("248") << QStringList{"248|a|x", g} << 1 << 0 << 0 << "248";
    QTest::newRow("negative") << QStringList{"-7|a|x", g} << 1 << 0 << 0 << "-7";
    QTest::newRow("not a number") << QStringList{"abc|a|x", g} << 1 << 0 << 0 << "abc";
    QTest::newRow("duplicate unit") << QStringList{"5|a|x", "5|b|x", g} << 1 << 0 << 0 << "a, b";
    QTest::newRow("gateway twice") << QStringList{g, "255|h|" + gw} << 1 << 0 << 0 << "g, h";
    // A device list fetched twice and batch-mapped: every device twice.
    QTest::newRow("device mapped twice") << QStringList{"1|a|x", "2|b|x", "3|a|x", "4|b|x", g} << 2 << 0 << 0 << "1, 3";
}

void TstMapEditor::mapChecks()
{
    QFETCH(QStringList, rows);
    QFETCH(int, errors);
    QFETCH(int, risks);
    QFETCH(int, warnings);
    QFETCH(QString, mentions);
    QVector<MapCheck::Row> in;
    for (const QString &r : rows) {
        const QStringList f = r.split('|');
        in.append({f[0], f[1], f[2]});
    }
    const MapCheck::Result res = MapCheck::check(in);
    const QString all = (res.errors + res.risks + res.warnings).join('|');
    QVERIFY2(res.errors.size() == errors, qPrintable(all));
    QVERIFY2(res.risks.size() == risks, qPrintable(all));
    QVERIFY2(res.warnings.size() == warnings, qPrintable(all));
    if (!mentions.isEmpty())
        QVERIFY2(all.contains(mentions), qPrintable(all));
}

void TstMapEditor::openSaveAndUnsavedEdits()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("site.json");
    writeFile(path, kSiteJson);
    EditorRig r;
    QSignalSpy status(&r.editor, &AddressMapEditor::statusText);
    QVERIFY(r.editor.open(path));
    QCOMPARE(r.map()->rowCount(), 2);
    QVERIFY(!r.map()->isModified());
    QCOMPARE(status.last().at(0).toString(), QString::fromUtf8("已打开") + path);
    QVERIFY(m_dialogs.seen.isEmpty());  // nothing unsaved: not asked

    // After an edit, opening another file asks first; "否" keeps the edit.
    r.map()->setText(1, 0, "6");
    QVERIFY(r.map()->isModified());
    m_dialogs.proceed = false;
    QVERIFY(!r.editor.open(path));
    QCOMPARE(m_dialogs.seen.last().title, QString::fromUtf8("modbus地址映射表未保存"));
    QCOMPARE(r.map()->text(1, 0), QString("6"));

    // Saved: no longer modified, the node's name survives the round trip.
    const QString out = dir.filePath("out/map.json");
    m_dialogs.seen.clear();
    QVERIFY(!r.editor.save(out));  // no such folder: said, still unsaved
    QCOMPARE(m_dialogs.seen.size(), 1);
    QVERIFY(m_dialogs.seen[0].text.startsWith(QString::fromUtf8("保存modbus地址映射表失败 ") + out));
    QVERIFY(r.map()->isModified());
    QVERIFY(r.editor.save(dir.filePath("map.json")));
    QVERIFY(!r.map()->isModified());
    QCOMPARE(status.last().at(0).toString(), QString::fromUtf8("已保存") + dir.filePath("map.json"));
    QFile f(dir.filePath("map.json"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QJsonArray nodes = QJsonDocument::fromJson(f.readAll()).object().value("nodes").toArray();
    QCOMPARE(nodes.size(), 2);
    QCOMPARE(nodes[0].toObject().value("name").toString(), QString::fromUtf8("大堂灯"));
    QVERIFY(!nodes[1].toObject().contains("name"));
    QCOMPARE(nodes[1].toObject().value("mb_id").toInt(), 6);

    // Closing with unsaved edits asks; only a saved map or "退出" lets go.
    QVERIFY(r.editor.mayClose());
    r.map()->setText(0, 0, "7");
    m_dialogs.seen.clear();
    m_dialogs.proceed = false;
    QVERIFY(!r.editor.mayClose());
    QCOMPARE(m_dialogs.seen.size(), 1);
    QCOMPARE(m_dialogs.seen[0].title, QString::fromUtf8("modbus地址映射表未保存"));
    m_dialogs.proceed = true;
    QVERIFY(r.editor.mayClose());
}

namespace {
// Columns narrower than a cell's text show it cut ("2…"); "" when all fit.
QString narrowColumns(QTableView &view)
{
    QString narrow;
    auto &v = static_cast<QAbstractItemView &>(view);  // its size hint is public there
    for (int c = 0; c < view.model()->columnCount(); ++c) {
        if (view.columnWidth(c) < v.sizeHintForColumn(c))
            narrow += QString(" %1: %2 < %3").arg(c).arg(view.columnWidth(c)).arg(v.sizeHintForColumn(c));
    }
    return narrow;
}
} // namespace

void TstMapEditor::columnsFitAfterLoads()
{
    QTemporaryDir dir;
    const QString small = dir.filePath("small.json"), wide = dir.filePath("wide.json");
    writeFile(small, R"({"nodes":[{"devtype":"a","mb_id":1,"mqtt_dk":"k","sntype":"1"}]})");
    writeFile(wide, R"({"nodes":[{"devtype":"a","mb_id":1,"mqtt_dk":"k","sntype":"1"},)"
                    R"({"devtype":"gateway-of-the-third-floor","mb_id":2550000,"mqtt_dk":"gw7f0001gw7f0001",)"
                    R"("sntype":"99000000002"}]})");
    EditorRig r;
    r.parent.resize(700, 500);
    r.mapView.resize(680, 240);
    r.devView.setGeometry(0, 250, 680, 240);
    r.parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&r.parent));

    // Each load after a narrow one: opened (and fetched, which reads the same way), batch-mapped.
    QVERIFY(r.editor.open(small));
    QVERIFY(r.editor.open(wide));
    QVERIFY2(narrowColumns(r.mapView).isEmpty(), qPrintable("open:" + narrowColumns(r.mapView)));
    QVERIFY(r.editor.open(small));
    r.devices.replace({{1, "k", "99000000101"}});
    QVERIFY2(narrowColumns(r.devView).isEmpty(), qPrintable("list:" + narrowColumns(r.devView)));
    // The gateway's list replaced by a wider one.
    r.devices.replace({{1, "averyveryverylongdevicekey01", "99000000101"}, {2, "b", "12345678901"}});
    QVERIFY2(narrowColumns(r.devView).isEmpty(), qPrintable("replace:" + narrowColumns(r.devView)));
    r.editor.mapAll(r.devices);
    QCOMPARE(r.map()->rowCount(), 2);
    QVERIFY2(narrowColumns(r.mapView).isEmpty(), qPrintable("batch map:" + narrowColumns(r.mapView)));
}

QTEST_MAIN(TstMapEditor)
#include "tst_mapeditor.moc"

// needs: namespace
// The Modbus test panel: its form, settings and write table, and reads and
// writes against pymodbus's own server (mbserver.py beside this file) on
// loopback inside the test's private network namespace.
#include "dialogseam.h"
#include "elidedlabel.h"
#include "mainwindow.h"
#include "modbusasswidget.h"
#include "peerrunner.h"
#include "registervalueformat.h"
#include "settingsdialog.h"
#include "writeregistermodel.h"

#include <QComboBox>
#include <QDialog>
#include <QListWidget>
#include <QLineEdit>
#include <QModbusClient>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QStandardItemModel>
#include <QTableView>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextEdit>
#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QtTest>

namespace {
const quint16 kServerPort = 5020;
// Longest wait for an answer: pymodbus on a loaded machine may be slow to reply.
const int kWaitMs = 10000;

// Drives one panel through its controls, as an engineer would.
struct Panel {
    ModbusAssWidget *w;
    template <typename T> T *get(const char *name) const
    {
        T *c = w->findChild<T *>(name);
        if (!c)
            qFatal("no control %s", name);
        return c;
    }
    void setType(int index) { get<QComboBox>("writeTable")->setCurrentIndex(index); }
    void setRead(int unit, int start, int count)
    {
        get<QSpinBox>("serverEdit")->setValue(unit);
        get<QSpinBox>("readAddress")->setValue(start);
        get<QSpinBox>("readSize")->setValue(count);
    }
    QStringList results() const
    {
        QStringList out;
        auto *list = get<QListWidget>("readValue");
        for (int i = 0; i < list->count(); ++i)
            out << list->item(i)->text();
        return out;
    }
    QString recv() const { return get<QTextEdit>("mbRcvTxt")->toPlainText(); }
    QString state() const { return get<ElidedLabel>("connectionStateLabel")->fullText(); }
    QString log() const { return get<QPlainTextEdit>("mbLog")->toPlainText(); }
    // The panel as the engineer's current window: only then may it open boxes.
    bool inUse()
    {
        w->show();
        w->activateWindow();
        return QTest::qWaitForWindowActive(w);
    }
    // What can send a request, as enabled or not.
    QList<bool> senders() const
    {
        return {get<QPushButton>("readButton")->isEnabled(), get<QPushButton>("readDirectBtn")->isEnabled(),
                get<QCheckBox>("pollCheck")->isEnabled(), get<QPushButton>("writeButton")->isEnabled()};
    }
    void click(const char *name) { get<QPushButton>(name)->click(); }
    bool connectTcp(const QString &hostPort)
    {
        get<QComboBox>("connectType")->setCurrentIndex(1);
        get<QLineEdit>("portEdit")->setText(hostPort);
        click("connectButton");
        return QTest::qWaitFor([this]() { return w->modbusClient()->state() == QModbusDevice::ConnectedState; },
                               kWaitMs);
    }
};

QString line(int address, const QString &value)
{
    return QString("Address: %1, Value: %2").arg(address).arg(value);
}

// The main window with its panel tab current, as the engineer's active window.
struct PanelTab {
    MainWindow mw;
    QTabWidget *tabs = mw.findChild<QTabWidget *>("workTabWidget");
    ModbusAssWidget *w = mw.findChild<ModbusAssWidget *>();
    QWidget *upgradeTab = mw.findChild<QWidget *>("tab");  // 程序升级
    bool show()
    {
        tabs->setCurrentWidget(w);
        mw.show();
        mw.activateWindow();
        return QTest::qWaitForWindowActive(&mw);
    }
};
} // namespace

class TstModbusPanel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup() { DialogSeam::setResponder(nullptr); }

    void formAtStart();
    void settingsDialog();
    void writeModel();
    void writeSizeLimits();
    void readBitsAndRegisters();
    void writeCoilsAndRegisters();
    void exceptionShownWithCode();
    void writeBeyondTableRefused();
    void connectionFailuresInStateLine();
    void noAnswerShownOnce();
    void serialPortMissing();
    void formatsShownAndCopied();
    void writeFunctionChoice();
    void pollCountsAnswersAndExceptions();
    void pollCountsTimeouts();
    void unitZeroAndGatewayHost();
    void ownRepliesBoxedOnlyWhileInUse();

private:
    PeerRunner::Background m_server;
    QList<DialogSeam::Request> m_dialogs;
};

void TstModbusPanel::initTestCase()
{
    const QString script = QFileInfo(QString::fromUtf8(__FILE__)).absolutePath() + "/mbserver.py";
    QVERIFY2(QFileInfo::exists(script), qPrintable(script));
    QVERIFY(m_server.start("/usr/bin/python3", {script, QString::number(kServerPort)}));
    // Up once it accepts a connection (the interpreter needs a moment).
    bool up = false;
    for (int i = 0; i < 50 && !up; ++i) {
        QTcpSocket probe;
        probe.connectToHost("127.0.0.1", kServerPort);
        up = probe.waitForConnected(200);
        if (!up)
            QTest::qWait(100);
    }
    QVERIFY2(up, "pymodbus server did not start");
}

void TstModbusPanel::cleanupTestCase()
{
    m_server.stop();
}

void TstModbusPanel::init()
{
    m_dialogs.clear();
    DialogSeam::setResponder([this](const DialogSeam::Request &r) {
        m_dialogs.append(r);
        return true;
    });
}

void TstModbusPanel::formAtStart()
{
    ModbusAssWidget w;
    Panel p{&w};
    // Starts on serial with an RTU master, coils selected, only the coil column shown.
    QCOMPARE(p.get<QComboBox>("connectType")->currentText(), QString::fromUtf8("串口"));
    QVERIFY(w.modbusClient()->inherits("QModbusRtuSerialMaster"));
    QCOMPARE(p.get<QPushButton>("connectButton")->text(), QString::fromUtf8("连接"));
    auto *view = p.get<QTableView>("writeValueTable");
    QVERIFY(!view->isColumnHidden(1));
    QVERIFY(view->isColumnHidden(2));
    QVERIFY(!p.get<QPushButton>("writeDirectBtn")->isEnabled());
    QCOMPARE(p.get<QComboBox>("writeSize")->count(), 123);
    QCOMPARE(p.get<QComboBox>("writeSize")->currentText(), QString("1"));

    // TCP fills in the service's address; switching back gives a new RTU master.
    p.get<QComboBox>("connectType")->setCurrentIndex(1);
    QVERIFY(w.modbusClient()->inherits("QModbusTcpClient"));
    QCOMPARE(p.get<QLineEdit>("portEdit")->text(), QString("127.0.0.1:502"));
    p.get<QComboBox>("connectType")->setCurrentIndex(0);
    QVERIFY(w.modbusClient()->inherits("QModbusRtuSerialMaster"));

    // Discrete inputs and input registers cannot be written.
    p.setType(1);
    QVERIFY(!p.get<QWidget>("writeGroupBox")->isEnabled());
    p.setType(2);
    QVERIFY(!p.get<QWidget>("writeGroupBox")->isEnabled());
    p.setType(3);
    QVERIFY(p.get<QWidget>("writeGroupBox")->isEnabled());
    QVERIFY(view->isColumnHidden(1));
    QVERIFY(!view->isColumnHidden(2));
    QVERIFY(!p.get<QPushButton>("writeDirectBtn")->isEnabled());
    QVERIFY(m_dialogs.isEmpty());
}

void TstModbusPanel::settingsDialog()
{
    SettingsDialog d;
    QCOMPARE(d.windowTitle(), QString::fromUtf8("Modbus设置"));
    SettingsDialog::Settings s = d.settings();
    QCOMPARE(s.parity, 2);
    QCOMPARE(s.baud, 19200);
    QCOMPARE(s.dataBits, 8);
    QCOMPARE(s.stopBits, 1);
    QCOMPARE(s.responseTime, 1000);
    QCOMPARE(s.numberOfRetries, 3);
    auto *parity = d.findChild<QComboBox *>("parityCombo");
    QCOMPARE(parity->currentIndex(), 1);
    QCOMPARE(d.findChild<QComboBox *>("baudCombo")->currentText(), QString("19200"));
    QCOMPARE(d.findChild<QSpinBox *>("timeoutSpinner")->suffix(), QString(" ms"));

    // Apply reads the controls: parity index n > 0 is parity value n + 1.
    d.show();
    parity->setCurrentIndex(0);
    d.findChild<QComboBox *>("baudCombo")->setCurrentText("115200");
    d.findChild<QComboBox *>("stopBitsCombo")->setCurrentText("3");
    d.findChild<QSpinBox *>("retriesSpinner")->setValue(0);
    d.findChild<QPushButton *>("applyButton")->click();
    QVERIFY(!d.isVisible());
    s = d.settings();
    QCOMPARE(s.parity, 0);
    QCOMPARE(s.baud, 115200);
    QCOMPARE(s.stopBits, 3);
    QCOMPARE(s.numberOfRetries, 0);
    parity->setCurrentIndex(4);  // mark
    d.findChild<QPushButton *>("applyButton")->click();
    QCOMPARE(d.settings().parity, 5);
}

void TstModbusPanel::writeModel()
{
    WriteRegisterModel m;
    QCOMPARE(m.rowCount(), 123);
    QCOMPARE(m.columnCount(), 3);
    QCOMPARE(m.headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), QString("#"));
    QCOMPARE(m.headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(), QString("Coils  "));
    QCOMPARE(m.headerData(2, Qt::Horizontal, Qt::DisplayRole).toString(), QString("Holding Registers"));
    QCOMPARE(m.data(m.index(122, 0), Qt::DisplayRole).toString(), QString("122"));
    QCOMPARE(m.data(m.index(5, 2), Qt::DisplayRole).toString(), QString("0x0"));

    // Registers are edited as hexadecimal, with or without 0x; bad text keeps the value.
    QVERIFY(m.setData(m.index(5, 2), "1a2B", Qt::EditRole));
    QCOMPARE(m.holdingRegister(5), quint16(0x1a2b));
    QCOMPARE(m.data(m.index(5, 2), Qt::DisplayRole).toString(), QString("0x1a2b"));
    QVERIFY(m.setData(m.index(5, 2), "0xffff", Qt::EditRole));
    QCOMPARE(m.holdingRegister(5), quint16(0xffff));
    QVERIFY(!m.setData(m.index(5, 2), "10000", Qt::EditRole));
    QVERIFY(!m.setData(m.index(5, 2), "zz", Qt::EditRole));
    QCOMPARE(m.holdingRegister(5), quint16(0xffff));

    QVERIFY(m.setData(m.index(7, 1), Qt::Checked, Qt::CheckStateRole));
    QVERIFY(m.coil(7));
    QCOMPARE(m.data(m.index(7, 1), Qt::CheckStateRole).toInt(), int(Qt::Checked));
    QVERIFY(m.setData(m.index(7, 1), Qt::Unchecked, Qt::CheckStateRole));
    QVERIFY(!m.coil(7));

    // Only rows of the write range are enabled.
    QSignalSpy repaint(&m, &WriteRegisterModel::updateViewport);
    m.setStartAddress(10);
    m.setNumberOfValues("3");
    QCOMPARE(repaint.count(), 2);
    QVERIFY(!(m.flags(m.index(9, 1)) & Qt::ItemIsEnabled));
    QVERIFY(m.flags(m.index(10, 1)) & Qt::ItemIsEnabled);
    QVERIFY(m.flags(m.index(12, 2)) & Qt::ItemIsEnabled);
    QVERIFY(m.flags(m.index(12, 2)) & Qt::ItemIsEditable);
    QVERIFY(m.flags(m.index(12, 1)) & Qt::ItemIsUserCheckable);
    QVERIFY(!(m.flags(m.index(13, 2)) & Qt::ItemIsEnabled));
}

void TstModbusPanel::writeSizeLimits()
{
    ModbusAssWidget w;
    Panel p{&w};
    auto *size = p.get<QComboBox>("writeSize");
    auto *items = qobject_cast<QStandardItemModel *>(size->model());
    size->setCurrentIndex(9);  // 10 values
    p.get<QSpinBox>("writeAddress")->setValue(120);
    QVERIFY(items->item(2)->isEnabled());
    QVERIFY(!items->item(3)->isEnabled());
    QCOMPARE(size->currentText(), QString("3"));  // the last count still allowed
    QCOMPARE(w.writeModel()->startAddress(), 120);
    QCOMPARE(w.writeModel()->numberOfValues(), 3);
    p.get<QSpinBox>("writeAddress")->setValue(1);
    QVERIFY(items->item(121)->isEnabled());
    QVERIFY(!items->item(122)->isEnabled());
    QCOMPARE(size->currentText(), QString("3"));
}

void TstModbusPanel::readBitsAndRegisters()
{
    ModbusAssWidget w;
    Panel p{&w};
    QVERIFY(p.connectTcp(QString("127.0.0.1:%1").arg(kServerPort)));
    QCOMPARE(p.get<QPushButton>("connectButton")->text(), QString::fromUtf8("断开"));

    p.setType(0);  // coils: a % 3 == 0
    p.setRead(7, 1, 6);
    p.click("readButton");
    QTRY_COMPARE_WITH_TIMEOUT(p.results().size(), 6, kWaitMs);
    QCOMPARE(p.results(), QStringList({line(1, "0"), line(2, "0"), line(3, "1"), line(4, "0"),
                                        line(5, "0"), line(6, "1")}));
    QCOMPARE(p.recv(), QString("01 01 24 "));  // bits 3 and 6 of the six

    p.setType(1);  // discrete inputs: a % 2 == 1
    p.setRead(7, 4, 3);
    p.click("readButton");
    QTRY_COMPARE_WITH_TIMEOUT(p.results().size(), 3, kWaitMs);
    QCOMPARE(p.results(), QStringList({line(4, "0"), line(5, "1"), line(6, "0")}));

    p.setType(3);  // holding registers: 0x1000 + a, shown in hexadecimal
    p.setRead(7, 1, 2);
    p.click("readButton");
    QTRY_COMPARE_WITH_TIMEOUT(p.results().size(), 2, kWaitMs);
    QCOMPARE(p.results(), QStringList({line(1, "0x1001"), line(2, "0x1002")}));
    QCOMPARE(p.recv(), QString("03 04 10 01 10 02 "));

    // The direct read asks for address + 1000 and names those addresses.
    p.click("readDirectBtn");
    QTRY_COMPARE_WITH_TIMEOUT(p.results().size(), 2, kWaitMs);
    QCOMPARE(p.results(), QStringList({line(1001, "0x13e9"), line(1002, "0x13ea")}));

    // Counts are cut so a read ends below the direct range; 1000 itself reads one value.
    p.setType(2);  // input registers: 0x2000 + a
    p.setRead(7, 995, 10);
    p.click("readButton");
    QTRY_COMPARE_WITH_TIMEOUT(p.results().size(), 5, kWaitMs);
    QCOMPARE(p.results().last(), line(999, "0x23e7"));
    p.setRead(7, 1000, 10);
    p.click("readButton");
    QTRY_COMPARE_WITH_TIMEOUT(p.results().size(), 1, kWaitMs);
    QCOMPARE(p.results().first(), line(1000, "0x23e8"));
    QVERIFY2(m_dialogs.isEmpty(), qPrintable(m_dialogs.value(0).text));

    p.click("connectButton");
    QTRY_COMPARE_WITH_TIMEOUT(p.get<QPushButton>("connectButton")->text(), QString::fromUtf8("连接"), kWaitMs);
}

void TstModbusPanel::writeCoilsAndRegisters()
{
    ModbusAssWidget w;
    Panel p{&w};
    QVERIFY(p.connectTcp(QString("127.0.0.1:%1").arg(kServerPort)));
    WriteRegisterModel *m = w.writeModel();

    // Coils 11 (was 0) and 12 (was 1) flipped from the table's rows 11 and 12.
    p.setType(0);
    p.get<QSpinBox>("writeAddress")->setValue(11);
    p.get<QComboBox>("writeSize")->setCurrentText("2");
    m->setData(m->index(11, 1), Qt::Checked, Qt::CheckStateRole);
    m->setData(m->index(12, 1), Qt::Unchecked, Qt::CheckStateRole);
    p.click("writeButton");
    QTRY_VERIFY_WITH_TIMEOUT(!p.recv().isEmpty(), kWaitMs);
    QCOMPARE(p.recv(), QString("0f 00 0b 00 02 "));  // the server's echo: address 11, 2 coils
    p.setRead(1, 10, 4);
    p.click("readButton");
    QTRY_COMPARE_WITH_TIMEOUT(p.results().size(), 4, kWaitMs);
    QCOMPARE(p.results(), QStringList({line(10, "0"), line(11, "1"), line(12, "0"), line(13, "0")}));

    // Holding registers 40 and 41.
    p.setType(3);
    p.get<QSpinBox>("writeAddress")->setValue(40);
    m->setData(m->index(40, 2), "beef", Qt::EditRole);
    m->setData(m->index(41, 2), "0x0012", Qt::EditRole);
    p.click("writeButton");
    QTRY_VERIFY_WITH_TIMEOUT(p.recv().startsWith("10 00 28 00 02"), kWaitMs);
    p.setRead(1, 39, 4);
    p.click("readButton");
    QTRY_COMPARE_WITH_TIMEOUT(p.results().size(), 4, kWaitMs);
    QCOMPARE(p.results(), QStringList({line(39, "0x1027"), line(40, "0xbeef"), line(41, "0x12"),
                                        line(42, "0x102a")}));
    QVERIFY2(m_dialogs.isEmpty(), qPrintable(m_dialogs.value(0).text));
}

void TstModbusPanel::exceptionShownWithCode()
{
    ModbusAssWidget w;
    Panel p{&w};
    QVERIFY(p.inUse());
    QVERIFY(p.connectTcp(QString("127.0.0.1:%1").arg(kServerPort)));

    // Past the server's 1100 registers: illegal data address, one box saying so.
    p.setType(3);
    p.setRead(1, 200, 2);
    p.click("readDirectBtn");
    QTRY_COMPARE_WITH_TIMEOUT(m_dialogs.size(), 1, kWaitMs);
    QCOMPARE(m_dialogs[0].title, QString("warning"));
    QVERIFY2(m_dialogs[0].text.startsWith("Read response error: "), qPrintable(m_dialogs[0].text));
    QVERIFY2(m_dialogs[0].text.endsWith(QString::fromUtf8("(Mobus exception: 0x2 非法数据地址)")), qPrintable(m_dialogs[0].text));
    QCOMPARE(p.recv(), QString("83 02 "));
    QVERIFY(p.results().isEmpty());
    QTest::qWait(200);
    QCOMPARE(m_dialogs.size(), 1);
    QCOMPARE(w.modbusClient()->state(), QModbusDevice::ConnectedState);  // still usable
}

void TstModbusPanel::writeBeyondTableRefused()
{
    ModbusAssWidget w;
    Panel p{&w};
    QVERIFY(p.inUse());
    QVERIFY(p.connectTcp(QString("127.0.0.1:%1").arg(kServerPort)));
    auto *size = p.get<QComboBox>("writeSize");
    auto *items = qobject_cast<QStandardItemModel *>(size->model());

    for (int start : {123, 500}) {
        for (int type : {0, 3}) {
            m_dialogs.clear();
            p.setType(type);
            p.get<QSpinBox>("writeAddress")->setValue(start);
            QVERIFY(!items->item(0)->isEnabled());  // no count fits
            p.click("writeButton");
            QCOMPARE(m_dialogs.size(), 1);
            QVERIFY2(m_dialogs[0].text.startsWith("Write error: start address " + QString::number(start)),
                     qPrintable(m_dialogs[0].text));
            QTest::qWait(100);
            QVERIFY(p.recv().isEmpty());  // nothing was sent
        }
    }
    // The last row is still writable with one value.
    m_dialogs.clear();
    p.get<QSpinBox>("writeAddress")->setValue(122);
    QCOMPARE(size->currentText(), QString("1"));
    w.writeModel()->setData(w.writeModel()->index(122, 2), "7", Qt::EditRole);
    p.click("writeButton");
    QTRY_COMPARE_WITH_TIMEOUT(p.recv(), QString("06 00 7a 00 07 "), kWaitMs);  // a single value goes as function 6
    QVERIFY2(m_dialogs.isEmpty(), qPrintable(m_dialogs.value(0).text));
}

void TstModbusPanel::connectionFailuresInStateLine()
{
    // Even in use, a failed connect opens no box: the state line says why, in Chinese.
    ModbusAssWidget w;
    Panel p{&w};
    QVERIFY(p.inUse());
    const QList<bool> allOff{false, false, false, false};
    p.setType(3);  // writable, so only the connection disables writing
    QCOMPARE(p.state(), QString::fromUtf8("未连接"));
    QCOMPARE(p.senders(), allOff);

    p.get<QComboBox>("connectType")->setCurrentIndex(1);
    p.get<QLineEdit>("portEdit")->setText("localhost:5999");  // nothing listens there
    p.click("connectButton");
    // Connecting (the name lookup is never done at once): the button aborts, nothing can be sent yet.
    QCOMPARE(w.modbusClient()->state(), QModbusDevice::ConnectingState);
    QCOMPARE(p.state(), QString::fromUtf8("正在连接 localhost:5999 ..."));
    QCOMPARE(p.get<QPushButton>("connectButton")->text(), QString::fromUtf8("断开"));
    QCOMPARE(p.senders(), allOff);
    QTRY_VERIFY_WITH_TIMEOUT(p.state().startsWith(QString::fromUtf8("连接失败: 对方拒绝连接")), kWaitMs);
    QVERIFY2(p.log().contains("Connection refused"), qPrintable(p.log()));  // Qt's own text for diagnosis
    QCOMPARE(p.get<QPushButton>("connectButton")->text(), QString::fromUtf8("连接"));
    QCOMPARE(p.senders(), allOff);

    p.get<QLineEdit>("portEdit")->setText("no-such-host.invalid:502");
    p.click("connectButton");
    QTRY_VERIFY_WITH_TIMEOUT(p.state().startsWith(QString::fromUtf8("连接失败: 找不到主机")), kWaitMs);
    QCOMPARE(p.senders(), allOff);
    QVERIFY2(m_dialogs.isEmpty(), qPrintable(m_dialogs.value(0).text));
}

void TstModbusPanel::noAnswerShownOnce()
{
    // A server that takes requests and never answers (busrelay drops a request
    // the gateway does not answer): one box with the timeout, panel still connected.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    ModbusAssWidget w;
    Panel p{&w};
    QVERIFY(p.inUse());
    SettingsDialog *d = w.settingsDialog();
    d->findChild<QSpinBox *>("timeoutSpinner")->setValue(300);
    d->findChild<QSpinBox *>("retriesSpinner")->setValue(0);
    d->findChild<QPushButton *>("applyButton")->click();
    QVERIFY(p.connectTcp(QString("127.0.0.1:%1").arg(silent.serverPort())));
    QCOMPARE(w.modbusClient()->timeout(), 300);
    p.setType(3);
    p.click("readButton");
    QTRY_COMPARE_WITH_TIMEOUT(m_dialogs.size(), 1, kWaitMs);
    QVERIFY2(m_dialogs[0].text.startsWith("Read response error: "), qPrintable(m_dialogs[0].text));
    QVERIFY2(m_dialogs[0].text.endsWith(QString("(code: 0x%1)").arg(int(QModbusDevice::TimeoutError), 0, 16)),
             qPrintable(m_dialogs[0].text));
    QTest::qWait(300);
    QCOMPARE(m_dialogs.size(), 1);
    QCOMPARE(w.modbusClient()->state(), QModbusDevice::ConnectedState);
}

void TstModbusPanel::serialPortMissing()
{
    ModbusAssWidget w;
    Panel p{&w};
    QVERIFY(p.inUse());
    p.get<QLineEdit>("portEdit")->setText("no-such-serial-port");
    p.click("connectButton");
    QTRY_VERIFY_WITH_TIMEOUT(p.state().startsWith(QString::fromUtf8("连接失败: 无法打开串口 no-such-serial-port")),
                             kWaitMs);
    QVERIFY2(p.log().contains("Connect failed: "), qPrintable(p.log()));
    QCOMPARE(w.modbusClient()->state(), QModbusDevice::UnconnectedState);
    QCOMPARE(p.senders(), QList<bool>({false, false, false, false}));
    QVERIFY2(m_dialogs.isEmpty(), qPrintable(m_dialogs.value(0).text));
}

void TstModbusPanel::formatsShownAndCopied()
{
    ModbusAssWidget w;
    Panel p{&w};
    QVERIFY(p.connectTcp(QString("127.0.0.1:%1").arg(kServerPort)));
    p.setType(3);
    p.setRead(1, 70, 4);  // 0x1046 .. 0x1049 (addresses no other case writes)
    p.click("readButton");
    QTRY_COMPARE_WITH_TIMEOUT(p.results().size(), 4, kWaitMs);
    QCOMPARE(p.results().first(), line(70, "0x1046"));

    // A format change re-shows the last answer without reading again.
    auto *format = p.get<QComboBox>("valueFormat");
    format->setCurrentIndex(RegisterValueFormat::Unsigned16);
    QCOMPARE(p.results().first(), line(70, "4166"));
    p.get<QLineEdit>("scaleEdit")->setText("0.1");
    QCOMPARE(p.results().first(), line(70, "416.6"));
    p.get<QLineEdit>("scaleEdit")->setText("1");
    format->setCurrentIndex(RegisterValueFormat::Unsigned32);
    QCOMPARE(p.results(), QStringList({line(70, QString::number(0x10461047)), line(72, QString::number(0x10481049))}));
    p.get<QComboBox>("wordOrder")->setCurrentIndex(RegisterValueFormat::LowWordFirst);
    QCOMPARE(p.results().first(), line(70, QString::number(0x10471046)));
    format->setCurrentIndex(RegisterValueFormat::Binary16);
    QCOMPARE(p.results().first(), line(70, "0001 0000 0100 0110"));
    QCOMPARE(p.recv(), QString("03 08 10 46 10 47 10 48 10 49 "));  // the raw answer stays raw

    // Copy into the write table: same rows, and the write range follows.
    p.click("copyToWriteBtn");
    WriteRegisterModel *m = w.writeModel();
    for (int a = 70; a < 74; ++a)
        QCOMPARE(m->holdingRegister(a), quint16(0x1000 + a));
    QCOMPARE(p.get<QSpinBox>("writeAddress")->value(), 70);
    QCOMPARE(p.get<QComboBox>("writeSize")->currentText(), QString("4"));

    // A direct read copies to the addresses without the offset.
    p.setRead(1, 5, 2);
    p.click("readDirectBtn");
    QTRY_COMPARE_WITH_TIMEOUT(p.results().size(), 2, kWaitMs);
    p.click("copyToWriteBtn");
    QCOMPARE(m->holdingRegister(5), quint16(0x1000 + 1005));
    QCOMPARE(m->holdingRegister(6), quint16(0x1000 + 1006));
    QCOMPARE(p.get<QSpinBox>("writeAddress")->value(), 5);
    // Beyond the write table's rows: what fits is copied, the rest is said.
    p.setRead(1, 110, 15);
    p.click("readButton");
    QTRY_COMPARE_WITH_TIMEOUT(p.results().size(), 15, kWaitMs);
    p.click("copyToWriteBtn");
    QCOMPARE(m->holdingRegister(110), quint16(0x1000 + 110));
    QCOMPARE(m->holdingRegister(121), quint16(0x1000 + 121));
    QCOMPARE(p.get<QComboBox>("writeSize")->currentText(), QString("13"));
    QVERIFY2(p.get<QLabel>("writeResultLabel")->text().contains(QString::fromUtf8("其余2个未复制")),
             qPrintable(p.get<QLabel>("writeResultLabel")->text()));
    QVERIFY2(m_dialogs.isEmpty(), qPrintable(m_dialogs.value(0).text));
}

void TstModbusPanel::writeFunctionChoice()
{
    ModbusAssWidget w;
    Panel p{&w};
    QVERIFY(p.inUse());
    QVERIFY(p.connectTcp(QString("127.0.0.1:%1").arg(kServerPort)));
    WriteRegisterModel *m = w.writeModel();
    auto *fc = p.get<QComboBox>("writeFunction");
    auto *result = p.get<QLabel>("writeResultLabel");

    // One register by function 16.
    p.setType(3);
    p.get<QSpinBox>("writeAddress")->setValue(50);
    p.get<QComboBox>("writeSize")->setCurrentText("1");
    m->setData(m->index(50, 2), "1234", Qt::EditRole);
    fc->setCurrentIndex(ModbusAssWidget::WriteMultiple);
    p.click("writeButton");
    QTRY_VERIFY_WITH_TIMEOUT(result->text().startsWith(QString::fromUtf8("写入成功")), kWaitMs);
    QCOMPARE(p.recv(), QString("10 00 32 00 01 "));
    QCOMPARE(result->text(), QString::fromUtf8("写入成功: 地址50, 1个值 (FC16)"));

    // Three registers by function 6, one request after the other.
    p.get<QSpinBox>("writeAddress")->setValue(60);
    p.get<QComboBox>("writeSize")->setCurrentText("3");
    m->setData(m->index(60, 2), "a", Qt::EditRole);
    m->setData(m->index(61, 2), "b", Qt::EditRole);
    m->setData(m->index(62, 2), "c", Qt::EditRole);
    fc->setCurrentIndex(ModbusAssWidget::WriteSingle);
    p.click("writeButton");
    QTRY_COMPARE_WITH_TIMEOUT(result->text(), QString::fromUtf8("写入成功: 地址60~62, 3个值 (FC06)"), kWaitMs);
    QCOMPARE(p.recv(), QString("06 00 3e 00 0c "));
    const QString log = p.get<QPlainTextEdit>("mbLog")->toPlainText();
    QCOMPARE(log.count(QString::fromUtf8("FC06: 06 00")), 3);
    p.setRead(1, 50, 13);
    p.click("readButton");
    QTRY_COMPARE_WITH_TIMEOUT(p.results().size(), 13, kWaitMs);
    QCOMPARE(p.results().at(0), line(50, "0x1234"));
    QCOMPARE(p.results().mid(10), QStringList({line(60, "0xa"), line(61, "0xb"), line(62, "0xc")}));

    // One coil by function 15; two coils by function 5.
    p.setType(0);
    p.get<QSpinBox>("writeAddress")->setValue(20);
    p.get<QComboBox>("writeSize")->setCurrentText("1");
    m->setData(m->index(20, 1), Qt::Checked, Qt::CheckStateRole);  // coil 20 was 0
    fc->setCurrentIndex(ModbusAssWidget::WriteMultiple);
    p.click("writeButton");
    QTRY_COMPARE_WITH_TIMEOUT(p.recv(), QString("0f 00 14 00 01 "), kWaitMs);
    p.get<QComboBox>("writeSize")->setCurrentText("2");
    m->setData(m->index(21, 1), Qt::Unchecked, Qt::CheckStateRole);  // coil 21 was 1
    fc->setCurrentIndex(ModbusAssWidget::WriteSingle);
    p.click("writeButton");
    QTRY_COMPARE_WITH_TIMEOUT(result->text(), QString::fromUtf8("写入成功: 地址20~21, 2个值 (FC05)"), kWaitMs);
    QCOMPARE(p.recv(), QString("05 00 15 00 00 "));
    p.setRead(1, 20, 2);
    p.click("readButton");
    QTRY_COMPARE_WITH_TIMEOUT(p.results().size(), 2, kWaitMs);
    QCOMPARE(p.results(), QStringList({line(20, "1"), line(21, "0")}));

    // A 32-bit format needs whole pairs.
    p.setType(3);
    p.get<QComboBox>("valueFormat")->setCurrentIndex(RegisterValueFormat::Float32);
    p.get<QComboBox>("writeSize")->setCurrentText("3");
    p.click("writeButton");
    QCOMPARE(m_dialogs.size(), 1);
    QVERIFY2(m_dialogs[0].text.startsWith("Write error: "), qPrintable(m_dialogs[0].text));
}

void TstModbusPanel::pollCountsAnswersAndExceptions()
{
    ModbusAssWidget w;
    Panel p{&w};
    QVERIFY(p.connectTcp(QString("127.0.0.1:%1").arg(kServerPort)));
    auto *label = p.get<QLabel>("pollCountLabel");
    p.setType(3);
    p.setRead(1, 1, 2);
    p.get<QSpinBox>("pollInterval")->setValue(50);
    p.get<QCheckBox>("pollCheck")->setChecked(true);
    p.click("readButton");
    QVERIFY(w.isPolling());
    QTRY_VERIFY_WITH_TIMEOUT(w.counts().answers >= 5, 10000);
    QCOMPARE(p.results(), QStringList({line(1, "0x1001"), line(2, "0x1002")}));

    // Switching the poll to a request the server refuses: counted, logged, no box.
    p.setRead(1, 200, 2);
    p.click("readDirectBtn");  // restarts the poll with fresh counts
    QTRY_VERIFY_WITH_TIMEOUT(w.counts().exceptions >= 3, 10000);
    p.get<QCheckBox>("pollCheck")->setChecked(false);
    QVERIFY(!w.isPolling());
    // The request in flight, if any, is answered (refused like every other).
    QTRY_COMPARE_WITH_TIMEOUT(w.counts().exceptions, w.counts().requests, 10000);
    const ModbusAssWidget::Counts c = w.counts();
    // Stopped: several poll intervals pass without a request.
    QTest::qWait(6 * p.get<QSpinBox>("pollInterval")->value());
    QCOMPARE(w.counts().requests, c.requests);
    QCOMPARE(c.answers, 0);  // an answer to the request in flight at the switch is not counted
    QCOMPARE(c.exceptions, c.requests);
    QCOMPARE(c.timeouts, 0);
    QCOMPARE(label->text(), QString::fromUtf8("请求:%1 应答:%2 异常:%3 超时:0 其他错误:0")
                                .arg(c.requests).arg(c.answers).arg(c.exceptions));
    QVERIFY(m_dialogs.isEmpty());
    const QString log = p.get<QPlainTextEdit>("mbLog")->toPlainText();
    QVERIFY(log.contains(QString::fromUtf8("接收异常: 0x02 非法数据地址 (83 02)")));
    QVERIFY(log.contains(QString::fromUtf8("发送 单元1 FC03 地址1200 数量2: 03 04 b0 00 02")));
    // Every line carries its time.
    QVERIFY(QRegularExpression("^\\[\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] ").match(log.section('\n', -1)).hasMatch());
}

void TstModbusPanel::pollCountsTimeouts()
{
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    ModbusAssWidget w;
    Panel p{&w};
    SettingsDialog *d = w.settingsDialog();
    d->findChild<QSpinBox *>("timeoutSpinner")->setValue(100);
    d->findChild<QSpinBox *>("retriesSpinner")->setValue(0);
    d->findChild<QPushButton *>("applyButton")->click();
    QVERIFY(p.connectTcp(QString("127.0.0.1:%1").arg(silent.serverPort())));
    p.setType(3);
    p.get<QSpinBox>("pollInterval")->setValue(50);
    p.get<QCheckBox>("pollCheck")->setChecked(true);
    p.click("readButton");
    QTRY_VERIFY_WITH_TIMEOUT(w.counts().timeouts >= 3, 10000);
    w.stopPoll();
    QCOMPARE(w.counts().answers, 0);
    QVERIFY(m_dialogs.isEmpty());  // timeouts in a poll are counted, not boxed
    QVERIFY(p.get<QPlainTextEdit>("mbLog")->toPlainText().contains(QString::fromUtf8("超时,无应答")));
    QCOMPARE(w.modbusClient()->state(), QModbusDevice::ConnectedState);
}

void TstModbusPanel::unitZeroAndGatewayHost()
{
    ModbusAssWidget w;
    Panel p{&w};
    QCOMPARE(p.get<QSpinBox>("serverEdit")->minimum(), 0);
    QCOMPARE(p.get<QSpinBox>("serverEdit")->maximum(), 255);

    // The selected gateway: TCP to its port 502.
    w.setGatewayHost("127.0.0.1");
    QCOMPARE(p.get<QComboBox>("connectType")->currentIndex(), 1);
    QCOMPARE(p.get<QLineEdit>("portEdit")->text(), QString("127.0.0.1:502"));

    QVERIFY(p.connectTcp(QString("127.0.0.1:%1").arg(kServerPort)));
    w.setGatewayHost("10.1.2.3");  // left alone while connected
    QCOMPARE(p.get<QLineEdit>("portEdit")->text(), QString("127.0.0.1:%1").arg(kServerPort));

    // Unit 0 (a batch map's first device) is read like any other.
    p.setType(3);
    p.setRead(0, 5, 1);
    p.click("readButton");
    QTRY_COMPARE_WITH_TIMEOUT(p.results().size(), 1, kWaitMs);
    QCOMPARE(p.results().first(), line(5, "0x1005"));
    QVERIFY(p.get<QPlainTextEdit>("mbLog")->toPlainText().contains(QString::fromUtf8("发送 单元0 FC03")));
    QVERIFY2(m_dialogs.isEmpty(), qPrintable(m_dialogs.value(0).text));
}

void TstModbusPanel::ownRepliesBoxedOnlyWhileInUse()
{
    // The engineer's own read times out (a server that never answers).
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    PanelTab t;
    QVERIFY(t.show());
    Panel p{t.w};
    SettingsDialog *d = t.w->settingsDialog();
    d->findChild<QSpinBox *>("timeoutSpinner")->setValue(300);
    d->findChild<QSpinBox *>("retriesSpinner")->setValue(0);
    d->findChild<QPushButton *>("applyButton")->click();
    QVERIFY(p.connectTcp(QString("127.0.0.1:%1").arg(silent.serverPort())));
    p.setType(3);
    const QString timedOut = QString("(code: 0x%1)").arg(int(QModbusDevice::TimeoutError), 0, 16);

    // Another tab is current when the answer is due: the text goes to the log only.
    p.click("readButton");
    t.tabs->setCurrentWidget(t.upgradeTab);
    QTRY_COMPARE_WITH_TIMEOUT(p.log().count("Read response error: "), 1, kWaitMs);
    QVERIFY2(p.log().contains(timedOut), qPrintable(p.log()));
    QVERIFY2(m_dialogs.isEmpty(), qPrintable(m_dialogs.value(0).text));

    // Another window is active: the same.
    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    t.tabs->setCurrentWidget(t.w);
    p.click("readButton");
    QTRY_COMPARE_WITH_TIMEOUT(p.log().count("Read response error: "), 2, kWaitMs);
    QVERIFY2(m_dialogs.isEmpty(), qPrintable(m_dialogs.value(0).text));

    // The panel in use: the design's box, once.
    other.hide();
    QVERIFY(t.show());
    p.click("readButton");
    QTRY_COMPARE_WITH_TIMEOUT(m_dialogs.size(), 1, kWaitMs);
    QCOMPARE(m_dialogs[0].title, QString("warning"));
    QVERIFY2(m_dialogs[0].text.startsWith("Read response error: ") && m_dialogs[0].text.endsWith(timedOut),
             qPrintable(m_dialogs[0].text));
    QCOMPARE(p.log().count("Read response error: "), 3);
    QCOMPARE(t.w->modbusClient()->state(), QModbusDevice::ConnectedState);

    // A read and a write in flight when the server closes: aborted, said by the
    // state line and the write result, no box even in use.
    QTcpSocket *peer = silent.nextPendingConnection();
    QVERIFY(peer);
    t.w->modbusClient()->setTimeout(kWaitMs);  // the close, not a timeout, ends them
    p.click("readButton");
    p.click("writeButton");
    QCOMPARE(p.get<QLabel>("writeResultLabel")->text(), QString::fromUtf8("写入中..."));
    peer->close();
    QTRY_VERIFY2_WITH_TIMEOUT(p.state().startsWith(QString::fromUtf8("连接已丢失: 对方关闭了连接")),
                              qPrintable(p.state()), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(p.log().contains(QString::fromUtf8("请求中止: 连接已断开")), kWaitMs);
    QCOMPARE(p.get<QLabel>("writeResultLabel")->text(), QString::fromUtf8("写入失败: 连接已断开"));
    QCOMPARE(m_dialogs.size(), 1);
    QCOMPARE(p.senders(), QList<bool>({false, false, false, false}));
}

QTEST_MAIN(TstModbusPanel)
#include "tst_modbuspanel.moc"

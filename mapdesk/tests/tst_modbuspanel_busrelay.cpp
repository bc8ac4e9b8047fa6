// needs: namespace
// The Modbus test panel, on its tab of the main window, against the real
// service: busrelay with the sample configuration (busrelay/sample) and gwsim
// as the gateway, both inside the test's private network namespace. Skips
// only while either program is not built; a service that does not answer fails.
#include "dialogseam.h"
#include "elidedlabel.h"
#include "mainwindow.h"
#include "modbusasswidget.h"
#include "settingsdialog.h"
#include "testfiles.h"
#include "testprocess.h"
#include "writeregistermodel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QModbusClient>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSet>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

#include <cmath>

namespace {
// The configuration files allow // and /* */ comments; QJsonDocument does not.
QByteArray stripComments(const QByteArray &in)
{
    QByteArray out;
    out.reserve(in.size());
    bool inString = false;
    for (int i = 0; i < in.size(); ++i) {
        const char c = in[i];
        if (inString) {
            out += c;
            if (c == '\\' && i + 1 < in.size())
                out += in[++i];
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
            out += c;
        } else if (c == '/' && i + 1 < in.size() && in[i + 1] == '/') {
            while (i < in.size() && in[i] != '\n')
                ++i;
            out += '\n';
        } else if (c == '/' && i + 1 < in.size() && in[i + 1] == '*') {
            i += 2;
            while (i + 1 < in.size() && !(in[i] == '*' && in[i + 1] == '/'))
                ++i;
            ++i;
        } else {
            out += c;
        }
    }
    return out;
}

QJsonObject readJsonObject(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QJsonObject();
    return QJsonDocument::fromJson(stripComments(f.readAll())).object();
}

// A one-register holding register of a mapped unit, with the values it accepts.
struct Target {
    int unit = -1;
    int address = -1;
    bool writable = false;
    int minValue = 0;
    int maxValue = 0;
    QString what;  // for messages
};

// Picks, from the sample's map and descriptions, a holding register the panel
// can read and (preferably) write: address 1..122, one register, in the
// description's holding table. Also returns every unit id the map uses.
Target findTarget(const QString &sampleDir, QSet<int> *units)
{
    QMap<QString, QJsonObject> bySntype;
    QDirIterator it(sampleDir + "/descJson", QDir::Files);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!it.fileName().contains("json"))
            continue;
        const QJsonObject d = readJsonObject(path);
        for (const QJsonValue &sn : d["profile"].toObject()["snType"].toArray())
            if (sn.isString() && !bySntype.contains(sn.toString()))
                bySntype.insert(sn.toString(), d);
    }

    Target best;
    const QJsonArray mapNodes = readJsonObject(sampleDir + "/map.json")["nodes"].toArray();
    for (const QJsonValue &v : mapNodes) {  // every unit first: the search below returns early
        if (v.toObject()["mb_id"].isDouble())
            units->insert(v.toObject()["mb_id"].toInt());
    }
    for (const QJsonValue &v : mapNodes) {
        const QJsonObject n = v.toObject();
        if (!n["mb_id"].isDouble())
            continue;
        const int unit = n["mb_id"].toInt();
        if (unit == 255 || !n["mqtt_dk"].isString() || !bySntype.contains(n["sntype"].toString()))
            continue;
        const QJsonObject d = bySntype.value(n["sntype"].toString());
        const QJsonObject mb = d["mb_map"].toObject();
        const int hrStart = mb["start_registers"].toInt();
        const int hrCount = mb["nb_registers"].toInt();
        for (const QJsonValue &nv : d["nodes"].toArray()) {
            const QJsonObject node = nv.toObject();
            if (node["operateType"].toString() != "holdingRegister" || !node["registerAddress"].isDouble())
                continue;
            const int address = (node["registerAddress"].toInt() - 40000) & 0xffff;
            const QJsonObject reg = node["originalDataType"].toObject();
            const QString regType = reg["type"].toString();
            const QJsonObject regSpecs = reg["specs"].toObject();
            if (address < 1 || address > 122 || address < hrStart || address >= hrStart + hrCount
                || regSpecs["registerCount"].toInt() != 1
                || !QStringList({"bool", "enum", "uint16", "int16"}).contains(regType))
                continue;
            Target t;
            t.unit = unit;
            t.address = address;
            t.what = QString("unit %1 (%2) holding register %3 \"%4\"")
                         .arg(unit).arg(n["mqtt_dk"].toString()).arg(address)
                         .arg(node["identifier"].toString());
            const QString access = node["accessMode"].toString();
            const QJsonObject model = node["dataType"].toObject();
            const QJsonObject modelSpecs = model["specs"].toObject();
            t.writable = access == "rw" || access == "w";
            if (model["type"].toString() == "bool") {
                t.minValue = 0;
                t.maxValue = 1;
            } else if (regType == "enum") {
                t.minValue = regSpecs["min"].toInt();
                t.maxValue = regSpecs["max"].toInt();
            } else if (model["type"].toString() == "double") {
                t.minValue = int(std::ceil(modelSpecs["min"].toDouble()));
                t.maxValue = int(std::floor(modelSpecs["max"].toDouble()));
            } else {
                t.writable = false;
            }
            if (t.minValue >= t.maxValue)
                t.writable = false;
            // Readable and writable beats readable only.
            if (best.unit < 0 || (t.writable && !best.writable) || (t.writable && access == "rw" && !best.writable))
                best = t;
            if (best.writable)
                return best;
        }
    }
    return best;
}

QString line(int address, const QString &value)
{
    return QString("Address: %1, Value: %2").arg(address).arg(value);
}

// Set when the whole program skips, so CTest reports it as skipped (77).
bool g_skipped = false;
} // namespace

class TstModbusPanelBusrelay : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void cachedAndDirectRead();
    void writeConfirmedByGateway();
    void unmappedUnitException();
    void serviceRestartUnderOpenConnection();
    void refusedByTheAllowList();

private:
    template <typename T> T *get(const char *name) const { return m_panel->findChild<T *>(name); }
    void setRead(int type, int unit, int start, int count);
    // Connects the panel when it is not; false (after a pause, for the
    // caller's next attempt) when the service did not take the connection.
    bool ensureConnected();
    // Clicks a read button; returns the result lines, or an empty list after a warning or no answer.
    QStringList read(const char *button, int waitMs);
    void startBusrelay();
    static void stop(QProcess &p);
    // What busrelay printed so far (its output is collected as it comes).
    QByteArray busrelayOutput();

    QTemporaryDir m_dir;
    QProcess m_gwsim;
    QProcess m_busrelay;
    QByteArray m_busrelayOut;
    QScopedPointer<MainWindow> m_window;
    QTabWidget *m_tabs = nullptr;
    ModbusAssWidget *m_panel = nullptr;  // the window's
    Target m_target;
    QSet<int> m_units;
    QList<DialogSeam::Request> m_dialogs;
    bool m_directUp = false;
};

void TstModbusPanelBusrelay::initTestCase()
{
    const QString bin = qEnvironmentVariable("BIN_DIR");
    const QString sample = qEnvironmentVariable("SOURCE_DIR") + "/busrelay/sample";
    g_skipped = true;
    if (!QFileInfo(bin + "/busrelay").isExecutable() || !QFileInfo(bin + "/gwsim").isExecutable())
        QSKIP(qPrintable("needs busrelay and gwsim in BIN_DIR (" + bin + ")"));
    g_skipped = false;
    QVERIFY2(QFileInfo(sample + "/map.json").isFile() && QFileInfo(sample + "/descJson").isDir(),
             qPrintable("no sample configuration (map.json, descJson) at " + sample));

    DialogSeam::setResponder([this](const DialogSeam::Request &r) {
        if (r.title == "warn")
            return true;  // the main window's start-up upgrade package check
        m_dialogs.append(r);
        return true;
    });

    // The service reads its files from its working directory: a copy of the sample.
    QVERIFY(m_dir.isValid());
    QVERIFY(copyTree(sample, m_dir.path()));
    m_target = findTarget(sample, &m_units);

    m_gwsim.setProcessChannelMode(QProcess::MergedChannels);
    m_gwsim.setWorkingDirectory(m_dir.path());
    m_gwsim.start(bin + "/gwsim", QStringList());
    QVERIFY(m_gwsim.waitForStarted(3000));
    m_busrelay.setProcessChannelMode(QProcess::MergedChannels);
    m_busrelay.setWorkingDirectory(m_dir.path());
    m_busrelay.start(bin + "/busrelay", QStringList());
    QVERIFY(m_busrelay.waitForStarted(3000));

    // Probe: unit 255's version registers from the cache, over TCP, the way an engineer starts.
    m_window.reset(new MainWindow);
    m_tabs = m_window->findChild<QTabWidget *>("workTabWidget");
    m_panel = m_window->findChild<ModbusAssWidget *>();
    QVERIFY(m_tabs && m_panel);
    // The engineer's active window on the panel's tab: answers to its requests may open boxes.
    m_tabs->setCurrentWidget(m_panel);
    m_window->show();
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window.data()));
    auto *settings = m_panel->settingsDialog();
    settings->findChild<QSpinBox *>("timeoutSpinner")->setValue(5000);  // longer than the bridge's 3-4 s
    settings->findChild<QSpinBox *>("retriesSpinner")->setValue(0);
    settings->findChild<QPushButton *>("applyButton")->click();
    get<QComboBox>("connectType")->setCurrentIndex(1);
    QCOMPARE(get<QLineEdit>("portEdit")->text(), QString("127.0.0.1:502"));
    bool answered = false;
    QStringList version;
    for (int attempt = 0; attempt < 20 && !answered; ++attempt) {
        if (m_busrelay.state() != QProcess::Running)
            break;
        m_dialogs.clear();
        if (!ensureConnected())
            continue;
        setRead(2, 255, 1, 24);
        version = read("readButton", 2000);
        answered = version.size() == 24;
    }
    if (!answered) {
        const QString why = m_busrelay.state() != QProcess::Running
                                ? QString("busrelay exited (code %1)").arg(m_busrelay.exitCode())
                                : m_dialogs.isEmpty() ? QString("no answer") : m_dialogs.last().text;
        qInfo("busrelay output (end):\n%s", busrelayOutput().right(3000).constData());
        QFAIL(qPrintable("busrelay does not answer Modbus with the sample configuration (unit 255, "
                         "input registers 1-24: " + why + ")"));
    }
    bool anyText = false;
    for (const QString &l : version)
        anyText = anyText || !l.endsWith("Value: 0x0");
    QVERIFY2(anyText, "unit 255's version registers are all 0");
    QVERIFY2(m_target.unit > 0, "the sample map has no unit with a one-register holding register at 1..122");
    qInfo("target: %s%s", qPrintable(m_target.what), m_target.writable ? " (writable)" : "");
}

void TstModbusPanelBusrelay::cleanupTestCase()
{
    m_window.reset();
    stop(m_busrelay);
    stop(m_gwsim);
    DialogSeam::setResponder(nullptr);
}

void TstModbusPanelBusrelay::init()
{
    m_dialogs.clear();
}

void TstModbusPanelBusrelay::cleanup()
{
    if (QTest::currentTestFailed()) {
        qInfo("busrelay output (end):\n%s", busrelayOutput().right(3000).constData());
        qInfo("gwsim output (end):\n%s", m_gwsim.readAll().right(1500).constData());
    }
}

void TstModbusPanelBusrelay::startBusrelay()
{
    m_busrelay.start(qEnvironmentVariable("BIN_DIR") + "/busrelay", QStringList());
    QVERIFY(m_busrelay.waitForStarted(3000));
}

void TstModbusPanelBusrelay::stop(QProcess &p)
{
    stopProcess(p);
}

QByteArray TstModbusPanelBusrelay::busrelayOutput()
{
    m_busrelayOut += m_busrelay.readAll();
    return m_busrelayOut;
}

bool TstModbusPanelBusrelay::ensureConnected()
{
    if (m_panel->modbusClient()->state() != QModbusDevice::ConnectedState) {
        get<QPushButton>("connectButton")->click();
        (void)QTest::qWaitFor(
            [this]() { return m_panel->modbusClient()->state() != QModbusDevice::ConnectingState; }, 1000);
    }
    if (m_panel->modbusClient()->state() == QModbusDevice::ConnectedState)
        return true;
    QTest::qWait(200);
    return false;
}

void TstModbusPanelBusrelay::setRead(int type, int unit, int start, int count)
{
    get<QComboBox>("writeTable")->setCurrentIndex(type);
    get<QSpinBox>("serverEdit")->setValue(unit);
    get<QSpinBox>("readAddress")->setValue(start);
    get<QSpinBox>("readSize")->setValue(count);
}

QStringList TstModbusPanelBusrelay::read(const char *button, int waitMs)
{
    const int dialogsBefore = m_dialogs.size();
    auto *list = get<QListWidget>("readValue");
    get<QPushButton>(button)->click();
    (void)QTest::qWaitFor([&]() { return list->count() > 0 || m_dialogs.size() > dialogsBefore; }, waitMs);
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

void TstModbusPanelBusrelay::cachedAndDirectRead()
{
    const int a = m_target.address;
    setRead(3, m_target.unit, a, 1);
    const QStringList cached = read("readButton", 6000);
    QCOMPARE(cached.size(), 1);
    QVERIFY2(cached[0].startsWith(line(a, "0x").chopped(2)), qPrintable(cached[0]));
    QVERIFY(get<QTextEdit>("mbRcvTxt")->toPlainText().startsWith("03 02 "));

    // The direct read goes to the gateway; its link may still be coming up.
    QStringList direct;
    // Until it is up the bridge answers exception 6 at once: retry for ~20 s.
    for (int attempt = 0; attempt < 20 && direct.isEmpty(); ++attempt) {
        if (attempt > 0)
            QTest::qWait(1000);
        m_dialogs.clear();
        direct = read("readDirectBtn", 6000);
    }
    QVERIFY2(direct.size() == 1, qPrintable(m_dialogs.isEmpty() ? "no answer" : m_dialogs.last().text));
    m_directUp = true;
    QVERIFY2(direct[0].startsWith(QString("Address: %1, ").arg(a + 1000)), qPrintable(direct[0]));

    // The gateway's answer refreshed the cache: the cached read now shows the same value.
    const QString value = direct[0].section("Value: ", 1);
    const QStringList again = read("readButton", 6000);
    QCOMPARE(again, QStringList({line(a, value)}));
    QVERIFY2(m_dialogs.isEmpty(), qPrintable(m_dialogs.value(0).text));
}

void TstModbusPanelBusrelay::writeConfirmedByGateway()
{
    if (!m_target.writable)
        QFAIL(qPrintable("the sample's " + m_target.what + " is not writable; the sample needs a "
                         "writable one-register holding register at 1..122"));
    if (!m_directUp)
        QSKIP("the gateway link did not answer direct reads (see cachedAndDirectRead)");
    const int a = m_target.address;
    setRead(3, m_target.unit, a, 1);
    const QStringList before = read("readDirectBtn", 6000);
    QCOMPARE(before.size(), 1);
    const int current = before[0].section("Value: 0x", 1).toInt(nullptr, 16);
    const int wanted = current != m_target.minValue ? m_target.minValue : m_target.maxValue;
    const quint16 raw = quint16(qint16(wanted));

    get<QSpinBox>("writeAddress")->setValue(a);
    get<QComboBox>("writeSize")->setCurrentText("1");
    WriteRegisterModel *m = m_panel->writeModel();
    QVERIFY(m->setData(m->index(a, 2), QString::number(raw, 16), Qt::EditRole));
    get<QTextEdit>("mbRcvTxt")->clear();
    get<QPushButton>("writeButton")->click();
    // The echo comes only once the gateway has confirmed the write.
    auto *recv = get<QTextEdit>("mbRcvTxt");
    QTRY_VERIFY_WITH_TIMEOUT(!recv->toPlainText().isEmpty() || !m_dialogs.isEmpty(), 6000);
    QVERIFY2(m_dialogs.isEmpty(), qPrintable(m_dialogs.value(0).text));
    QCOMPARE(recv->toPlainText(), QString::asprintf("06 %02x %02x %02x %02x ", 0, a, raw >> 8, raw & 0xff));

    const QString shown = "0x" + QString::number(raw, 16);
    QCOMPARE(read("readDirectBtn", 6000), QStringList({line(a + 1000, shown)}));
    QCOMPARE(read("readButton", 6000), QStringList({line(a, shown)}));
    QVERIFY2(m_dialogs.isEmpty(), qPrintable(m_dialogs.value(0).text));
}

void TstModbusPanelBusrelay::unmappedUnitException()
{
    int unit = 1;
    while (unit < 247 && m_units.contains(unit))
        ++unit;
    setRead(3, unit, 1, 1);
    const QStringList got = read("readButton", 6000);
    QVERIFY2(m_dialogs.size() == 1, qPrintable(QString("unit %1: %2 / %3").arg(unit).arg(got.join(";"))
                                                   .arg(get<QTextEdit>("mbRcvTxt")->toPlainText())));
    QVERIFY2(m_dialogs[0].text.startsWith("Read response error: "), qPrintable(m_dialogs[0].text));
    QVERIFY2(m_dialogs[0].text.endsWith(QString::fromUtf8("(Mobus exception: 0x2 非法数据地址)")), qPrintable(m_dialogs[0].text));
    QCOMPARE(get<QTextEdit>("mbRcvTxt")->toPlainText(), QString("83 02 "));
    QVERIFY(get<QListWidget>("readValue")->count() == 0);
}

void TstModbusPanelBusrelay::serviceRestartUnderOpenConnection()
{
    bool connected = false;
    for (int attempt = 0; attempt < 10 && !connected; ++attempt)
        connected = ensureConnected();
    QVERIFY(connected);
    auto *stateLine = get<ElidedLabel>("connectionStateLabel");
    QCOMPARE(stateLine->fullText(), QString::fromUtf8("已连接 127.0.0.1:502"));
    const auto senders = [this]() {
        return QList<bool>({get<QPushButton>("readButton")->isEnabled(), get<QPushButton>("readDirectBtn")->isEnabled(),
                            get<QCheckBox>("pollCheck")->isEnabled(), get<QPushButton>("writeButton")->isEnabled()});
    };
    setRead(2, 255, 1, 24);  // input registers: never writable
    get<QSpinBox>("pollInterval")->setValue(100);
    get<QCheckBox>("pollCheck")->setChecked(true);
    get<QPushButton>("readButton")->click();
    QTRY_VERIFY_WITH_TIMEOUT(m_panel->counts().answers >= 2, 10000);

    // The engineer is on the upgrade tab when the service restarts under the poll.
    m_tabs->setCurrentWidget(m_window->findChild<QWidget *>("tab"));  // 程序升级
    QVERIFY(!m_panel->isVisible());
    stop(m_busrelay);
    QTRY_VERIFY2_WITH_TIMEOUT(stateLine->fullText().startsWith(QString::fromUtf8("连接已丢失: 对方关闭了连接")),
                              qPrintable(stateLine->fullText()), 10000);
    QVERIFY2(!stateLine->fullText().contains("mbacl.json"), qPrintable(stateLine->fullText()));  // served, not refused
    QVERIFY(!m_panel->isPolling());
    QCOMPARE(senders(), QList<bool>({false, false, false, false}));
    QCOMPARE(get<QPushButton>("connectButton")->text(), QString::fromUtf8("连接"));
    QVERIFY2(m_dialogs.isEmpty(), qPrintable(m_dialogs.value(0).text));

    // Back on the panel with the service up again: connect and read.
    startBusrelay();
    m_tabs->setCurrentWidget(m_panel);
    get<QCheckBox>("pollCheck")->setChecked(false);
    bool served = false;
    for (int attempt = 0; attempt < 30 && !served; ++attempt)
        served = ensureConnected() && read("readButton", 6000).size() == 24;
    QVERIFY2(served, qPrintable(m_dialogs.isEmpty() ? QString("no answer") : m_dialogs.last().text));
    QCOMPARE(stateLine->fullText(), QString::fromUtf8("已连接 127.0.0.1:502"));
    QCOMPARE(senders(), QList<bool>({true, true, true, false}));
    QVERIFY2(m_dialogs.isEmpty(), qPrintable(m_dialogs.value(0).text));
}

void TstModbusPanelBusrelay::refusedByTheAllowList()
{
    // The service restarted with a list that leaves this machine out.
    if (m_panel->modbusClient()->state() != QModbusDevice::UnconnectedState)
        get<QPushButton>("connectButton")->click();
    QTRY_COMPARE(m_panel->modbusClient()->state(), QModbusDevice::UnconnectedState);
    stop(m_busrelay);
    QFile acl(m_dir.filePath("mbacl.json"));
    QVERIFY(acl.open(QIODevice::WriteOnly));
    acl.write("{\"allow\": [\"10.1.1.1\"]}\n");
    acl.close();
    startBusrelay();

    auto *log = get<QPlainTextEdit>("mbLog");
    const QString hint = QString::fromUtf8("modbus客户端允许列表(mbacl.json)可能不含本机地址");
    for (int attempt = 0; attempt < 30 && !log->toPlainText().contains(hint); ++attempt) {
        log->clear();
        m_dialogs.clear();
        get<QPushButton>("connectButton")->click();
        (void)QTest::qWaitFor([this]() { return m_panel->modbusClient()->state() == QModbusDevice::UnconnectedState; },
                              2000);
        QTest::qWait(100);
    }
    QVERIFY2(log->toPlainText().contains(hint), qPrintable(log->toPlainText()));
    // The service's console line may come after the panel saw the close.
    const QByteArray closedLine("not in the allow-list (mbacl.json), closed");
    QTRY_VERIFY2_WITH_TIMEOUT(busrelayOutput().contains(closedLine), busrelayOutput().right(2000).constData(), 10000);

    // A disconnect of the engineer's own says nothing of the kind.
    QFile::remove(m_dir.filePath("mbacl.json"));
    stop(m_busrelay);
    startBusrelay();
    // Served once a read is answered on the connection (a refused one is closed instead).
    bool served = false;
    for (int attempt = 0; attempt < 30 && !served; ++attempt) {
        if (!ensureConnected())
            continue;
        m_dialogs.clear();
        setRead(2, 255, 1, 24);
        served = read("readButton", 6000).size() == 24;
    }
    QVERIFY2(served, qPrintable(m_dialogs.isEmpty() ? QString("no answer") : m_dialogs.last().text));
    QCOMPARE(m_panel->modbusClient()->state(), QModbusDevice::ConnectedState);
    log->clear();
    get<QPushButton>("connectButton")->click();
    QTRY_COMPARE(m_panel->modbusClient()->state(), QModbusDevice::UnconnectedState);
    QVERIFY2(!log->toPlainText().contains(hint), qPrintable(log->toPlainText()));
}

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QTEST_DISABLE_KEYPAD_NAVIGATION
    TstModbusPanelBusrelay tc;
    const int rc = QTest::qExec(&tc, argc, argv);
    return rc == 0 && g_skipped ? 77 : rc;
}
#include "tst_modbuspanel_busrelay.moc"

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "devicetypetable.h"
#include "debuglogview.h"
#include "dialogseam.h"
#include "disabledlook.h"
#include "frame7f.h"
#include "gatewayerrortext.h"
#include "localinterfaces.h"
#include "mapjsonfile.h"
#include "modbusasswidget.h"
#include "noedititemdelegate.h"
#include "cconnectionforsshclient.h"
#include "qtftpwidget.h"
#include "sshcommands.h"
#include "upgradepackage.h"

#include <QAction>
#include <QCursor>
#include <QDateTime>
#include <QDir>
#include <QDebug>
#include <QFile>
#include <QHeaderView>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QMenu>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QProgressBar>
#include <QScreen>
#include <QSplitter>
#include <QStandardItemModel>
#include <QTcpSocket>
#include <QTextStream>
#include <QTime>
#include <QTimer>
#include <QUdpSocket>

namespace {
const char kGreen[] = "QLabel{background-color:#00ff00;border-radius:10px;}";
const char kRed[] = "QLabel{background-color:#ff0000;border-radius:10px;}";

enum DevColumn { DevAid = 0, DevKey, DevSn, DevModel, DevCategory, DevName, DevColumns };
enum MapColumn { MapAddr = 0, MapKey, MapSn, MapModel, MapColumns };

QString u(const char *utf8)
{
    return QString::fromUtf8(utf8);
}

QString jsonString(const QJsonObject &o, const char *key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isString() ? v.toString() : QString();
}

// A device key goes into hand-built JSON text; escape it so a quote or a
// backslash in it cannot break the command.
QString jsonEscaped(const QString &s)
{
    const QByteArray doc = QJsonDocument(QJsonArray{s}).toJson(QJsonDocument::Compact);
    // ["..."] -> ...
    return QString::fromUtf8(doc.mid(2, doc.size() - 4));
}
} // namespace

QString MainWindow::greenStyle()
{
    return QString::fromLatin1(kGreen);
}

QString MainWindow::redStyle()
{
    return QString::fromLatin1(kRed);
}

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    m_modbusPanel = new ModbusAssWidget(ui->workTabWidget);
    ui->workTabWidget->addTab(m_modbusPanel, u("modbus助手v1.0"));
    resize(790, 900);
    // Laptop screens are often lower than that: open within the free area (title bar included).
    if (const QScreen *scr = screen()) {
        const QRect avail = scr->availableGeometry();
        resize(qMin(width(), avail.width()), qMin(height(), avail.height() - 40));
    }
    ui->workTabWidget->setCurrentIndex(0);

    findLocalIp();
    ui->localIpLabel->setText(u("本机IP:") + m_localIp);
    setupLaptopPanels();
    m_startupPackageCheck = true;
    setupRemote();
    m_startupPackageCheck = false;

    setupDiscovery();
    setup7F();
    setupSsh();
    setupTables();
}

MainWindow::~MainWindow()
{
    // A socket torn down with the window still signals; nothing may reach
    // the half-destroyed window.
    m_7fSocket->disconnect(this);
    m_detectSocket->disconnect(this);
    m_7fSocket->abort();
    // A live SSH client (connected or still connecting) ends its thread
    // and releases itself.
    emit sigDisconnecteSsh();
    delete ui;
}

void MainWindow::showStatus(const QString &text)
{
    ui->statusbar->showMessage(text);
}

// ---------------------------------------------------------------- set-up

void MainWindow::findLocalIp()
{
    m_localIp.clear();
    const QList<QHostAddress> all = QNetworkInterface::allAddresses();
    for (const QHostAddress &a : all) {
        if (a.protocol() != QAbstractSocket::IPv4Protocol || a.isNull() || a.isLoopback())
            continue;
        const QString text = a.toString();
        if (text.contains("127.0."))
            continue;
        m_localIp = text;
        break;
    }
}

void MainWindow::setupDiscovery()
{
    m_detectSocket = new QUdpSocket(this);
    m_detectTimer = new QTimer(this);
    m_detectTimer->setSingleShot(true);
    connect(ui->gwDetectBtn, &QPushButton::clicked, this, &MainWindow::onGwDetectStartBtnPressed);
    connect(m_detectTimer, &QTimer::timeout, this, &MainWindow::onGwDetectTimeOut);
    connect(m_detectSocket, &QUdpSocket::readyRead, this,
            &MainWindow::onProcessGwDetectPendingDatagram);
    connect(ui->gwInfoComboBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this](int index) {
                onGwInfoComboBoxCurrentIndexChanged(ui->gwInfoComboBox->itemText(index));
            });
}

void MainWindow::setup7F()
{
    m_7fSocket = new QTcpSocket(this);
    m_7fCmdTimer = new QTimer(this);
    m_7fCmdTimer->setObjectName("7fCmdTimer");
    m_7fCmdTimer->setSingleShot(true);
    connect(ui->gw7FConnectBtn, &QPushButton::clicked, this, &MainWindow::onGw7FConnectBtnPressed);
    connect(m_7fSocket, &QTcpSocket::disconnected, this, &MainWindow::on7FDisconnected);
    connect(m_7fSocket, &QTcpSocket::readyRead, this, &MainWindow::on7FReadyRead);
    connect(m_7fCmdTimer, &QTimer::timeout, this, &MainWindow::on7fCmdTimerTimeout);
    ui->gw7FConnectBtn->setEnabled(false);
    ui->gw7FStatusLabel->setText(u("未连接网关"));
    ui->gw7FStatusLabel->setStyleSheet(redStyle());
}

void MainWindow::setupSsh()
{
    m_sshConnected = false;
    m_sshPendingOpCode = SshOpNone;
    m_sshCmdTimer = new QTimer(this);
    m_sshCmdTimer->setObjectName("sshCmdTimer");
    m_sshCmdTimer->setSingleShot(true);
    // A coarse timer may fire up to 5 % early; a flow's timeout should not.
    m_sshCmdTimer->setTimerType(Qt::PreciseTimer);
    connect(m_sshCmdTimer, &QTimer::timeout, this, &MainWindow::onSshCmdTimerTimeout);
    connect(ui->sshConnectBtn, &QPushButton::clicked, this, &MainWindow::onSshConnectBtnClicked);
    connect(ui->sshGetMapJsonBtn, &QPushButton::clicked, this, &MainWindow::onSshGetMapJsonBtnClicked);
    connect(ui->sshDownloadMapJsonBtn, &QPushButton::clicked, this,
            &MainWindow::onSshDownloadMapJsonBtnClicked);
    connect(ui->sshRebootGwBtn, &QPushButton::clicked, this, &MainWindow::onSshRebootGwBtnClicked);
    connect(ui->widget, &QtftpWidget::sigRcvOneFile, this, &MainWindow::onGetOneTftpFileOk);
    connect(ui->widget, &QtftpWidget::sigSendOneFile, this, &MainWindow::onPutOneTftpFileOk);
    ui->sshConnectBtn->setEnabled(false);
    setSshLook(false);
}

void MainWindow::setupTables()
{
    m_allDevModel = new QStandardItemModel(0, DevColumns, this);
    m_allDevModel->setHorizontalHeaderLabels(
        {u("AID"), u("DKEY"), u("识别码"), u("型号"), u("类别"), u("名称")});
    QTableView *dv = ui->allDevTableView;
    dv->setModel(m_allDevModel);
    dv->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    dv->setEditTriggers(QAbstractItemView::NoEditTriggers);
    dv->setSelectionMode(QAbstractItemView::SingleSelection);
    dv->setSelectionBehavior(QAbstractItemView::SelectRows);
    dv->setContextMenuPolicy(Qt::CustomContextMenu);
    m_allDevMenu = new QMenu(this);
    QAction *addAct = m_allDevMenu->addAction(u("添加到moubud映射表"));
    QAction *delAct = m_allDevMenu->addAction(u("删除"));
    connect(addAct, &QAction::triggered, this, &MainWindow::addOneDevToMapjsonRow);
    connect(delAct, &QAction::triggered, this, &MainWindow::deleteOnePlcDevDilog);
    connect(dv, &QWidget::customContextMenuRequested, this, &MainWindow::onRBtnAllDevMemu);
    // The check-mapping texts promise double-click as the other way to add.
    connect(dv, &QAbstractItemView::doubleClicked, this, &MainWindow::addOneDevToMapjsonRow);

    m_mapModel = new QStandardItemModel(0, MapColumns, this);
    m_mapModel->setHorizontalHeaderLabels({u("地址"), u("DKEY"), u("识别码"), u("型号")});
    QTableView *mv = ui->mapJsonTableView;
    mv->setModel(m_mapModel);
    mv->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    auto *noEdit = new NoEditItemDelegate(mv);
    for (int c = MapKey; c < MapColumns; ++c)
        mv->setItemDelegateForColumn(c, noEdit);
    mv->setSelectionMode(QAbstractItemView::SingleSelection);
    mv->setSelectionBehavior(QAbstractItemView::SelectRows);
    mv->setContextMenuPolicy(Qt::CustomContextMenu);
    m_mapMenu = new QMenu(this);
    QAction *rmAct = m_mapMenu->addAction(u("删除"));
    connect(rmAct, &QAction::triggered, this, &MainWindow::deleteOneMapjsonRow);
    connect(mv, &QWidget::customContextMenuRequested, this, &MainWindow::onRBtnMapjsonMemu);
    // Double-click on the address edits it; on the other columns it removes the mapping.
    connect(mv, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex &index) {
        if (index.isValid() && index.column() != MapAddr)
            deleteOneMapjsonRow();
    });

    connect(ui->allDevAddToMapBtn, &QPushButton::clicked, this,
            &MainWindow::onAllDevAddToMapBtnClicked);
    connect(ui->compareBtn, &QPushButton::clicked, this, &MainWindow::onCompareBtnClicked);
}

// ---------------------------------------------------------------- discovery

void MainWindow::onGwDetectStartBtnPressed()
{
    if (m_detecting) {
        stopDetect(false);
        return;
    }
    m_detecting = true;
    m_gwIp.clear();
    m_gwDevKey.clear();
    ui->gwInfoComboBox->clear();
    ui->gwInfoComboBox->setEnabled(false);
    ui->gwDetectBtn->setText(u("停止探测"));
    ui->gw7FConnectBtn->setEnabled(false);
    ui->sshConnectBtn->setEnabled(false);
    showStatus(u("探测网关..."));

    const QByteArray request = QByteArrayLiteral("{\"cmd\":\"getAllGateway\"}");
    // The chosen network's own broadcast address keeps the search on that
    // adapter (a limited broadcast leaves by one adapter the system picks).
    const QHostAddress subnet = m_localIpCombo->currentInterface().broadcast;
    const QHostAddress dst = subnet.isNull() ? QHostAddress(QHostAddress::Broadcast) : subnet;
    const qint64 sent = m_detectSocket->writeDatagram(request, dst, kDiscoveryPort);
    if (sent != request.size())
        qDebug() << "gateway discovery send failed:" << m_detectSocket->errorString();
    m_detectTimer->start(kDiscoveryMs);
}

void MainWindow::onGwDetectTimeOut()
{
    stopDetect(true);
}

void MainWindow::stopDetect(bool byTimer)
{
    m_detecting = false;
    ui->gwDetectBtn->setText(u("1.开始探测"));
    m_detectTimer->stop();
    ui->gwInfoComboBox->setEnabled(true);
    const bool found = ui->gwInfoComboBox->count() > 0;
    ui->gw7FConnectBtn->setEnabled(found);
    ui->sshConnectBtn->setEnabled(found);
    if (byTimer && !found)
        showStatus(u("未找到网关: 请检查网线或Wi-Fi、网关电源、本机IP所选网卡与网关是否在同一网段, "
                     "以及防火墙是否放行UDP 9980端口"));
    else if (byTimer)
        showStatus(u("探测网关完毕"));
    else
        ui->statusbar->clearMessage();
}

void MainWindow::onProcessGwDetectPendingDatagram()
{
    // Bounded by what is queued now; later datagrams raise readyRead again.
    while (m_detectSocket->hasPendingDatagrams()) {
        const QNetworkDatagram dg = m_detectSocket->receiveDatagram();
        if (!dg.isValid())
            break;
        QJsonParseError err;
        const QJsonDocument doc = QJsonDocument::fromJson(dg.data(), &err);
        if (err.error != QJsonParseError::NoError || !doc.isObject())
            continue;
        const QJsonObject o = doc.object();
        const QString dk = jsonString(o, "deviceKey");
        QString ip, sn, ver;
        const QJsonValue fn = o.value("function");
        if (fn.isObject())
            ip = jsonString(fn.toObject(), "ip");
        const QJsonValue md = o.value("metadata");
        if (md.isObject()) {
            sn = jsonString(md.toObject(), "sn").left(11);
            ver = jsonString(md.toObject(), "softwareVersion");
        }
        if (dk.isEmpty() || ip.isEmpty() || sn.isEmpty())
            continue;
        // Shown readable; the selection reads the key fields from the item's data.
        const QString shown = ip + "  /  " + sn + "  /  " + (ver.isEmpty() ? u("版本未知") : ver) + "  (" + dk + ")";
        ui->gwInfoComboBox->addItem(shown, dk + "_" + ip + "_" + sn + "_" + ver);
    }
}

void MainWindow::onGwInfoComboBoxCurrentIndexChanged(const QString &arg1)
{
    const QVariant fields =
        ui->gwInfoComboBox->currentText() == arg1 ? ui->gwInfoComboBox->currentData() : QVariant();
    const QStringList parts = (fields.isValid() ? fields.toString() : arg1).split("_", Qt::KeepEmptyParts);
    if (parts.size() != 3 && parts.size() != 4)
        return;
    if (!parts[0].isEmpty() && !parts[1].isEmpty() && !parts[2].isEmpty()) {
        m_gwDevKey = parts[0];
        m_gwIp = parts[1];
        m_gwSnPrefix = parts[2];
        m_localIpCombo->chooseForGateway(m_gwIp);
        m_modbusPanel->setGatewayHost(m_gwIp);
    }
    ui->curGwSoftwareVerLabel->setText(" ");
    ui->curRelaySoftverLabel->setText(" ");
}

// ---------------------------------------------------------------- 7F connection

void MainWindow::onGw7FConnectBtnPressed()
{
    if (m_7fConnected) {
        m_7fSocket->disconnectFromHost();
        return;
    }
    if (m_gwIp.isEmpty()) {
        showStatus(u("错误的网关IP"));
        return;
    }
    ui->gwInfoComboBox->setEnabled(false);
    ui->gwDetectBtn->setEnabled(false);
    ui->gw7FConnectBtn->setEnabled(false);
    ui->gw7FConnectBtn->setText(u("连接中..."));
    ui->gw7FStatusLabel->setText(u("连接网关") + m_gwDevKey + u("中..."));
    ui->statusbar->clearMessage();
    m_rcvBuf.clear();

    m_7fConnecting = true;
    m_7fSocket->abort();
    m_7fSocket->connectToHost(m_gwIp, k7FPort, QIODevice::ReadWrite);
    const bool ok = m_7fSocket->waitForConnected(kConnectWaitMs);
    if (!ok)
        m_7fSocket->abort();
    m_7fConnecting = false;

    if (ok) {
        ui->gw7FConnectBtn->setEnabled(true);
        ui->gw7FConnectBtn->setText(u("2.断开网关连接"));
        m_7fConnected = true;
        showStatus(u("连接成功"));
        ui->gw7FStatusLabel->setText(u("已连接到网关") + m_gwDevKey);
        ui->gw7FStatusLabel->setStyleSheet(greenStyle());
        // Bytes that came with the connection have already been signalled.
        if (m_7fSocket->bytesAvailable() > 0)
            QTimer::singleShot(0, this, &MainWindow::on7FReadyRead);
        return;
    }
    qDebug() << "connect to" << m_gwIp << "failed:" << m_7fSocket->errorString();
    if (!m_sshConnected) {
        ui->gwInfoComboBox->setEnabled(true);
        ui->gwDetectBtn->setEnabled(true);
    }
    ui->gw7FConnectBtn->setEnabled(true);
    ui->gw7FConnectBtn->setText(u("2.连接网关"));
    m_7fConnected = false;
    showStatus(u("连接网关失败"));
    ui->gw7FStatusLabel->setText(u("连接网关") + m_gwDevKey + u("失败"));
    ui->gw7FStatusLabel->setStyleSheet(redStyle());
}

void MainWindow::on7FDisconnected()
{
    if (m_7fConnecting)
        return;  // a failed connect attempt reports itself
    qDebug().noquote() << "disconnected to " + m_gwIp;
    if (!m_sshConnected) {
        ui->gwDetectBtn->setEnabled(true);
        ui->gwInfoComboBox->setEnabled(true);
    }
    ui->gw7FConnectBtn->setEnabled(true);
    ui->gw7FConnectBtn->setText(u("2.连接网关"));
    m_7fConnected = false;
    m_rcvBuf.clear();
    showStatus(u("网关连接断开"));
    ui->gw7FStatusLabel->setText(u("网关连接断开"));
    ui->gw7FStatusLabel->setStyleSheet(redStyle());
    m_allDevModel->removeRows(0, m_allDevModel->rowCount());
    ui->curGwSoftwareVerLabel->setText(QString());
    ui->curRelaySoftverLabel->setText(" ");
}

// ---------------------------------------------------------------- 7F commands

bool MainWindow::send7FCommand(int code)
{
    if (m_pendingOpCode != OpNone) {
        DialogSeam::warning(this, "warning", u("等待其他操作完成!"));
        return false;
    }
    if (!m_7fConnected) {
        DialogSeam::warning(this, "warning", u("请先连接网关!"));
        return false;
    }

    QString dk;
    if (code == OpDeleteDevice) {
        dk = currentDeviceKey();
        if (dk.isNull())
            return false;
        if (!DialogSeam::confirm(this, u("是否删除"), u("该操作会将网关中") + dk + u("删除"),
                                 u("确定"), u("否")))
            return false;
        // The connection may have dropped while the box was open.
        if (!m_7fConnected || m_pendingOpCode != OpNone)
            return false;
    }

    const QString topic = "local/" + m_gwDevKey + "/" + m_gwDevKey + "/command";
    const QString sno = QDateTime::currentDateTime().toString("yyyyMMddhhmmss");
    QString payload;
    int timeoutMs = 0;
    QString status;
    switch (code) {
    case OpReadGwVersion:
        payload = "{\"cmd\":\"read\",\"sno\":\"" + sno + "\"}";
        timeoutMs = kReadVersionTimeoutMs;
        status = u("获取") + m_gwDevKey + u("网关版本...");
        break;
    case OpGetAllDevices:
        payload = "{\"cmd\":\"getAllDeviceKey\",\"sno\":\"" + sno + "\"}";
        timeoutMs = kGetAllDevicesTimeoutMs;
        status = u("拉取") + m_gwDevKey + u("网关中所有设备信息...");
        break;
    case OpDeleteDevice:
        payload = "{\"cmd\":\"delDevice\",\"channel\":\"plc\",\"data\":{\"deviceKey\":\""
                  + jsonEscaped(dk) + "\"},\"sno\":\"" + sno + "\"}";
        timeoutMs = kDeleteDeviceTimeoutMs;
        status = u("在网关") + m_gwDevKey + u("中删除plc设备") + dk + "...";
        break;
    default:
        return false;
    }

    const QByteArray frame = Frame7F::build(topic.toUtf8(), payload.toUtf8());
    if (frame.isEmpty()) {
        qDebug() << "7F frame too large, not sent";
        return false;
    }
    m_pendingOpCode = code;
    m_lastSno = sno;
    m_pendingDelKey = dk;
    m_7fSocket->write(frame);
    ui->centralwidget->setEnabled(false);
    m_7fCmdTimer->start(timeoutMs);
    if (code == OpDeleteDevice) {
        m_debugLog->append(DebugLogView::Command,
                           QTime::currentTime().toString("[HH:mm:ss") + u(" 发送数据:]"), false);
        m_debugLog->append(DebugLogView::Command, topic, false);
        m_debugLog->append(DebugLogView::Command, payload, false);
    }
    showStatus(status);
    return true;
}

void MainWindow::end7FCommand()
{
    m_7fCmdTimer->stop();
    m_pendingOpCode = OpNone;
    ui->centralwidget->setEnabled(!sshFlowHoldsCentral());
    m_lastSno.clear();
    m_pendingDelKey.clear();
}

void MainWindow::on_getGwInfoBtn_clicked()
{
    ui->curGwSoftwareVerLabel->setText(" ");
    send7FCommand(OpReadGwVersion);
}

void MainWindow::on_gw7FGetAllDevInfoBtn_clicked()
{
    send7FCommand(OpGetAllDevices);
}

void MainWindow::deleteOnePlcDevDilog()
{
    send7FCommand(OpDeleteDevice);
}

void MainWindow::on7fCmdTimerTimeout()
{
    m_7fCmdTimer->stop();
    QString text;
    switch (m_pendingOpCode) {
    case OpReadGwVersion:
        text = u("获取网关版本超时!!!");
        break;
    case OpGetAllDevices:
        text = u("获取网关内设备列表超时!!!!");
        break;
    case OpDeleteDevice:
        text = u("删除plc设备超时!\n请重新点击\"获取网关内设备列表\"进行刷新");
        break;
    default:
        break;
    }
    // Ended before the box opens, so a late answer is not taken for this command.
    end7FCommand();
    if (text.isEmpty())
        return;
    showStatus(text);
    DialogSeam::warning(this, "warning", text);
}

void MainWindow::on_gwSndCmdBtn_clicked()
{
    const QByteArray frame = Frame7F::build(ui->gwTopicLineEdit->text().toUtf8(),
                                            ui->gwPayLoadTextEdit->toPlainText().toLocal8Bit());
    if (frame.isEmpty()) {
        qDebug() << "debug frame too large, not sent";
        return;
    }
    m_7fSocket->write(frame);
}

void MainWindow::on_gwClearRcvBufBtn_clicked()
{
    m_debugLog->clear();
}

void MainWindow::appendDebugLog(const QString &paragraph)
{
    // Received 7F frames; the view keeps the last lines rather than wiping at a limit.
    m_debugLog->append(DebugLogView::Report7F, paragraph, false);
}

// ---------------------------------------------------------------- 7F receive

void MainWindow::on7FReadyRead()
{
    m_rcvBuf.append(m_7fSocket->readAll());
    // Every frame in the buffer is handled; each pass consumes bytes, so the
    // loop ends with the buffer.
    for (;;) {
        QByteArray topic, payload;
        const Frame7F::Result r = Frame7F::take(m_rcvBuf, &topic, &payload);
        if (r == Frame7F::NeedMore || r == Frame7F::Garbage)
            return;
        if (r == Frame7F::KeepAlive) {
            m_debugLog->append(DebugLogView::KeepAlive, u("心跳 (已回复)"));
            m_7fSocket->write(Frame7F::keepAlive());
            continue;
        }
        handle7FMessage(topic, payload);
    }
}

void MainWindow::handle7FMessage(const QByteArray &topic, const QByteArray &payload)
{
    appendDebugLog(QTime::currentTime().toString("[HH:mm:ss") + u(" 接收到数据:]\r\n")
                   + QString::fromUtf8(topic) + "\r\n" + QString::fromUtf8(payload) + "\r\n");

    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(payload, &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject())
        return;
    const QJsonObject o = doc.object();
    const QString dk = jsonString(o, "deviceKey");
    const QString cmd = jsonString(o, "cmd");
    const QString sno = jsonString(o, "sno");

    bool accepted = false;
    switch (m_pendingOpCode) {
    case OpReadGwVersion:
        accepted = acceptVersionAnswer(o, dk, cmd, sno);
        break;
    case OpGetAllDevices:
        accepted = acceptDeviceListAnswer(o, cmd);
        break;
    case OpDeleteDevice:
        accepted = acceptDeleteAnswer(o, dk, cmd, sno);
        break;
    default:
        break;
    }
    if (accepted)
        end7FCommand();
}

bool MainWindow::acceptVersionAnswer(const QJsonObject &o, const QString &dk, const QString &cmd,
                                     const QString &sno)
{
    if (!cmd.isEmpty() && cmd != "read")
        return false;
    if (dk != m_gwDevKey || sno != m_lastSno)
        return false;
    const QJsonValue md = o.value("metadata");
    if (!md.isObject())
        return false;
    const QJsonValue ver = md.toObject().value("softwareVersion");
    if (!ver.isString())
        return false;
    ui->curGwSoftwareVerLabel->setText(ver.toString());
    showStatus(u("获取网关版本成功!"));
    return true;
}

bool MainWindow::acceptDeviceListAnswer(const QJsonObject &o, const QString &cmd)
{
    if (cmd != "getAllDeviceKey")
        return false;
    const QJsonValue list = o.value("deviceList");
    if (!list.isArray())
        return false;
    for (const QJsonValue &ev : list.toArray()) {
        if (!ev.isObject())
            continue;
        const QJsonObject e = ev.toObject();
        const QString key = jsonString(e, "deviceKey");
        const QString sn = jsonString(e, "sn").left(11);
        const QJsonValue aidv = e.value("aid");
        const int aid = aidv.isDouble() ? int(aidv.toDouble()) : 0;
        if (key.isEmpty() || sn.isEmpty())
            continue;
        addDeviceRow(aid, key, sn);
    }
    showStatus(u("拉取网关设备列表成功!"));
    return true;
}

bool MainWindow::acceptDeleteAnswer(const QJsonObject &o, const QString &dk, const QString &cmd,
                                    const QString &sno)
{
    if (cmd != "delDevice" || dk != m_gwDevKey || sno != m_lastSno)
        return false;
    const QJsonValue data = o.value("data");
    if (!data.isObject())
        return false;
    const QString delKey = jsonString(data.toObject(), "deviceKey");
    if (delKey != m_pendingDelKey || currentDeviceKey() != m_pendingDelKey)
        return false;
    const QJsonValue ec = o.value("errorCode");
    if (!ec.isDouble())
        return false;
    const int code = int(ec.toDouble());
    if (code == 0) {
        showStatus(u("删除plc设备") + delKey + u("成功!"));
        m_allDevModel->removeRow(ui->allDevTableView->currentIndex().row());
    } else {
        showStatus(u("删除plc设备") + delKey + u("失败!!!!") + GatewayErrorText::text(code));
    }
    return true;
}

QString MainWindow::currentDeviceKey() const
{
    const QModelIndex cur = ui->allDevTableView->currentIndex();
    if (!cur.isValid())
        return QString();
    const QStandardItem *it = m_allDevModel->item(cur.row(), DevKey);
    return it ? it->text() : QString();
}

// ---------------------------------------------------------------- device list and map

void MainWindow::addDeviceRow(int aid, const QString &deviceKey, const QString &serial)
{
    const QString sn = serial.left(11);  // the product code part of the serial number
    QList<QStandardItem *> row;
    row << new QStandardItem(QString::number(aid)) << new QStandardItem(deviceKey)
        << new QStandardItem(sn) << new QStandardItem(DeviceTypeTable::modelName(sn))
        << new QStandardItem(DeviceTypeTable::category(sn)) << new QStandardItem(QString());
    m_allDevModel->appendRow(row);
}

void MainWindow::addMapRow(int address, const QString &deviceKey, const QString &productCode,
                           const QString &modelName)
{
    QList<QStandardItem *> row;
    row << new QStandardItem(QString::number(address)) << new QStandardItem(deviceKey)
        << new QStandardItem(productCode) << new QStandardItem(modelName);
    m_mapModel->appendRow(row);
}

bool MainWindow::mapContainsDevice(const QString &deviceKey)
{
    for (int r = 0; r < m_mapModel->rowCount(); ++r) {
        const QStandardItem *it = m_mapModel->item(r, MapKey);
        if (it && it->text() == deviceKey) {
            qDebug().noquote() << "mapjson allready has " + deviceKey;
            ui->mapJsonTableView->setCurrentIndex(m_mapModel->index(r, 0));
            return true;
        }
    }
    return false;
}

void MainWindow::onRBtnAllDevMemu(QPoint)
{
    if (ui->allDevTableView->currentIndex().isValid())
        m_allDevMenu->popup(QCursor::pos());
}

void MainWindow::onRBtnMapjsonMemu(QPoint)
{
    if (ui->mapJsonTableView->currentIndex().isValid())
        m_mapMenu->popup(QCursor::pos());
}

void MainWindow::addOneDevToMapjsonRow()
{
    const QModelIndex cur = ui->allDevTableView->currentIndex();
    if (!cur.isValid())
        return;
    const int r = cur.row();
    auto text = [this, r](int c) {
        const QStandardItem *it = m_allDevModel->item(r, c);
        return it ? it->text() : QString();
    };
    if (mapContainsDevice(text(DevKey))) {
        DialogSeam::warning(this, "warning", u("modbus地址映射表中已经有该设备!!!!\n") + text(DevAid));
        return;
    }
    addMapRow(-1, text(DevKey), text(DevSn), text(DevModel));
}

void MainWindow::deleteOneMapjsonRow()
{
    const QModelIndex cur = ui->mapJsonTableView->currentIndex();
    if (!cur.isValid())
        return;
    const int r = cur.row();
    if (!DialogSeam::confirm(this, u("是否确定删除该modbus映射"),
                             u("只会从<modbus地址映射表>中删除，并不从网关中删除载波设备,\r\n"
                               "除非点击<4.下发modubs地址映射>,否则不会影响网关中的modbus地址映射表"),
                             u("删除"), u("否")))
        return;
    m_mapModel->removeRow(r);
}

void MainWindow::onAllDevAddToMapBtnClicked()
{
    if (m_allDevModel->rowCount() == 0) {
        DialogSeam::warning(this, "warning", u("无设备!!请先获取网关中设备列表\n"));
        return;
    }
    if (!DialogSeam::confirm(
            this, u("是否确定重建modbus映射"),
            u("该操作会将左侧<modbus地址映射表>清空，并为上方<网关中PLC设备映射表>中所有设备建立"
              "modbus对外地址\r\n除非你最后点击<4.下发modbus地址映射>，否则该<批量映射>"
              "操作不会影响网关中的modbus地址配置"),
            u("确定"), u("否")))
        return;
    m_mapModel->removeRows(0, m_mapModel->rowCount());
    for (int i = 0; i < m_allDevModel->rowCount(); ++i) {
        const QString dk = m_allDevModel->item(i, DevKey)->text();
        const QString sn = m_allDevModel->item(i, DevSn)->text();
        const QString model = m_allDevModel->item(i, DevModel)->text();
        // The service serves the gateway itself as unit 255.
        const int address = (sn == QLatin1String(DeviceTypeTable::kGatewayProductCode)) ? 255 : i;
        addMapRow(address, dk, sn, model);
    }
}

void MainWindow::onCompareBtnClicked()
{
    if (m_allDevModel->rowCount() == 0) {
        DialogSeam::warning(this, "warning",
                            u("无设备!!请先获取网关中设备列表+获取modbus地址配置\n"));
        return;
    }
    bool anyMissing = false;
    for (int i = 0; i < m_allDevModel->rowCount(); ++i) {
        QStandardItem *cell = m_allDevModel->item(i, DevKey);
        QFont f = cell->font();
        if (mapContainsDevice(cell->text())) {
            cell->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
            f.setWeight(QFont::Normal);
        } else {
            qDebug().noquote() << "mapjson not  has " + cell->text();
            cell->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            f.setWeight(QFont::Bold);
            anyMissing = true;
        }
        cell->setFont(f);
    }
    if (anyMissing) {
        DialogSeam::warning(this, "Warn",
                            u("上方<网关中PLC设备列表>中加黑Dkey设备未导出modbus地址映射!\r\n"
                              "请选择某一设备后右键(或双击)添加到<modbus地址映射>表中，并手动分配modbus地址"));
    } else {
        DialogSeam::information(this, "Info",
                                u("所有设备已导出modbus映射关系,请仅在<modbus地址映射>表中的修改"
                                  "modbus地址或右键(或双击)删除某设备的映射"));
    }
}

bool MainWindow::writeMapJson(const QString &path, QString *error)
{
    return MapJsonFile::write(m_mapModel, path, error);
}

bool MainWindow::readMapJson(const QString &path)
{
    QFile f(path);
    QByteArray text;
    if (f.open(QIODevice::ReadOnly))
        text = f.readAll();
    QVector<MapJsonFile::Node> nodes;
    const int err = MapJsonFile::parse(text, &nodes);
    if (err != 0) {
        DialogSeam::warning(this, "warning",
                            u("获取到的设备modbus地址配置文件 解析错误%1!").arg(err));
        return false;
    }
    for (const MapJsonFile::Node &n : nodes)
        addMapRow(n.mbId, n.mqttDk, n.sntype, n.devtype);
    return true;
}

// ---------------------------------------------------------------- SSH connection

void MainWindow::setSshLook(bool connected)
{
    ui->sshStatusLabel->setStyleSheet(connected ? greenStyle() : redStyle());
    ui->sshConnectBtn->setText(connected ? u("3.断开ssh连接") : u("3.连接ssh服务器"));
}

void MainWindow::onSshConnectBtnClicked()
{
    if (m_sshConnected) {
        m_sshConnected = false;
        emit sigDisconnecteSsh();
        ui->sshStatusLabel->setText(u("未连接到ssh服务器"));
        ui->sshConnectBtn->setEnabled(true);
        setSshLook(false);
        if (!m_7fConnected) {
            ui->gwDetectBtn->setEnabled(true);
            ui->gwInfoComboBox->setEnabled(true);
        }
        return;
    }
    ui->sshStatusLabel->setText(u("连接到") + m_gwIp + u(" ssh服务器..."));
    ui->sshConnectBtn->setText(u("连接中..."));
    ui->sshConnectBtn->setEnabled(false);
    // The gateway must not change under a connection being made.
    ui->gwDetectBtn->setEnabled(false);
    ui->gwInfoComboBox->setEnabled(false);

    auto *client = new CConnectionForSshClient(
        m_gwIp, kSshPort, CConnectionForSshClient::passwordForSerialPrefix(m_gwSnPrefix), "root");
    client->init();
    connect(client, &CConnectionForSshClient::sigConnectStateChanged, this,
            &MainWindow::onSshConnectStateChanged);
    connect(client, &CConnectionForSshClient::sigDataArrived, this,
            &MainWindow::onSshSlotDataArrived);
    connect(client, &CConnectionForSshClient::sigErrorArrived, this, [this](QString text) {
        m_sshConsole->appendStderr(text);
        m_debugLog->append(DebugLogView::Ssh, text, false);
    });
    connect(this, &MainWindow::sigSendSshCmd, client,
            QOverload<QString>::of(&CConnectionForSshClient::slotSend));
    connect(this, &MainWindow::sigDisconnecteSsh, client,
            &CConnectionForSshClient::slotDisconnected);
}

void MainWindow::onSshConnectStateChanged(bool bState, QString strIp, int nPort, QString errStr)
{
    Q_UNUSED(strIp);
    Q_UNUSED(nPort);
    m_sshConnected = bState;
    ui->sshStatusLabel->setText(bState ? u("已ssh连接到") + m_gwIp : u("未连接到ssh服务器"));
    if (!errStr.isEmpty())
        ui->sshStatusLabel->setText(errStr + m_gwIp);
    ui->sshConnectBtn->setEnabled(true);
    setSshLook(bState);
    if (bState) {
        ui->gwDetectBtn->setEnabled(false);
        ui->gwInfoComboBox->setEnabled(false);
    } else if (!m_7fConnected) {
        ui->gwDetectBtn->setEnabled(true);
        ui->gwInfoComboBox->setEnabled(true);
    }
}

void MainWindow::onSshSlotDataArrived(QString strMsg, QString strIp, int nPort)
{
    Q_UNUSED(strIp);
    Q_UNUSED(nPort);
    m_sshConsole->appendStdout(strMsg);
    m_debugLog->append(DebugLogView::Ssh, strMsg, false);
}

// ---------------------------------------------------------------- SSH flows

void MainWindow::setupRemote()
{
    // Root edits arrive once per key; the check (and its boxes) waits for a pause.
    m_rootCheckTimer = new QTimer(this);
    m_rootCheckTimer->setSingleShot(true);
    connect(m_rootCheckTimer, &QTimer::timeout, this, &MainWindow::onTftpRootDirChanged);
    connect(ui->widget, &QtftpWidget::sigTftpRootDirChanged, m_rootCheckTimer,
            [this]() { m_rootCheckTimer->start(kRootCheckDelayMs); });
    onTftpRootDirChanged();
}

QString MainWindow::tftpRoot() const
{
    return ui->widget->rootDir();
}

int MainWindow::sshFlowTimeoutMs(int code)
{
    switch (code) {
    case SshOpUpgradeGw: return 52000;
    case SshOpGetRelayVer: return 3000;
    default: return 8000;
    }
}

bool MainWindow::sshFlowHoldsCentral() const
{
    return m_sshPendingOpCode == SshOpGetMapJson || m_sshPendingOpCode == SshOpPutMapJson
           || m_sshPendingOpCode == SshOpGetVrvCfg || m_sshPendingOpCode == SshOpPutVrvCfg;
}

bool MainWindow::sshFlowMayStart()
{
    if (m_sshPendingOpCode != SshOpNone) {
        DialogSeam::warning(this, "warning", u("等待其他操作完成!"));
        return false;
    }
    return sshLinkUp();
}

bool MainWindow::sshLinkUp()
{
    if (!m_sshConnected) {
        DialogSeam::warning(this, "warning", u("请先连接ssh服务器!"));
        return false;
    }
    return true;
}

void MainWindow::startSshFlow(int code, const QString &expectedFile, const QString &command)
{
    m_sshPendingOpCode = code;
    m_sshPendingFile = expectedFile;
    if (sshFlowHoldsCentral())
        ui->centralwidget->setEnabled(false);
    else
        ui->sshConnectBtn->setEnabled(false);
    emit sigSendSshCmd(command);
    m_sshCmdTimer->start(sshFlowTimeoutMs(code));
}

void MainWindow::endSshFlow()
{
    m_sshCmdTimer->stop();
    m_sshPendingOpCode = SshOpNone;
    m_sshPendingFile.clear();
    ui->sshConnectBtn->setEnabled(true);
    // A 7F command still waiting keeps the window busy.
    ui->centralwidget->setEnabled(m_pendingOpCode == OpNone);
}

void MainWindow::backupInTftpRoot(const QString &file)
{
    const QDir root(tftpRoot());
    const QString name = m_gwDevKey + "-" + file;
    if (!root.exists(name))
        return;
    const QString stamp = QDateTime::currentDateTime().toString("yyyyMMddhhmmss");
    const QString backup = m_gwDevKey + "-" + stamp + "-" + file;
    if (!QFile::copy(root.filePath(name), root.filePath(backup)))
        qDebug().noquote() << "backup of" << root.filePath(name) << "to" << backup << "failed";
}

void MainWindow::onSshGetMapJsonBtnClicked()
{
    if (!sshFlowMayStart())
        return;
    m_mapModel->removeRows(0, m_mapModel->rowCount());
    showStatus(u("获取设备modbus地址配置...."));
    backupInTftpRoot("map.json");
    startSshFlow(SshOpGetMapJson, m_gwDevKey + "-map.json",
                 SshCommands::getMapJson(m_gwDevKey, m_localIp));
}

void MainWindow::onSshDownloadMapJsonBtnClicked()
{
    if (!sshFlowMayStart())
        return;
    const QString name = m_gwDevKey + "-map.json";
    const QString path = tftpRoot() + "/" + name;
    if (!DialogSeam::confirm(this, u("是否下载modbus地址映射"),
                             u("该操作会将左侧<modbus地址映射表>生成为 {") + path
                                 + u("} 并下载到网关中, 覆盖网关中原的modbus地址映射配置"),
                             u("确定"), u("否")))
        return;
    // The link may have changed while the box was open.
    if (m_sshPendingOpCode != SshOpNone || !m_sshConnected)
        return;
    showStatus(u("生成modbus地址配置  ") + path + u("  ...."));
    QString error;
    if (!writeMapJson(path, &error)) {
        // Never let the gateway fetch an older file of that name instead.
        QFile::remove(path);
        showStatus(u("生成modbus地址配置失败 ") + path);
        DialogSeam::warning(this, "warning", u("生成modbus地址配置失败 ") + path + "\n" + error);
        return;
    }
    showStatus(u("下发设备modbus地址配置...."));
    startSshFlow(SshOpPutMapJson, name, SshCommands::putMapJson(m_gwDevKey, m_localIp));
}

void MainWindow::onSshRebootGwBtnClicked()
{
    if (!sshFlowMayStart())
        return;
    emit sigSendSshCmd(SshCommands::rebootGateway());
}

void MainWindow::on_sshGetVrvCfgBtn_clicked()
{
    if (!sshFlowMayStart())
        return;
    showStatus(u("获取设备多联机空调控制器配置...."));
    backupInTftpRoot("vrvC.json");
    startSshFlow(SshOpGetVrvCfg, m_gwDevKey + "-vrvC.json",
                 SshCommands::getVrvCfg(m_gwDevKey, m_localIp));
}

void MainWindow::on_sshDownloadVrvCfgBtn_clicked()
{
    if (!sshFlowMayStart())
        return;
    const QString name = m_gwDevKey + "-vrvC.json";
    const QString path = tftpRoot() + "/" + name;
    if (!DialogSeam::confirm(this, u("是否下载多联机空调配置"),
                             u("该操作会将{") + path + u("} 下载到网关中, 覆盖网关中原的多联机空调配置"),
                             u("确定"), u("否")))
        return;
    if (m_sshPendingOpCode != SshOpNone || !m_sshConnected)
        return;
    showStatus(u("下发设备多联机空调配置...."));
    startSshFlow(SshOpPutVrvCfg, name, SshCommands::putVrvCfg(m_gwDevKey, m_localIp));
}

void MainWindow::on_sshRebootMbBtn_clicked()
{
    if (!sshFlowMayStart())
        return;
    emit sigSendSshCmd(SshCommands::restartRelay());
}

void MainWindow::on_getRelaySoftverBtn_clicked()
{
    // A second flow would take over the pending one's transfer report.
    if (m_sshPendingOpCode != SshOpNone) {
        DialogSeam::warning(this, "warning", u("等待其他操作完成!"));
        return;
    }
    ui->curRelaySoftverLabel->setText(" ");
    if (!sshLinkUp())
        return;
    showStatus(u("获取设备modbus服务版本...."));
    startSshFlow(SshOpGetRelayVer, m_gwDevKey + "-ver.txt",
                 SshCommands::getRelayVersion(m_gwDevKey, m_localIp));
}

void MainWindow::on_upgradeGwSoftwareBtn_clicked()
{
    if (m_sshPendingOpCode != SshOpNone) {
        DialogSeam::warning(this, "warning", u("等待其他操作完成!"));
        return;
    }
    const QString target = ui->gwDstVerLabel->text();
    const QString current = ui->curGwSoftwareVerLabel->text();
    auto refuse = [this](const QString &text) { DialogSeam::warning(this, "warning", text); };
    if (target.isEmpty() || !target.contains("QXGW"))
        return refuse(u("请检查") + tftpRoot() + u("目录下网关升级包!"));
    if (current.isEmpty() || !current.contains("QXGW"))
        return refuse(u("请先点击<获得网关信息>!"));
    if (!sshLinkUp())
        return;
    if (target.contains("QXGW-RJ-MQTT-T3")) {
        if (!current.contains("QXGW-RJ-MQTT-T3"))
            return refuse(u("网关硬件平台与升级包硬件平台(T3)不一致"));
    } else if (target.contains("QXGW-S-WFRJ-MQTT")) {
        if (!current.contains("QXGW-S-WFRJ-MQTT"))
            return refuse(u("网关硬件平台与升级包硬件平台(v3s)不一致"));
    } else {
        return refuse(u("未识别的目标版本硬件平台"));
    }
    if (current == target)
        return refuse(u("当前网关版本与升级包版本一致，不需要更新!"));
    if (!DialogSeam::confirm(this, u("是否更新网关程序"), u("该操作将网关") + current + u("升级为") + target,
                             u("确定"), u("否")))
        return;
    if (m_sshPendingOpCode != SshOpNone || !m_sshConnected)
        return;
    // The package may have changed since it was checked.
    if (!UpgradePackage::check(tftpRoot(), "gwver.txt", "gateway.exe").matches()) {
        checkPackages();
        return;
    }
    showStatus(u("下发网关程序...."));
    startSshFlow(SshOpUpgradeGw, "gateway.exe", SshCommands::putGatewayPackage(m_localIp));
}

void MainWindow::on_upgradeRelayBtn_clicked()
{
    if (m_sshPendingOpCode != SshOpNone) {
        DialogSeam::warning(this, "warning", u("等待其他操作完成!"));
        return;
    }
    const QString target = ui->rlyDstVerLabel->text();
    const QString current = ui->curRelaySoftverLabel->text();
    auto refuse = [this](const QString &text) { DialogSeam::warning(this, "warning", text); };
    if (target.isEmpty() || !target.contains("QXGW"))
        return refuse(u("请检查") + tftpRoot() + u("目录下modbus升级包"));
    if (!sshLinkUp())
        return;
    if (!current.isEmpty() && current == target)
        return refuse(u("modbus不需要更新!"));
    // A gateway without a known service version (none fetched, none
    // installed yet) takes any platform, so a first installation works.
    const bool known = current.contains("QXGW-");
    if (target.contains("QXGW-RJ-RELAY-T3")) {
        if (known && !current.contains("QXGW-RJ-RELAY-T3"))
            return refuse(u("网关硬件平台与modbus升级包硬件平台(T3)不一致"));
    } else if (target.contains("QXGW-S-WFRJ-RELAY-V3S")) {
        if (known && !current.contains("QXGW-S-WFRJ-RELAY-V3S"))
            return refuse(u("网关硬件平台与modbus升级包硬件平台(V3S)不一致"));
    } else {
        return refuse(u("未识别的目标版本硬件平台"));
    }
    if (!DialogSeam::confirm(this, u("是否更新modbus程序"),
                             u("该操作将网关中modbus替换为为目标版本modbus程序"), u("确定"), u("否")))
        return;
    if (m_sshPendingOpCode != SshOpNone || !m_sshConnected)
        return;
    if (!UpgradePackage::check(tftpRoot(), "mbver.txt", "modbus.zip").matches()) {
        checkPackages();
        return;
    }
    showStatus(u("下发modbus程序...."));
    startSshFlow(SshOpUpgradeRelay, "modbus.zip", SshCommands::putRelayPackage(m_localIp));
}

void MainWindow::onTftpRootDirChanged()
{
    m_rootCheckTimer->stop();
    checkPackages();
}

void MainWindow::checkPackages()
{
    const QString root = tftpRoot();
    // At start-up the findings go into the upgrade tab, not into boxes before the window.
    const auto warnPkg = [this](QLabel *label, const QString &text) {
        if (m_startupPackageCheck) {
            label->setText(text.section("\r\n", 0, 0));
            label->setToolTip(text);
        } else {
            DialogSeam::warning(this, "warn", text);
        }
    };
    ui->gwDstVerLabel->setToolTip(QString());
    ui->rlyDstVerLabel->setToolTip(QString());
    ui->gwDstVerLabel->setText(u("未获得电脑中网关升级包版本，无法升级网关程序"));
    ui->rlyDstVerLabel->setText(u("未获得电脑中modbus服务升级包版本，无法升级modbus服务"));
    ui->upgradeGwSoftwareBtn->setEnabled(false);
    ui->upgradeRelayBtn->setEnabled(false);

    const UpgradePackage gw = UpgradePackage::check(root, "gwver.txt", "gateway.exe");
    if (!gw.versionFileRead) {
        warnPkg(ui->gwDstVerLabel,
                u("未找到网关升级包,请检查") + root
                    + u("下是否有gateway.exe gwver.txt!\r\n如不需要升级网关可忽略该告警."));
    } else {
        qDebug().noquote() << "gateway md5=" + gw.digestInFile + " in gwver.txt";
        qDebug().noquote() << "gateway md5=" + gw.digestComputed + " for gateway.exe";
        if (gw.matches()) {
            ui->gwDstVerLabel->setText(gw.version);
            ui->upgradeGwSoftwareBtn->setEnabled(true);
        } else {
            warnPkg(ui->gwDstVerLabel,
                    u("网关程序md5校验错误，请检查修正") + root
                        + u("/gateway.exe\r\n如不需要升级网关可忽略该告警."));
        }
    }

    const UpgradePackage mb = UpgradePackage::check(root, "mbver.txt", "modbus.zip");
    if (!mb.versionFileRead) {
        warnPkg(ui->rlyDstVerLabel,
                u("未找到modbus升级包,请检查") + root
                    + u("下是否有modbus.zip mbver.txt!\r\n如不需要升级modbus服务可忽略该告警."));
    } else {
        qDebug().noquote() << "modbus md5=" + mb.digestInFile + " in mbver.txt";
        qDebug().noquote() << "modbus md5=" + mb.digestComputed + " for modbus.zip";
        if (mb.matches()) {
            ui->rlyDstVerLabel->setText(mb.version);
            ui->upgradeRelayBtn->setEnabled(true);
        } else {
            warnPkg(ui->rlyDstVerLabel,
                    u("modbus程序md5校验错误，请检查修正") + root
                        + u("/modbus.zip\r\n如不需要升级modbus服务可忽略该告警."));
        }
    }
}

void MainWindow::onGetOneTftpFileOk(QString name)
{
    const int code = m_sshPendingOpCode;
    if (code != SshOpGetMapJson && code != SshOpGetRelayVer && code != SshOpGetVrvCfg)
        return;
    // Any client may use the server: only the file this flow asked for ends it.
    if (name != m_sshPendingFile)
        return;
    endSshFlow();
    const QString path = tftpRoot() + "/" + name;
    switch (code) {
    case SshOpGetMapJson:
        showStatus(u("获取设备modbus地址配置成功") + path);
        readMapJson(path);
        break;
    case SshOpGetRelayVer: {
        showStatus(u("获取设备modbus服务版本成功") + path);
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) {
            DialogSeam::warning(this, "warning", u("解析modbus服务版本失败1!"));
            break;
        }
        const QString line = QTextStream(&f).readLine();
        qDebug().noquote() << "modbus mbVer=" + line;
        ui->curRelaySoftverLabel->setText(line);
        break;
    }
    case SshOpGetVrvCfg:
        showStatus(u("获取设备多联机空调控制器配置成功") + path);
        DialogSeam::information(this, "Info",
                                u("获取设备多联机空调控制器配置成功") + name
                                    + u("\n请修改配置文件，确认无误后再下载配置"));
        break;
    }
}

void MainWindow::onPutOneTftpFileOk(QString name)
{
    const int code = m_sshPendingOpCode;
    if (code != SshOpPutMapJson && code != SshOpUpgradeGw && code != SshOpUpgradeRelay
        && code != SshOpPutVrvCfg)
        return;
    if (name != m_sshPendingFile)
        return;
    endSshFlow();
    switch (code) {
    case SshOpPutMapJson:
        showStatus(u("下发modbus地址配置成功") + name);
        emit sigSendSshCmd(SshCommands::installMapJson(m_gwDevKey, SshCommands::gatewayStamp()));
        DialogSeam::information(this, "Info", u("下发modbus地址配置成功") + name);
        break;
    case SshOpUpgradeGw:
        showStatus(u("下发网关程序成功 ") + name);
        emit sigSendSshCmd(SshCommands::installGatewayPackage());
        DialogSeam::information(this, "Info", u("更新网关程序成功 ") + name + u(" ,等待网关程序自动重启..."));
        break;
    case SshOpUpgradeRelay:
        showStatus(u("下发modbus程序成功 ") + name);
        emit sigSendSshCmd(SshCommands::installRelayPackage());
        DialogSeam::information(this, "Info", u("更新modbus程序成功 ") + name + u(" ,等待modbus程序自动重启..."));
        break;
    case SshOpPutVrvCfg:
        showStatus(u("下发多联机空调配置成功 ") + name);
        emit sigSendSshCmd(SshCommands::installVrvCfg(m_gwDevKey, SshCommands::gatewayStamp()));
        DialogSeam::information(this, "Info",
                                u("下发多联机空调配置成功 ") + name + u(" ,等待modbus程序自动重启加载新配置..."));
        break;
    }
}

void MainWindow::onSshCmdTimerTimeout()
{
    m_sshCmdTimer->stop();
    QString text;
    switch (m_sshPendingOpCode) {
    case SshOpGetMapJson: text = u("获取设备modbus地址配置超时!!!!"); break;
    case SshOpPutMapJson: text = u("下发设备modbus地址配置超时!!!"); break;
    case SshOpUpgradeGw: text = u("下发网关程序超时!!!"); break;
    case SshOpGetRelayVer: text = u("获取设备modbus服务版本超时!!!!"); break;
    case SshOpUpgradeRelay: text = u("下发modbus程序超时!!!"); break;
    // The VRV flows fail just as visibly as the others.
    case SshOpGetVrvCfg: text = u("获取设备多联机空调控制器配置超时!!!"); break;
    case SshOpPutVrvCfg: text = u("下发设备多联机空调配置超时!!!"); break;
    default: break;
    }
    // Ended before the box opens, so a late transfer report is ignored.
    endSshFlow();
    if (text.isEmpty())
        return;
    showStatus(text);
    DialogSeam::warning(this, "warning", text);
}

// ---------------------------------------------------------------- laptop panels

void MainWindow::setupLaptopPanels()
{
    // The PC's network beside the local IP: TFTP commands carry its address
    // and discovery broadcasts on it.
    m_localIpCombo = new LocalIpComboBox(ui->gwTabContents);
    m_localIpCombo->setObjectName("localIpCombo");
    int row = 0, col = 0, rowSpan = 0, colSpan = 0;
    ui->gridLayout_gw->getItemPosition(ui->gridLayout_gw->indexOf(ui->localIpLabel), &row, &col, &rowSpan,
                                       &colSpan);
    ui->gridLayout_gw->removeWidget(ui->localIpLabel);
    ui->gridLayout_gw->addWidget(ui->localIpLabel, row, col);
    ui->gridLayout_gw->addWidget(m_localIpCombo, row, col + 1);
    const auto useIp = [this](const QString &ip) {
        m_localIp = ip;
        ui->localIpLabel->setText(u("本机IP:") + m_localIp);
    };
    if (!m_localIpCombo->currentIp().isEmpty())
        useIp(m_localIpCombo->currentIp());
    connect(m_localIpCombo, &LocalIpComboBox::localIpChanged, this, useIp);

    // Debug area: the receive log keeps its last lines and filters them; the
    // SSH shell gets a console of its own below it.
    m_debugLog = new DebugLogView(ui->debugGroup, ui->gwRecTextEdit);
    m_sshConsole = new SshConsoleView(ui->debugGroup);
    auto *split = new QSplitter(Qt::Vertical, ui->debugGroup);
    split->setObjectName("debugSplitter");
    split->setChildrenCollapsible(false);
    split->addWidget(m_debugLog);
    split->addWidget(m_sshConsole);
    ui->verticalLayout_dbg->insertWidget(0, split, 1);

    // Transfers show in the status bar too: a 50 s upload is started from
    // another tab than the TFTP panel's.
    auto *bar = new QProgressBar(this);
    bar->setObjectName("statusTransferBar");
    bar->setMaximumWidth(160);
    bar->setTextVisible(true);
    bar->hide();
    auto *barText = new QLabel(this);
    barText->setObjectName("statusTransferLabel");
    barText->hide();
    ui->statusbar->addPermanentWidget(barText);
    ui->statusbar->addPermanentWidget(bar);
    auto *hideLater = new QTimer(this);
    hideLater->setSingleShot(true);
    connect(hideLater, &QTimer::timeout, bar, &QWidget::hide);
    connect(hideLater, &QTimer::timeout, barText, &QWidget::hide);
    connect(ui->widget, &QtftpWidget::sigTransferProgress, this, [bar, barText, hideLater](TftpProgress p) {
        hideLater->stop();
        bar->setRange(0, p.total > 0 || p.finished ? 100 : 0);
        bar->setValue(p.finished ? 100 : qMax(0, p.percent()));
        barText->setText(p.text());
        bar->show();
        barText->show();
        if (p.finished || p.failed)
            hideLater->start(5000);
    });

    // Coloured buttons look disabled when they are.
    DisabledLook::apply(this);
}

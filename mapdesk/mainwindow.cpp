#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "devicetypetable.h"
#include "dialogseam.h"
#include "frame7f.h"
#include "gatewayerrortext.h"
#include "mapjsonfile.h"
#include "modbusasswidget.h"
#include "noedititemdelegate.h"

#include <QAction>
#include <QCursor>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QHeaderView>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMenu>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QStandardItemModel>
#include <QTcpSocket>
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
    ui->workTabWidget->addTab(new ModbusAssWidget(ui->workTabWidget), u("modbus助手v1.0"));
    resize(790, 900);
    ui->workTabWidget->setCurrentIndex(0);

    findLocalIp();
    ui->localIpLabel->setText(u("本机IP:") + m_localIp);

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
    ui->sshConnectBtn->setEnabled(false);
    ui->sshStatusLabel->setStyleSheet(redStyle());
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
    const qint64 sent = m_detectSocket->writeDatagram(request, QHostAddress::Broadcast, kDiscoveryPort);
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
    if (byTimer)
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
        ui->gwInfoComboBox->addItem(dk + "_" + ip + "_" + sn + "_" + ver);
    }
}

void MainWindow::onGwInfoComboBoxCurrentIndexChanged(const QString &arg1)
{
    const QStringList parts = arg1.split("_", Qt::KeepEmptyParts);
    if (parts.size() != 3 && parts.size() != 4)
        return;
    if (!parts[0].isEmpty() && !parts[1].isEmpty() && !parts[2].isEmpty()) {
        m_gwDevKey = parts[0];
        m_gwIp = parts[1];
        m_gwSnPrefix = parts[2];
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
        appendDebugLog(QTime::currentTime().toString("[HH:mm:ss") + u(" 发送数据:]"));
        appendDebugLog(topic);
        appendDebugLog(payload);
    }
    showStatus(status);
    return true;
}

void MainWindow::end7FCommand()
{
    m_7fCmdTimer->stop();
    m_pendingOpCode = OpNone;
    ui->centralwidget->setEnabled(true);
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
    ui->gwRecTextEdit->clear();
}

void MainWindow::appendDebugLog(const QString &paragraph)
{
    if (ui->gwRecTextEdit->toPlainText().size() > kDebugLogLimit)
        ui->gwRecTextEdit->clear();
    ui->gwRecTextEdit->append(paragraph);
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

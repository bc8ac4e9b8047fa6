#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "acleditor.h"
#include "debuglogview.h"
#include "addressmapeditor.h"
#include "devicelisttable.h"
#include "dialogseam.h"
#include "disabledlook.h"
#include "gateway7fclient.h"
#include "gatewaydiscovery.h"
#include "gatewayerrortext.h"
#include "localinterfaces.h"
#include "maptablemodel.h"
#include "modbusasswidget.h"
#include "pointlistview.h"
#include "qtftpwidget.h"
#include "sshcommands.h"
#include "upgradepackage.h"
#include "upgraderules.h"
#include "remoteflows.h"
#include "remoteactions.h"
#include "remotesession.h"
#include "mapcheck.h"

#include <QAction>
#include <QCursor>
#include <QDateTime>
#include <QDir>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QFileDialog>
#include <QCloseEvent>
#include <QDialog>
#include <QVBoxLayout>
#include <QHeaderView>
#include <QHostAddress>
#include <QLabel>
#include <QMenu>
#include <QNetworkInterface>
#include <QProgressBar>
#include <QScreen>
#include <QSplitter>
#include <QStandardItemModel>
#include <QTcpSocket>
#include <QTextStream>
#include <QTime>
#include <QTimer>

namespace {
const char kGreen[] = "QLabel{background-color:#00ff00;border-radius:10px;}";
const char kRed[] = "QLabel{background-color:#ff0000;border-radius:10px;}";

// Which entry of the search's list a gateway list item shows.
const int kFoundIndexRole = Qt::UserRole + 2;

QString u(const char *utf8)
{
    return QString::fromUtf8(utf8);
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
    m_baseTitle = windowTitle();
    m_modbusPanel = new ModbusAssWidget(ui->workTabWidget);
    ui->workTabWidget->addTab(m_modbusPanel, u("modbus助手v1.0"));
    resize(790, 900);
    // Laptop screens are often lower than that: open within the free area (title bar included).
    if (const QScreen *scr = screen()) {
        const QRect avail = scr->availableGeometry();
        resize(qMin(width(), avail.width()), qMin(height(), avail.height() - 40));
    }
    ui->workTabWidget->setCurrentIndex(0);

    m_discovery = new GatewayDiscovery(this);
    m_discovery->setTarget([this]() { return discoveryAddress(); });
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
    setupAcl();
}

MainWindow::~MainWindow()
{
    // A socket torn down with the window still signals; nothing may reach
    // the half-destroyed window.
    m_7f->disconnect(this);
    m_discovery->disconnect(this);
    // A live SSH client (connected or still connecting) ends its thread
    // and releases itself.
    m_session->disconnect(this);
    delete m_session;
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
    connect(ui->gwDetectBtn, &QPushButton::clicked, this, &MainWindow::onGwDetectStartBtnPressed);
    connect(m_discovery, &GatewayDiscovery::searchTimedOut, this, &MainWindow::onGwDetectTimeOut);
    connect(m_discovery, &GatewayDiscovery::gatewayFound, this, &MainWindow::onProcessGwDetectPendingDatagram);
    connect(ui->gwInfoComboBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this](int index) {
                onGwInfoComboBoxCurrentIndexChanged(ui->gwInfoComboBox->itemText(index));
            });
}

void MainWindow::setup7F()
{
    m_7f = new Gateway7FClient(this);
    connect(ui->gw7FConnectBtn, &QPushButton::clicked, this, &MainWindow::onGw7FConnectBtnPressed);
    connect(m_7f, &Gateway7FClient::connected, this, &MainWindow::on7FConnected);
    connect(m_7f, &Gateway7FClient::connectFailed, this, &MainWindow::on7FConnectFailed);
    connect(m_7f, &Gateway7FClient::disconnected, this, &MainWindow::on7FDisconnected);
    connect(m_7f, &Gateway7FClient::frameReceived, this, [this](const QByteArray &topic, const QByteArray &payload) {
        appendDebugLog(QTime::currentTime().toString("[HH:mm:ss") + u(" 接收到数据:]\r\n")
                       + QString::fromUtf8(topic) + "\r\n" + QString::fromUtf8(payload) + "\r\n");
    });
    connect(m_7f, &Gateway7FClient::frameSent, this, [this](const QString &topic, const QString &payload, int code) {
        if (code != Gateway7FClient::DeleteDevice)
            return;
        m_debugLog->append(DebugLogView::Command, QTime::currentTime().toString("[HH:mm:ss") + u(" 发送数据:]"),
                           false);
        m_debugLog->append(DebugLogView::Command, topic, false);
        m_debugLog->append(DebugLogView::Command, payload, false);
    });
    connect(m_7f, &Gateway7FClient::keepAliveAnswered, this,
            [this]() { m_debugLog->append(DebugLogView::KeepAlive, u("心跳 (已回复)")); });
    connect(m_7f, &Gateway7FClient::versionAnswered, this, [this](const QString &version) {
        ui->curGwSoftwareVerLabel->setText(version);
        showStatus(u("获取网关版本成功!"));
    });
    connect(m_7f, &Gateway7FClient::deviceListAnswered, this, &MainWindow::onDeviceListAnswered);
    connect(m_7f, &Gateway7FClient::deleteAnswered, this, [this](const QString &dk, int code) {
        if (code != 0) {
            showStatus(u("删除plc设备") + dk + u("失败!!!!") + GatewayErrorText::text(code));
            return;
        }
        showStatus(u("删除plc设备") + dk + u("成功!"));
        m_devices->removeDevice(dk);
    });
    connect(m_7f, &Gateway7FClient::commandTimedOut, this, [this](int code) {
        QString text;
        switch (code) {
        case Gateway7FClient::ReadVersion: text = u("获取网关版本超时!!!"); break;
        case Gateway7FClient::GetAllDevices: text = u("获取网关内设备列表超时!!!!"); break;
        case Gateway7FClient::DeleteDevice: text = u("删除plc设备超时!\n请重新点击\"获取网关内设备列表\"进行刷新"); break;
        default: return;
        }
        ui->centralwidget->setEnabled(!sshFlowHoldsCentral());
        showStatus(text);
        DialogSeam::warning(this, "warning", text);
    });
    connect(m_7f, &Gateway7FClient::commandEnded, this,
            [this]() { ui->centralwidget->setEnabled(!sshFlowHoldsCentral()); });
    ui->gw7FConnectBtn->setEnabled(false);
    ui->gw7FStatusLabel->setText(u("未连接网关"));
    ui->gw7FStatusLabel->setStyleSheet(redStyle());
}

void MainWindow::setupSsh()
{
    connect(ui->sshConnectBtn, &QPushButton::clicked, this, &MainWindow::onSshConnectBtnClicked);
    connect(ui->sshGetMapJsonBtn, &QPushButton::clicked, this, &MainWindow::onSshGetMapJsonBtnClicked);
    connect(ui->sshDownloadMapJsonBtn, &QPushButton::clicked, this,
            &MainWindow::onSshDownloadMapJsonBtnClicked);
    connect(ui->sshRebootGwBtn, &QPushButton::clicked, this, &MainWindow::onSshRebootGwBtnClicked);
    ui->sshConnectBtn->setEnabled(false);
    setSshLook(false);
}

void MainWindow::setupTables()
{
    m_devices = new DeviceListTable(ui->allDevTableView, this);
    connect(m_devices, &DeviceListTable::addToMapRequested, this, &MainWindow::addOneDevToMapjsonRow);
    connect(m_devices, &DeviceListTable::deleteRequested, this, &MainWindow::deleteOnePlcDevDilog);
    connect(ui->allDevTableView, &QWidget::customContextMenuRequested, this, &MainWindow::onRBtnAllDevMemu);

    m_mapEditor = new AddressMapEditor(ui->mapJsonTableView, this, this);
    m_mapModel = m_mapEditor->model();
    connect(m_mapEditor, &AddressMapEditor::statusText, this, &MainWindow::showStatus);
    connect(ui->mapJsonTableView, &QWidget::customContextMenuRequested, this, &MainWindow::onRBtnMapjsonMemu);

    connect(ui->allDevAddToMapBtn, &QPushButton::clicked, this,
            &MainWindow::onAllDevAddToMapBtnClicked);
    connect(ui->compareBtn, &QPushButton::clicked, this, &MainWindow::onCompareBtnClicked);
    connect(ui->openMapBtn, &QPushButton::clicked, this, &MainWindow::onOpenMapBtnClicked);
    connect(ui->saveMapBtn, &QPushButton::clicked, this, &MainWindow::onSaveMapBtnClicked);
    connect(ui->sshExportPointsBtn, &QPushButton::clicked, this, &MainWindow::onExportPointsBtnClicked);
    connect(m_mapModel, &MapTableModel::modifiedChanged, this,
            [this](bool modified) { setWindowTitle(modified ? m_baseTitle + "*" : m_baseTitle); });
}

// ---------------------------------------------------------------- discovery

void MainWindow::onGwDetectStartBtnPressed()
{
    if (m_discovery->isSearching()) {
        stopDetect(false);
        return;
    }
    m_gw.ip.clear();
    m_gw.deviceKey.clear();
    ui->widget->setGatewayHost(QString());
    ui->gwInfoComboBox->clear();
    ui->gwInfoComboBox->setEnabled(false);
    ui->gwDetectBtn->setText(u("停止探测"));
    ui->gw7FConnectBtn->setEnabled(false);
    ui->sshConnectBtn->setEnabled(false);
    showStatus(u("探测网关..."));
    m_discovery->start();
}

void MainWindow::onGwDetectTimeOut()
{
    stopDetect(true);
}

void MainWindow::stopDetect(bool byTimer)
{
    m_discovery->stop();
    ui->gwDetectBtn->setText(u("1.开始探测"));
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

void MainWindow::onProcessGwDetectPendingDatagram(int index)
{
    const FoundGateway &gw = m_discovery->found().at(index);
    // Shown readable; the selection takes the gateway from the search's list.
    const QString shown = gw.ip + "  /  " + gw.serialPrefix() + "  /  "
                          + (gw.version.isEmpty() ? u("版本未知") : gw.version) + "  (" + gw.deviceKey + ")";
    auto *item = new QStandardItem(shown);
    item->setData(gw.entry(), Qt::UserRole);
    item->setData(index, kFoundIndexRole);
    // Complete before the list selects it.
    qobject_cast<QStandardItemModel *>(ui->gwInfoComboBox->model())->appendRow(item);
}

void MainWindow::onGwInfoComboBoxCurrentIndexChanged(const QString &arg1)
{
    QComboBox *combo = ui->gwInfoComboBox;
    const bool current = combo->currentText() == arg1;
    const QVariant found = current ? combo->currentData(kFoundIndexRole) : QVariant();
    const QVariant fields = current ? combo->currentData() : QVariant();
    FoundGateway gw;
    if (found.isValid() && found.toInt() < m_discovery->found().size())
        gw = m_discovery->found().at(found.toInt());
    else if (!FoundGateway::fromEntry(fields.isValid() ? fields.toString() : arg1, &gw))
        return;
    m_gw = gw;
    ui->widget->setGatewayHost(m_gw.ip);
    m_localIpCombo->chooseForGateway(m_gw.ip);
    m_modbusPanel->setGatewayHost(m_gw.ip);
    if (m_aclEditor && m_gw.deviceKey != m_aclGateway && !m_aclGateway.isEmpty()) {
        m_aclGateway.clear();
        m_aclEditor->gatewayChanged();
    }
    ui->curGwSoftwareVerLabel->setText(" ");
    ui->curRelaySoftverLabel->setText(" ");
}

QString MainWindow::serialNumber() const
{
    return m_gw.serial;
}

// ---------------------------------------------------------------- 7F connection

bool MainWindow::is7FConnected() const
{
    return m_7f->isConnected();
}

int MainWindow::pendingOpCode() const
{
    return m_7f->pendingCommand();
}

void MainWindow::onGw7FConnectBtnPressed()
{
    if (m_7f->isConnected()) {
        m_7f->disconnectFromGateway();
        return;
    }
    if (m_7f->isConnecting())
        return;
    if (m_gw.ip.isEmpty()) {
        showStatus(u("错误的网关IP"));
        return;
    }
    ui->gwInfoComboBox->setEnabled(false);
    ui->gwDetectBtn->setEnabled(false);
    ui->gw7FConnectBtn->setEnabled(false);
    ui->gw7FConnectBtn->setText(u("连接中..."));
    ui->gw7FStatusLabel->setText(u("连接网关") + m_gw.deviceKey + u("中..."));
    ui->statusbar->clearMessage();
    // The window keeps running while the connection is made.
    m_7f->connectToGateway(m_gw.ip, m_gw.deviceKey, m_7fPort);
}

void MainWindow::on7FConnected()
{
    ui->gw7FConnectBtn->setEnabled(true);
    ui->gw7FConnectBtn->setText(u("2.断开网关连接"));
    showStatus(u("连接成功"));
    ui->gw7FStatusLabel->setText(u("已连接到网关") + m_gw.deviceKey);
    ui->gw7FStatusLabel->setStyleSheet(greenStyle());
}

void MainWindow::on7FConnectFailed(const QString &why)
{
    qDebug() << "connect to" << m_gw.ip << "failed:" << why;
    if (!m_session->isConnected()) {
        ui->gwInfoComboBox->setEnabled(true);
        ui->gwDetectBtn->setEnabled(true);
    }
    ui->gw7FConnectBtn->setEnabled(true);
    ui->gw7FConnectBtn->setText(u("2.连接网关"));
    showStatus(u("连接网关失败"));
    ui->gw7FStatusLabel->setText(u("连接网关") + m_gw.deviceKey + u("失败"));
    ui->gw7FStatusLabel->setStyleSheet(redStyle());
}

void MainWindow::on7FDisconnected()
{
    qDebug().noquote() << "disconnected to " + m_gw.ip;
    if (!m_session->isConnected()) {
        ui->gwDetectBtn->setEnabled(true);
        ui->gwInfoComboBox->setEnabled(true);
    }
    ui->gw7FConnectBtn->setEnabled(true);
    ui->gw7FConnectBtn->setText(u("2.连接网关"));
    showStatus(u("网关连接断开"));
    ui->gw7FStatusLabel->setText(u("网关连接断开"));
    ui->gw7FStatusLabel->setStyleSheet(redStyle());
    m_devices->clear();
    ui->curGwSoftwareVerLabel->setText(QString());
    ui->curRelaySoftverLabel->setText(" ");
}

// ---------------------------------------------------------------- 7F commands

bool MainWindow::send7FCommand(int code)
{
    if (m_7f->pendingCommand() != Gateway7FClient::None) {
        DialogSeam::warning(this, "warning", u("等待其他操作完成!"));
        return false;
    }
    if (!m_7f->isConnected()) {
        DialogSeam::warning(this, "warning", u("请先连接网关!"));
        return false;
    }
    QString dk;
    if (code == Gateway7FClient::DeleteDevice) {
        dk = currentDeviceKey();
        if (dk.isNull())
            return false;
        if (!DialogSeam::confirm(this, u("是否删除"), u("该操作会将网关中") + dk + u("删除"),
                                 u("确定"), u("否")))
            return false;
    }
    // The connection may have dropped while the box was open: the client refuses then.
    if (m_7f->sendCommand(code, dk) != Gateway7FClient::Sent)
        return false;
    ui->centralwidget->setEnabled(false);
    switch (code) {
    case Gateway7FClient::ReadVersion: showStatus(u("获取") + m_gw.deviceKey + u("网关版本...")); break;
    case Gateway7FClient::GetAllDevices: showStatus(u("拉取") + m_gw.deviceKey + u("网关中所有设备信息...")); break;
    case Gateway7FClient::DeleteDevice: showStatus(u("在网关") + m_gw.deviceKey + u("中删除plc设备") + dk + "..."); break;
    }
    return true;
}

void MainWindow::on_getGwInfoBtn_clicked()
{
    ui->curGwSoftwareVerLabel->setText(" ");
    send7FCommand(Gateway7FClient::ReadVersion);
}

void MainWindow::on_gw7FGetAllDevInfoBtn_clicked()
{
    send7FCommand(Gateway7FClient::GetAllDevices);
}

void MainWindow::deleteOnePlcDevDilog()
{
    send7FCommand(Gateway7FClient::DeleteDevice);
}

void MainWindow::on7fCmdTimerTimeout()
{
    m_7f->expireCommand();
}

void MainWindow::on_gwSndCmdBtn_clicked()
{
    m_7f->sendRaw(ui->gwTopicLineEdit->text().toUtf8(), ui->gwPayLoadTextEdit->toPlainText().toLocal8Bit());
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

void MainWindow::onDeviceListAnswered(const QVector<Gateway7FDevice> &devices)
{
    m_devices->replace(devices);
    showStatus(u("拉取网关设备列表成功!"));
}

QString MainWindow::currentDeviceKey() const
{
    return m_devices->currentKey();
}

// ---------------------------------------------------------------- device list and map

void MainWindow::addDeviceRow(int aid, const QString &deviceKey, const QString &serial)
{
    m_devices->addRow(aid, deviceKey, serial);
}

void MainWindow::addMapRow(int address, const QString &deviceKey, const QString &productCode,
                           const QString &modelName, const QString &name)
{
    m_mapModel->addRow(address, deviceKey, productCode, modelName, name);
}

QStandardItemModel *MainWindow::devListModel() const
{
    return m_devices->model();
}

bool MainWindow::mapContainsDevice(const QString &deviceKey)
{
    return m_mapEditor->containsDevice(deviceKey);
}

void MainWindow::onRBtnAllDevMemu(QPoint)
{
    m_devices->popupMenu();
}

void MainWindow::onRBtnMapjsonMemu(QPoint)
{
    m_mapEditor->popupMenu();
}

void MainWindow::addOneDevToMapjsonRow()
{
    m_mapEditor->addCurrentDevice(*m_devices);
}

void MainWindow::deleteOneMapjsonRow()
{
    m_mapEditor->removeCurrentRow();
}

void MainWindow::onAllDevAddToMapBtnClicked()
{
    m_mapEditor->mapAll(*m_devices);
}

void MainWindow::onCompareBtnClicked()
{
    m_mapEditor->compareWith(*m_devices);
}

bool MainWindow::writeMapJson(const QString &path, QString *error)
{
    return m_mapModel->write(path, error);
}

bool MainWindow::readMapJson(const QString &path)
{
    return m_mapEditor->read(path);
}

bool MainWindow::openMapFile(const QString &path)
{
    return m_mapEditor->open(path);
}

bool MainWindow::saveMapFile(const QString &path)
{
    return m_mapEditor->save(path);
}

void MainWindow::onOpenMapBtnClicked()
{
    m_mapEditor->askOpen(tftpRoot());
}

void MainWindow::onSaveMapBtnClicked()
{
    m_mapEditor->askSave(tftpRoot());
}

bool MainWindow::mapModified() const
{
    return m_mapModel->isModified();
}

bool MainWindow::mayReplaceMap()
{
    return m_mapEditor->mayReplace();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (m_mapEditor->mayClose())
        event->accept();
    else
        event->ignore();
}

MapCheck::Result MainWindow::checkMap() const
{
    return m_mapModel->check();
}

bool MainWindow::mapFitForInstall()
{
    return m_mapEditor->fitForInstall();
}

// ---------------------------------------------------------------- SSH connection

void MainWindow::setSshLook(bool connected)
{
    ui->sshStatusLabel->setStyleSheet(connected ? greenStyle() : redStyle());
    ui->sshConnectBtn->setText(connected ? u("3.断开ssh连接") : u("3.连接ssh服务器"));
}

void MainWindow::onSshConnectBtnClicked()
{
    if (m_session->isConnected()) {
        m_session->close();
        ui->sshStatusLabel->setText(u("未连接到ssh服务器"));
        ui->sshConnectBtn->setEnabled(true);
        setSshLook(false);
        updateAclActions();
        if (!m_7f->isConnected()) {
            ui->gwDetectBtn->setEnabled(true);
            ui->gwInfoComboBox->setEnabled(true);
        }
        return;
    }
    ui->sshStatusLabel->setText(u("连接到") + m_gw.ip + u(" ssh服务器..."));
    ui->sshConnectBtn->setText(u("连接中..."));
    ui->sshConnectBtn->setEnabled(false);
    // The gateway must not change under a connection being made.
    ui->gwDetectBtn->setEnabled(false);
    ui->gwInfoComboBox->setEnabled(false);
    m_session->open(m_gw.ip, serialNumber(), m_gw.serialPrefix(), m_gw.deviceKey);
}

void MainWindow::onSshConnectStateChanged(bool bState, QString strIp, int nPort, QString errStr)
{
    Q_UNUSED(strIp);
    Q_UNUSED(nPort);
    m_session->linkStateChanged(bState, errStr);
}

void MainWindow::showSshState(bool bState, const QString &errStr)
{
    ui->sshStatusLabel->setText(bState ? u("已ssh连接到") + m_gw.ip : u("未连接到ssh服务器"));
    if (!errStr.isEmpty())
        ui->sshStatusLabel->setText(errStr + m_gw.ip);
    ui->sshConnectBtn->setEnabled(true);
    setSshLook(bState);
    if (bState) {
        ui->gwDetectBtn->setEnabled(false);
        ui->gwInfoComboBox->setEnabled(false);
    } else if (!m_7f->isConnected()) {
        ui->gwDetectBtn->setEnabled(true);
        ui->gwInfoComboBox->setEnabled(true);
    }
    updateAclActions();
}

void MainWindow::onSshHostKeyUnknown(QString fingerprint)
{
    m_debugLog->append(DebugLogView::Ssh, u("网关ssh主机密钥(首次连接): ") + fingerprint, false);
    const bool trusted = DialogSeam::confirm(
        this, u("确认网关ssh主机密钥"),
        u("首次以ssh连接网关 %1 (序列号 %2, 地址 %3)。\n网关出示的ssh主机密钥指纹(SHA-256):\n%4\n\n"
          "确认连接的是这台网关后, 本工具记住此密钥并登录; 以后该网关出示其他密钥时, "
          "本工具停止连接并警告, 不发送登录密码。")
            .arg(m_gw.deviceKey, serialNumber(), m_gw.ip, fingerprint),
        u("信任并连接"), u("取消"));
    if (trusted)
        emit sigAcceptHostKey();
    else
        emit sigRejectHostKey();
}

void MainWindow::onSshHostKeyChanged(QString pinned, QString offered)
{
    // Asked once the connection has stopped (askReplaceHostKey).
    m_debugLog->append(DebugLogView::Ssh,
                       u("网关ssh主机密钥已改变: 记住的 ") + pinned + u(", 现在的 ") + offered + u(", 已停止连接"),
                       false);
}

void MainWindow::askReplaceHostKey(const QString &id, const QString &pinned, const QString &offered)
{
    ui->sshStatusLabel->setText(u("网关ssh主机密钥已改变, 已停止连接") + m_gw.ip);
    const bool replace = DialogSeam::confirmCautious(
        this, u("网关ssh主机密钥已改变"),
        u("网关 %1 (序列号 %2, 地址 %3) 出示的ssh主机密钥与记住的不同, 连接已停止, 未发送登录密码。\n\n"
          "记住的指纹: %4\n现在的指纹: %5\n\n"
          "若这台网关没有更换、没有重装系统, 可能有其他设备在冒充它: 请不要替换, 先检查网络。\n"
          "只有确认网关已更换或已重装时, 才替换记住的密钥。")
            .arg(m_gw.deviceKey, serialNumber(), m_gw.ip, pinned, offered),
        u("替换为新密钥并连接"), u("不连接"));
    if (!replace || m_session->isConnected())
        return;
    m_session->replaceHostKey(id, offered);
    m_debugLog->append(DebugLogView::Ssh, u("已替换网关ssh主机密钥: ") + offered, false);
    onSshConnectBtnClicked();
}

void MainWindow::onSshSlotDataArrived(QString strMsg, QString strIp, int nPort)
{
    Q_UNUSED(strIp);
    Q_UNUSED(nPort);
    m_session->shellOutput(strMsg);
}

void MainWindow::onSshErrorArrived(QString strMsg, QString strIp, int nPort)
{
    Q_UNUSED(strIp);
    Q_UNUSED(nPort);
    m_session->shellError(strMsg);
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

    m_session = new RemoteSession(this, ui->widget, this);
    m_runner = m_session->runner();
    m_actions = new RemoteActions(m_session, this, [this]() { return flowContext(); }, this);
    connect(m_actions, &RemoteActions::statusText, this, &MainWindow::showStatus);
    // The flows' commands pass the window's signal, which tests watch and type into.
    connect(m_session, &RemoteSession::commandOut, this, &MainWindow::sigSendSshCmd);
    connect(this, &MainWindow::sigSendSshCmd, m_session, &RemoteSession::type);
    connect(this, &MainWindow::sigDisconnecteSsh, m_session, &RemoteSession::clientsDisconnect);
    connect(this, &MainWindow::sigAcceptHostKey, m_session, &RemoteSession::acceptHostKey);
    connect(this, &MainWindow::sigRejectHostKey, m_session, &RemoteSession::rejectHostKey);
    connect(m_session, &RemoteSession::stateChanged, this, &MainWindow::showSshState);
    connect(m_session, &RemoteSession::outputArrived, this, [this](const QString &text) {
        m_sshConsole->appendStdout(text);
        m_debugLog->append(DebugLogView::Ssh, text, false);
    });
    connect(m_session, &RemoteSession::errorArrived, this, [this](const QString &text) {
        m_sshConsole->appendStderr(text);
        m_debugLog->append(DebugLogView::Ssh, text, false);
    });
    connect(m_session, &RemoteSession::hostKeyUnknown, this, &MainWindow::onSshHostKeyUnknown);
    connect(m_session, &RemoteSession::hostKeyChangeSeen, this, &MainWindow::onSshHostKeyChanged);
    connect(m_session, &RemoteSession::hostKeyRefused, this, &MainWindow::askReplaceHostKey);
    connect(m_session, &RemoteSession::hostKeyDeclined, this,
            [this]() { ui->sshStatusLabel->setText(u("未信任网关ssh主机密钥, 未连接") + m_gw.ip); });
    connect(m_runner, &RemoteFlowRunner::statusText, this, &MainWindow::showStatus);
    connect(m_runner, &RemoteFlowRunner::busyChanged, this, [this]() {
        if (m_runner->pendingCode() == RemoteFlows::None) {
            ui->sshConnectBtn->setEnabled(true);
            // A 7F command still waiting keeps the window busy.
            ui->centralwidget->setEnabled(m_7f->pendingCommand() == Gateway7FClient::None);
        } else if (m_runner->holdsWindow()) {
            ui->centralwidget->setEnabled(false);
        } else {
            ui->sshConnectBtn->setEnabled(false);
        }
    });
    // The running flow's current step, whichever tab the engineer is on.
    auto *stepLabel = new QLabel(this);
    stepLabel->setObjectName("flowStepLabel");
    stepLabel->hide();
    ui->statusbar->addPermanentWidget(stepLabel);
    connect(m_runner, &RemoteFlowRunner::stepStarted, stepLabel, [stepLabel](int index, int count, const QString &text) {
        stepLabel->setText(u("步骤") + QString::number(index + 1) + "/" + QString::number(count) + ": " + text);
        stepLabel->show();
    });
    connect(m_runner, &RemoteFlowRunner::busyChanged, stepLabel, [this, stepLabel]() {
        if (m_runner->pendingCode() == RemoteFlows::None)
            stepLabel->hide();
    });
    m_runner->setDiscovery(m_discovery);
    connect(m_runner, &RemoteFlowRunner::fetched, this, &MainWindow::onFlowFetched);
    connect(m_runner, &RemoteFlowRunner::finished, this, [this](int code, bool ok) {
        // The gateway now holds what the table shows.
        if (ok && code == RemoteFlows::PutMapJson)
            m_mapModel->setSaved();
    });
    onTftpRootDirChanged();
}

QString MainWindow::tftpRoot() const
{
    return m_session->tftpRoot();
}

bool MainWindow::isSshConnected() const
{
    return m_session->isConnected();
}

int MainWindow::sshPendingOpCode() const
{
    return m_runner->pendingCode();
}

bool MainWindow::sshFlowHoldsCentral() const
{
    return m_runner && m_runner->holdsWindow();
}

bool MainWindow::sshFlowMayStart()
{
    return m_actions->mayStart();
}

bool MainWindow::sshLinkUp()
{
    return m_actions->linkUp();
}

bool MainWindow::tftpReady()
{
    return m_session->tftpReady();
}

FlowContext MainWindow::flowContext() const
{
    FlowContext c;
    c.gatewayKey = m_gw.deviceKey;
    c.gatewayIp = m_gw.ip;
    c.localIp = m_localIp;
    c.tftpRoot = tftpRoot();
    return c;
}

void MainWindow::startFlow(int code, const FlowContext &ctx)
{
    m_session->startFlow(code, ctx);
}


void MainWindow::onSshGetMapJsonBtnClicked()
{
    m_actions->getMapJson(m_mapEditor);
}

void MainWindow::onSshDownloadMapJsonBtnClicked()
{
    m_actions->putMapJson(m_mapEditor);
}

void MainWindow::onSshRebootGwBtnClicked()
{
    m_actions->rebootGateway();
}

void MainWindow::onExportPointsBtnClicked()
{
    m_actions->exportPoints();
}

void MainWindow::showPointList(const QString &path)
{
    if (!m_pointDialog) {
        m_pointDialog = new QDialog(this);
        m_pointDialog->setObjectName("pointListDialog");
        m_pointDialog->resize(900, 600);
        m_pointList = new PointListView(m_pointDialog);
        m_pointList->setObjectName("pointListView");
        auto *lay = new QVBoxLayout(m_pointDialog);
        lay->addWidget(m_pointList);
    }
    QString error;
    if (!m_pointList->loadFile(path, &error)) {
        DialogSeam::warning(this, "warning", u("导出点表失败!\n") + error);
        return;
    }
    m_pointList->sortByAddress();
    m_pointDialog->setWindowTitle(u("点表 ") + m_gw.deviceKey + "  " + QDir::toNativeSeparators(path));
    m_pointDialog->show();
    m_pointDialog->raise();
}

void MainWindow::on_sshGetVrvCfgBtn_clicked()
{
    m_actions->getVrvCfg();
}

void MainWindow::on_sshDownloadVrvCfgBtn_clicked()
{
    m_actions->putVrvCfg();
}

void MainWindow::on_sshRebootMbBtn_clicked()
{
    m_actions->restartRelay();
}

void MainWindow::on_getRelaySoftverBtn_clicked()
{
    if (m_actions->refuseWhileBusy())
        return;
    ui->curRelaySoftverLabel->setText(" ");
    m_actions->getRelayVersion();
}

void MainWindow::on_upgradeGwSoftwareBtn_clicked()
{
    upgrade(UpgradeRules::Gateway);
}

void MainWindow::on_upgradeRelayBtn_clicked()
{
    upgrade(UpgradeRules::Relay);
}

QLabel *MainWindow::versionLabel(int program, bool package) const
{
    if (program == UpgradeRules::Gateway)
        return package ? ui->gwDstVerLabel : ui->curGwSoftwareVerLabel;
    return package ? ui->rlyDstVerLabel : ui->curRelaySoftverLabel;
}

void MainWindow::upgrade(int program)
{
    m_actions->upgrade(program, versionLabel(program, true)->text(), versionLabel(program, false)->text(),
                       [this]() { checkPackages(); });
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
    QPushButton *const buttons[UpgradeRules::Count] = {ui->upgradeGwSoftwareBtn, ui->upgradeRelayBtn};
    for (int p = 0; p < UpgradeRules::Count; ++p) {
        versionLabel(p, true)->setToolTip(QString());
        versionLabel(p, true)->setText(u(UpgradeRules::rule(p).noVersion));
        buttons[p]->setEnabled(false);
    }
    for (int p = 0; p < UpgradeRules::Count; ++p) {
        const UpgradeRule &rule = UpgradeRules::rule(p);
        const UpgradePackage pkg = UpgradePackage::check(root, rule.versionFile, rule.packageFile);
        if (!pkg.versionFileRead) {
            warnPkg(versionLabel(p, true), u(rule.packageMissing).arg(root));
            continue;
        }
        const QString name = QString::fromLatin1(rule.logName);
        qDebug().noquote() << name + " md5=" + pkg.digestInFile + " in " + rule.versionFile;
        qDebug().noquote() << name + " md5=" + pkg.digestComputed + " for " + rule.packageFile;
        if (pkg.matches()) {
            versionLabel(p, true)->setText(pkg.version);
            buttons[p]->setEnabled(true);
        } else {
            warnPkg(versionLabel(p, true), u(rule.digestWrong).arg(root));
        }
    }
}

void MainWindow::onFlowFetched(int code, const QString &path)
{
    if (code == RemoteFlows::GetMapJson) {
        readMapJson(path);
    } else if (code == RemoteFlows::ExportPoints) {
        showPointList(path);
    } else if (code == RemoteFlows::GetAcl) {
        QFile f(path);
        QString error;
        if (!f.open(QIODevice::ReadOnly)) {
            DialogSeam::warning(this, "warning", u("获取modbus客户端允许列表失败!\n无法读取") + path);
        } else if (!m_aclEditor->loadFileText(f.read(1 << 20), &error)) {
            DialogSeam::warning(this, "warning",
                                u("网关上的mbacl.json不可用, modbus服务因此接受任何客户端:\n") + error
                                    + u("\n编辑器中的列表未变; 修正后下发即可替换它。"));
        } else {
            m_aclGateway = m_gw.deviceKey;
        }
    } else if (code == RemoteFlows::GetRelayVersion) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) {
            DialogSeam::warning(this, "warning", u("解析modbus服务版本失败1!"));
            return;
        }
        const QString line = QTextStream(&f).readLine();
        qDebug().noquote() << "modbus mbVer=" + line;
        ui->curRelaySoftverLabel->setText(line);
    }
}

void MainWindow::setupAcl()
{
    m_aclEditor = new AclEditor(ui->aclGroup);
    m_aclEditor->setObjectName("aclEditor");
    ui->aclGroupLayout->addWidget(m_aclEditor);
    m_aclEditor->setLocalAddress(m_localIp);
    connect(m_aclEditor, &AclEditor::fetchRequested, this, &MainWindow::onAclFetchRequested);
    connect(m_aclEditor, &AclEditor::installRequested, this, &MainWindow::onAclInstallRequested);
    connect(m_runner, &RemoteFlowRunner::busyChanged, this, &MainWindow::updateAclActions);
    connect(m_runner, &RemoteFlowRunner::finished, this, [this](int code, bool ok) {
        if (ok && code == RemoteFlows::PutAcl) {
            m_aclEditor->setModified(false);
            m_aclGateway = m_gw.deviceKey;
        }
    });
    updateAclActions();
}

void MainWindow::updateAclActions()
{
    if (m_aclEditor)
        m_aclEditor->setGatewayActionsEnabled(m_session->isConnected() && m_runner->pendingCode() == RemoteFlows::None);
}

void MainWindow::onAclFetchRequested()
{
    m_actions->getAcl();
}

void MainWindow::onAclInstallRequested()
{
    m_actions->putAcl(m_aclEditor->entries(), m_aclEditor->fileText());
}

void MainWindow::onGetOneTftpFileOk(QString name)
{
    m_runner->fileReceived(name);
}

void MainWindow::onPutOneTftpFileOk(QString name)
{
    m_runner->fileSent(name);
}

void MainWindow::onSshCmdTimerTimeout()
{
    m_runner->expire();
}

QHostAddress MainWindow::discoveryAddress() const
{
    // The chosen network's own broadcast address keeps the search on that
    // adapter (a limited broadcast leaves by one adapter the system picks).
    const QHostAddress subnet = m_localIpCombo ? m_localIpCombo->currentInterface().broadcast : QHostAddress();
    return subnet.isNull() ? QHostAddress(QHostAddress::Broadcast) : subnet;
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
        if (m_aclEditor)
            m_aclEditor->setLocalAddress(m_localIp);
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

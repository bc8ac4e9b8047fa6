#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "acleditor.h"
#include "aclgatewaylink.h"
#include "addressmapeditor.h"
#include "debuglogview.h"
#include "devicelisttable.h"
#include "disabledlook.h"
#include "elidedlabel.h"
#include "gateway7fclient.h"
#include "gateway7fpanel.h"
#include "localinterfaces.h"
#include "maptablemodel.h"
#include "modbusasswidget.h"
#include "pointlistview.h"
#include "qtftpwidget.h"
#include "relaystatusview.h"
#include "remoteactions.h"
#include "remoteflows.h"
#include "remotesession.h"
#include "sitetab.h"
#include "sshlinkpanel.h"
#include "statusbarprogress.h"
#include "upgradepanel.h"
#include "utf8text.h"

#include <QCloseEvent>
#include <QAbstractItemView>
#include <QHostAddress>
#include <QScreen>
#include <QSplitter>
#include <QStandardItemModel>

namespace {
// Which entry of the search's list a gateway list item shows.
const int kFoundIndexRole = Qt::UserRole + 2;
} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    m_baseTitle = windowTitle();
    m_modbusPanel = new ModbusAssWidget(ui->workTabWidget);
    ui->workTabWidget->addTab(m_modbusPanel, u("modbus助手v1.0"));
    m_relayStatus = new RelayStatusView(ui->workTabWidget);
    ui->workTabWidget->addTab(m_relayStatus, u("网关状态"));
    resize(790, 900);
    // Laptop screens are often lower than that: open within the free area
    // (title bar included), and maximized, so every step stays in view.
    if (const QScreen *scr = screen()) {
        const QRect avail = scr->availableGeometry();
        if (avail.width() < width() || avail.height() - 40 < height()) {
            resize(qMin(width(), avail.width()), qMin(height(), avail.height() - 40));
            setWindowState(windowState() | Qt::WindowMaximized);
        }
    }
    ui->workTabWidget->setCurrentIndex(0);
    // A label of its own, not the bar's message: a long text is cut beside
    // the flow step and transfer texts instead of running under them.
    m_statusLine = new ElidedLabel(ui->statusbar);
    m_statusLine->setObjectName("statusMessageLabel");
    ui->statusbar->addWidget(m_statusLine, 1);

    m_discovery = new GatewayDiscovery(this);
    m_discovery->setTarget([this]() { return m_localIpCombo->broadcastAddress(); });
    m_localIp = LocalInterfaces::firstAddress();
    ui->localIpLabel->setText(u("本机IP:") + m_localIp);
    setupLaptopPanels();
    setupRemote();
    setupLinks();
    setupTables();

    // The tabs' steps need the room more than the device list (a quarter,
    // never less than three of its rows: it cannot be collapsed).
    m_devices->holdToRows(3);
    ui->mainSplitter->setSizes({1000, 3000});
    ui->workTabWidget->addTab(new SiteTab({ui->widget, m_session, m_actions, [this]() { return m_localIp; },
                                           [this]() { return m_localIpCombo->broadcastAddress(); }, this}),
                              u("站点"));
}

MainWindow::~MainWindow()
{
    // A socket torn down with the window still signals; nothing may reach
    // the half-destroyed window.
    m_7f->disconnect(this);
    m_7f->disconnect(m_7fPanel);
    m_discovery->disconnect(this);
    // A live SSH client (connected or still connecting) ends its thread
    // and releases itself.
    m_session->disconnect(this);
    m_session->disconnect(m_sshPanel);
    delete m_session;
    delete ui;
}

void MainWindow::showStatus(const QString &text)
{
    m_statusLine->setFullText(text);
}

QString MainWindow::statusText() const
{
    return m_statusLine->fullText();
}

// ---------------------------------------------------------------- set-up

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
        if (m_acl)
            m_acl->editor()->setLocalAddress(m_localIp);
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

    // Coloured buttons look disabled when they are.
    DisabledLook::apply(this);
}

void MainWindow::setupRemote()
{
    m_session = new RemoteSession(this, ui->widget, this);
    m_runner = m_session->runner();
    m_runner->setDiscovery(m_discovery);
    m_actions = new RemoteActions(m_session, this, [this]() { return flowContext(); }, this);
    connect(m_actions, &RemoteActions::statusText, this, &MainWindow::showStatus);
    connect(m_runner, &RemoteFlowRunner::statusText, this, &MainWindow::showStatus);
    // The flows' commands pass the window's signal, which tests watch and type into.
    connect(m_session, &RemoteSession::commandOut, this, &MainWindow::sigSendSshCmd);
    connect(this, &MainWindow::sigSendSshCmd, m_session, &RemoteSession::type);
    connect(this, &MainWindow::sigDisconnecteSsh, m_session, &RemoteSession::clientsDisconnect);
    connect(this, &MainWindow::sigAcceptHostKey, m_session, &RemoteSession::acceptHostKey);
    connect(this, &MainWindow::sigRejectHostKey, m_session, &RemoteSession::rejectHostKey);
    connect(m_session, &RemoteSession::hostKeyUnknown, this, &MainWindow::onSshHostKeyUnknown);
    connect(m_runner, &RemoteFlowRunner::busyChanged, this, &MainWindow::updateWindowHold);
    connect(m_runner, &RemoteFlowRunner::fetched, this, &MainWindow::onFlowFetched);
    new StatusBarProgress(ui->statusbar, m_runner, ui->widget, this);

    const UpgradePanel::Widgets programs[UpgradeRules::Count] = {
        {ui->upgradeGwSoftwareBtn, ui->gwDstVerLabel, ui->curGwSoftwareVerLabel},
        {ui->upgradeRelayBtn, ui->rlyDstVerLabel, ui->curRelaySoftverLabel},
    };
    m_upgrade = new UpgradePanel(programs, m_actions, [this]() { return tftpRoot(); }, this, this);
    // Root edits arrive once per key; the check (and its boxes) waits for a pause.
    connect(ui->widget, &QtftpWidget::sigTftpRootDirChanged, m_upgrade, &UpgradePanel::rootEdited);
    m_upgrade->attachTab(ui->workTabWidget, ui->tab, ui->rescanPackagesBtn, ui->packageRootLabel);
    m_upgrade->setGatewayVersionRefresh([this]() { m_7fPanel->refreshVersion(); });
    // At start-up the findings go into the upgrade tab, not into boxes before the window.
    m_upgrade->checkPackages(true);

    m_acl = new AclGatewayLink(ui->aclGroup, ui->aclGroupLayout, m_session, m_actions,
                               [this]() { return m_gw.deviceKey; }, this, this);
    m_acl->editor()->setLocalAddress(m_localIp);
}

void MainWindow::setupLinks()
{
    connect(ui->gwDetectBtn, &QPushButton::clicked, this, &MainWindow::onGwDetectStartBtnPressed);
    connect(m_discovery, &GatewayDiscovery::searchTimedOut, this, &MainWindow::onGwDetectTimeOut);
    connect(m_discovery, &GatewayDiscovery::gatewayFound, this, &MainWindow::onProcessGwDetectPendingDatagram);
    // Room for a whole entry (address, serial, version, key) where the tab has it.
    ui->gwInfoComboBox->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    ui->gwInfoComboBox->setMinimumContentsLength(44);
    connect(ui->gwInfoComboBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this](int index) { onGwInfoComboBoxCurrentIndexChanged(ui->gwInfoComboBox->itemText(index)); });

    m_7f = new Gateway7FClient(this);
    m_7fPanel = new Gateway7FPanel(m_7f, {ui->gw7FConnectBtn, ui->gw7FStatusLabel, ui->curGwSoftwareVerLabel},
                                   m_debugLog, this, this);
    connect(ui->gw7FConnectBtn, &QPushButton::clicked, this, &MainWindow::onGw7FConnectBtnPressed);
    connect(m_7f, &Gateway7FClient::connected, this, &MainWindow::on7FConnected);
    connect(m_7f, &Gateway7FClient::connectFailed, this, &MainWindow::on7FConnectFailed);
    connect(m_7f, &Gateway7FClient::disconnected, this, &MainWindow::on7FDisconnected);
    connect(m_7fPanel, &Gateway7FPanel::statusText, this, &MainWindow::showStatus);
    connect(m_7fPanel, &Gateway7FPanel::statusCleared, this, [this]() { showStatus(QString()); });
    connect(m_7fPanel, &Gateway7FPanel::linkChanged, this, &MainWindow::updateGatewayChoice);
    connect(m_7fPanel, &Gateway7FPanel::commandStateChanged, this, &MainWindow::updateWindowHold);

    m_sshPanel = new SshLinkPanel(m_session, ui->sshConnectBtn, ui->sshStatusLabel, m_debugLog, m_sshConsole, this,
                                  this);
    connect(ui->sshConnectBtn, &QPushButton::clicked, this, &MainWindow::onSshConnectBtnClicked);
    connect(m_sshPanel, &SshLinkPanel::acceptHostKey, this, &MainWindow::sigAcceptHostKey);
    connect(m_sshPanel, &SshLinkPanel::rejectHostKey, this, &MainWindow::sigRejectHostKey);
    connect(m_sshPanel, &SshLinkPanel::linkChanged, this, &MainWindow::updateGatewayChoice);
    connect(m_sshPanel, &SshLinkPanel::linkChanged, m_acl, &AclGatewayLink::updateActions);
}

void MainWindow::setupTables()
{
    m_devices = new DeviceListTable(ui->allDevTableView, this);
    connect(m_devices, &DeviceListTable::addToMapRequested, this, &MainWindow::addOneDevToMapjsonRow);
    connect(m_devices, &DeviceListTable::deleteRequested, this, &MainWindow::deleteOnePlcDevDilog);
    connect(ui->allDevTableView, &QWidget::customContextMenuRequested, this, &MainWindow::onRBtnAllDevMemu);
    connect(m_7f, &Gateway7FClient::deviceListAnswered, m_devices, &DeviceListTable::replace);
    connect(m_7fPanel, &Gateway7FPanel::deviceDeleted, m_devices, &DeviceListTable::removeDevice);

    m_mapEditor = new AddressMapEditor(ui->mapJsonTableView, this, this);
    m_mapModel = m_mapEditor->model();
    connect(m_mapEditor, &AddressMapEditor::statusText, this, &MainWindow::showStatus);
    connect(ui->mapJsonTableView, &QWidget::customContextMenuRequested, this, &MainWindow::onRBtnMapjsonMemu);
    connect(ui->allDevAddToMapBtn, &QPushButton::clicked, this, &MainWindow::onAllDevAddToMapBtnClicked);
    connect(ui->compareBtn, &QPushButton::clicked, this, &MainWindow::onCompareBtnClicked);
    connect(ui->openMapBtn, &QPushButton::clicked, this, &MainWindow::onOpenMapBtnClicked);
    connect(ui->saveMapBtn, &QPushButton::clicked, this, &MainWindow::onSaveMapBtnClicked);
    connect(ui->sshGetMapJsonBtn, &QPushButton::clicked, this, &MainWindow::onSshGetMapJsonBtnClicked);
    connect(ui->sshDownloadMapJsonBtn, &QPushButton::clicked, this, &MainWindow::onSshDownloadMapJsonBtnClicked);
    connect(ui->sshRebootGwBtn, &QPushButton::clicked, this, &MainWindow::onSshRebootGwBtnClicked);
    connect(ui->sshExportPointsBtn, &QPushButton::clicked, this, &MainWindow::onExportPointsBtnClicked);
    m_relayStatus->setUnitNames([this]() { return m_mapModel->unitNames(); });
    connect(m_mapModel, &MapTableModel::modifiedChanged, this,
            [this](bool modified) { setWindowTitle(modified ? m_baseTitle + "*" : m_baseTitle); });
    connect(m_runner, &RemoteFlowRunner::finished, this, [this](int code, bool ok) {
        // The gateway now holds what the table shows.
        if (ok && code == RemoteFlows::PutMapJson)
            m_mapModel->setSaved();
    });
}

void MainWindow::updateGatewayChoice()
{
    const bool free = !m_7f->isConnected() && !m_7f->isConnecting() && !m_session->isConnected()
                      && !m_sshPanel->isConnecting();
    ui->gwDetectBtn->setEnabled(free);
    ui->gwInfoComboBox->setEnabled(free && !m_discovery->isSearching());
    // Why the search is held, where the engineer looks for it.
    ui->gwDetectBtn->setToolTip(free ? QString()
                                     : u("连接网关时不能重新探测或更换网关: 请先点击2.断开网关连接和3.断开ssh连接"));
}

void MainWindow::updateWindowHold()
{
    ui->centralwidget->setEnabled(m_7f->pendingCommand() == Gateway7FClient::None && !m_runner->holdsWindow());
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
    m_7fPanel->setGateway(QString(), QString());
    m_sshPanel->setGateway(QString(), m_gw.serial, m_gw.serialPrefix(), QString());
    m_mapEditor->setGateway(QString(), QString());
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
        showStatus(QString());
}

void MainWindow::onProcessGwDetectPendingDatagram(int index)
{
    const FoundGateway &gw = m_discovery->found().at(index);
    // Shown readable; the selection takes the gateway from the search's list.
    auto *item = new QStandardItem(gw.shownText());
    item->setData(gw.entry(), Qt::UserRole);
    item->setData(index, kFoundIndexRole);
    // Complete before the list selects it.
    QComboBox *combo = ui->gwInfoComboBox;
    qobject_cast<QStandardItemModel *>(combo->model())->appendRow(item);
    // The list opens as wide as its longest entry, whatever the combo's width.
    combo->view()->setMinimumWidth(combo->view()->sizeHintForColumn(0) + 2 * combo->view()->frameWidth() + 24);
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
    combo->setToolTip(combo->currentText());
    m_7fPanel->setGateway(m_gw.ip, m_gw.deviceKey);
    m_sshPanel->setGateway(m_gw.ip, m_gw.serial, m_gw.serialPrefix(), m_gw.deviceKey);
    ui->widget->setGatewayHost(m_gw.ip);
    m_localIpCombo->chooseForGateway(m_gw.ip);
    m_modbusPanel->setGatewayHost(m_gw.ip);
    m_relayStatus->setGatewayHost(m_gw.ip);
    m_acl->gatewaySelected(m_gw.deviceKey);
    m_mapEditor->setGateway(m_gw.deviceKey, m_gw.serial);
    ui->curGwSoftwareVerLabel->setText(" ");
    ui->curRelaySoftverLabel->setText(" ");
}

// ---------------------------------------------------------------- 7F link and commands

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
    m_7fPanel->toggleConnection();
}

void MainWindow::on7FConnected()
{
    m_7fPanel->showConnected();
}

void MainWindow::on7FConnectFailed(const QString &why)
{
    m_7fPanel->showConnectFailed(why);
}

void MainWindow::on7FDisconnected()
{
    m_7fPanel->showDisconnected();
    m_devices->clear();
    ui->curRelaySoftverLabel->setText(" ");
    if (m_session->isConnected())
        showStatus(u("网关连接断开; ssh仍连接到") + m_gw.ip + u(", 重新探测前请先点击3.断开ssh连接"));
}

void MainWindow::on_getGwInfoBtn_clicked()
{
    ui->curGwSoftwareVerLabel->setText(" ");
    m_7fPanel->send(Gateway7FClient::ReadVersion);
}

void MainWindow::on_gw7FGetAllDevInfoBtn_clicked()
{
    m_7fPanel->send(Gateway7FClient::GetAllDevices);
}

void MainWindow::deleteOnePlcDevDilog()
{
    m_7fPanel->send(Gateway7FClient::DeleteDevice, m_devices->currentKey());
}

void MainWindow::on7fCmdTimerTimeout()
{
    m_7f->expireCommand();
}

void MainWindow::on_gwSndCmdBtn_clicked()
{
    m_7fPanel->sendRaw(ui->gwTopicLineEdit->text(), ui->gwPayLoadTextEdit->toPlainText());
}

void MainWindow::on_gwClearRcvBufBtn_clicked()
{
    m_debugLog->clear();
}

// ---------------------------------------------------------------- device list and map

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

void MainWindow::onOpenMapBtnClicked()
{
    m_mapEditor->askOpen(tftpRoot());
}

void MainWindow::onSaveMapBtnClicked()
{
    m_mapEditor->askSave(tftpRoot());
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (m_mapEditor->mayClose())
        event->accept();
    else
        event->ignore();
}

// ---------------------------------------------------------------- SSH link and remote flows

bool MainWindow::isSshConnected() const
{
    return m_session->isConnected();
}

int MainWindow::sshPendingOpCode() const
{
    return m_runner->pendingCode();
}

QString MainWindow::tftpRoot() const
{
    return m_session->tftpRoot();
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

void MainWindow::onSshConnectBtnClicked()
{
    m_sshPanel->toggleConnection();
}

void MainWindow::onSshConnectStateChanged(bool bState, QString, int, QString errStr)
{
    m_session->linkStateChanged(bState, errStr);
}

void MainWindow::onSshSlotDataArrived(QString strMsg, QString, int)
{
    m_session->shellOutput(strMsg);
}

void MainWindow::onSshErrorArrived(QString strMsg, QString, int)
{
    m_session->shellError(strMsg);
}

void MainWindow::onSshHostKeyUnknown(QString fingerprint)
{
    m_sshPanel->askHostKey(fingerprint);
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
    m_upgrade->getRelayVersion();
}

void MainWindow::on_upgradeGwSoftwareBtn_clicked()
{
    m_upgrade->upgrade(UpgradeRules::Gateway);
}

void MainWindow::on_upgradeRelayBtn_clicked()
{
    m_upgrade->upgrade(UpgradeRules::Relay);
}

void MainWindow::onTftpRootDirChanged()
{
    m_upgrade->checkPackages();
}

void MainWindow::onFlowFetched(int code, const QString &path)
{
    if (code == RemoteFlows::GetMapJson) {
        m_mapEditor->read(path);
    } else if (code == RemoteFlows::ExportPoints) {
        if (!m_pointDialog)
            m_pointDialog = new PointListDialog(this);
        m_pointDialog->showFile(path, m_gw.deviceKey);
    } else if (code == RemoteFlows::GetAcl) {
        m_acl->loadFetched(path);
    } else if (code == RemoteFlows::GetRelayVersion) {
        m_upgrade->relayVersionFetched(path);
    }
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

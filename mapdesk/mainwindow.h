#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QByteArray>
#include <QMainWindow>
#include <QPoint>
#include <QString>
#include <QStringList>
#include <QVector>

#include "gateway7fclient.h"
#include "gatewaydiscovery.h"
#include "mapcheck.h"
#include "maptablemodel.h"

class AclEditor;
class AddressMapEditor;
class DeviceListTable;
class DebugLogView;
class LocalIpComboBox;
class ModbusAssWidget;
class PointListView;
class QCloseEvent;
class QDialog;
class QHostAddress;
class QLabel;
class QMenu;
class SshConsoleView;
class RemoteActions;
class RemoteSession;
class RemoteFlowRunner;
struct FlowContext;
class QStandardItemModel;
class QTcpSocket;
class QTimer;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:

    // The SSH flows and their pending codes: RemoteFlows::Code.
    static const int kSshPort = 22;  // RemoteSession::kSshPort
    // Typing a root path changes it on every key; check once typing pauses.
    static const int kRootCheckDelayMs = 800;

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Working state shared with the SSH/TFTP flows.
    QString localIp() const { return m_localIp; }
    QString gatewayIp() const { return m_gw.ip; }
    QString gatewayKey() const { return m_gw.deviceKey; }
    QString serialPrefix() const { return m_gw.serialPrefix(); }
    // The selected gateway's whole serial number (the prefix when only that is known).
    QString serialNumber() const;
    bool is7FConnected() const;
    int pendingOpCode() const;
    Gateway7FClient *gateway7F() const { return m_7f; }
    // The gateway's 7F port (tests point it elsewhere).
    void set7FPort(quint16 port) { m_7fPort = port; }
    bool isSshConnected() const;
    int sshPendingOpCode() const;
    RemoteFlowRunner *flowRunner() const { return m_runner; }
    // Where the search datagram goes (tests point it elsewhere).
    void setDiscoveryPort(quint16 port) { m_discovery->setPort(port); }
    GatewayDiscovery *discovery() const { return m_discovery; }
    // The TFTP server's root directory as shown in its panel.
    QString tftpRoot() const;
    QStandardItemModel *devListModel() const;
    MapTableModel *mapModel() const { return m_mapModel; }

    // Device list and address map operations.
    void addDeviceRow(int aid, const QString &deviceKey, const QString &sn);
    void addMapRow(int address, const QString &deviceKey, const QString &productCode,
                   const QString &modelName, const QString &name = QString());
    bool mapContainsDevice(const QString &deviceKey);
    bool writeMapJson(const QString &path, QString *error = nullptr);
    // Replaces the map with the file's nodes; on a parse error shows its box
    // and leaves the map as it was.
    bool readMapJson(const QString &path);
    // Local open and save (the buttons ask for the path first).
    bool openMapFile(const QString &path);
    bool saveMapFile(const QString &path);
    // The map has edits that are neither saved nor installed (title marked "*").
    bool mapModified() const;
    MapCheck::Result checkMap() const;

    // For the remote flows: the status bar text and the green/red labels.
    void showStatus(const QString &text);
    static QString greenStyle();
    static QString redStyle();

signals:
    void sigSendSshCmd(QString strMsg);
    void sigDisconnecteSsh();
    // The engineer's answer to a first-use host key question.
    void sigAcceptHostKey();
    void sigRejectHostKey();

public slots:
    // Discovery and 7F connection.
    void onGwDetectStartBtnPressed();
    void onGwDetectTimeOut();
    void onProcessGwDetectPendingDatagram(int index);
    void onGwInfoComboBoxCurrentIndexChanged(const QString &arg1);
    void onGw7FConnectBtnPressed();
    void on7FDisconnected();
    void on7FConnected();
    void on7FConnectFailed(const QString &why);
    void on7fCmdTimerTimeout();
    void on_getGwInfoBtn_clicked();
    void on_gw7FGetAllDevInfoBtn_clicked();
    void deleteOnePlcDevDilog();
    void on_gwSndCmdBtn_clicked();
    void on_gwClearRcvBufBtn_clicked();

    // Device list and map editor.
    void onRBtnAllDevMemu(QPoint pos);
    void addOneDevToMapjsonRow();
    void onRBtnMapjsonMemu(QPoint pos);
    void deleteOneMapjsonRow();
    void onAllDevAddToMapBtnClicked();
    void onCompareBtnClicked();

    // SSH shell and the remote flows over it.
    void onSshConnectBtnClicked();
    void onSshConnectStateChanged(bool bState, QString strIp, int nPort, QString errStr);
    void onSshSlotDataArrived(QString strMsg, QString strIp, int nPort);
    void onSshErrorArrived(QString strMsg, QString strIp, int nPort);
    void onSshHostKeyUnknown(QString fingerprint);
    void onSshHostKeyChanged(QString pinned, QString offered);
    void onSshGetMapJsonBtnClicked();
    void onSshDownloadMapJsonBtnClicked();
    void onSshRebootGwBtnClicked();
    void on_sshGetVrvCfgBtn_clicked();
    void on_sshDownloadVrvCfgBtn_clicked();
    void on_sshRebootMbBtn_clicked();
    void on_getRelaySoftverBtn_clicked();
    void on_upgradeGwSoftwareBtn_clicked();
    void on_upgradeRelayBtn_clicked();
    void onTftpRootDirChanged();
    void onGetOneTftpFileOk(QString name);
    void onPutOneTftpFileOk(QString name);
    void onSshCmdTimerTimeout();

    // The address map on the PC.
    void onOpenMapBtnClicked();
    void onSaveMapBtnClicked();
    // The point list the gateway's service serves, fetched by a flow.
    void onExportPointsBtnClicked();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void findLocalIp();
    void setupDiscovery();
    void setup7F();
    void setupSsh();
    void setupTables();
    void setupRemote();
    // The Modbus client allow-list editor and its flows.
    void setupAcl();
    void updateAclActions();
    void onAclFetchRequested();
    void onAclInstallRequested();

    void stopDetect(bool byTimer);
    // Returns true when the command went out and is now pending.
    bool send7FCommand(int code);
    void appendDebugLog(const QString &paragraph);
    void onDeviceListAnswered(const QVector<Gateway7FDevice> &devices);
    QString currentDeviceKey() const;

    // SSH flows.
    void setSshLook(bool connected);
    bool sshFlowMayStart();
    bool sshLinkUp();
    bool tftpReady();
    FlowContext flowContext() const;
    void startFlow(int code, const FlowContext &ctx);
    void onFlowFetched(int code, const QString &path);
    // Unsaved edits: ask before the table is replaced.
    bool mayReplaceMap();
    // Shows the map's problems; false when it must not go to the gateway.
    bool mapFitForInstall();
    bool sshFlowHoldsCentral() const;
    void checkPackages();
    // Both upgrade buttons: the program's rule row (UpgradeRules::Program).
    void upgrade(int program);
    QLabel *versionLabel(int program, bool package) const;
    void showPointList(const QString &path);

    Ui::MainWindow *ui;

    // Discovery and the 7F link.
    QString m_localIp;
    FoundGateway m_gw;  // the selected gateway
    GatewayDiscovery *m_discovery = nullptr;
    Gateway7FClient *m_7f = nullptr;
    quint16 m_7fPort = Gateway7FClient::kPort;

    // SSH shell, flows, the map file.
    void showSshState(bool bState, const QString &errStr);
    void askReplaceHostKey(const QString &id, const QString &pinned, const QString &offered);
    RemoteSession *m_session = nullptr;
    RemoteActions *m_actions = nullptr;
    RemoteFlowRunner *m_runner = nullptr;
    QString m_baseTitle;
    QTimer *m_rootCheckTimer = nullptr;

    // Device list and address map.
    DeviceListTable *m_devices = nullptr;
    AddressMapEditor *m_mapEditor = nullptr;
    MapTableModel *m_mapModel = nullptr;

    // Field-laptop panels: choice of the PC's network, the debug log with
    // its filter, the SSH console, the test panel that follows the gateway.
    void setupLaptopPanels();
    QHostAddress discoveryAddress() const;
    LocalIpComboBox *m_localIpCombo = nullptr;
    DebugLogView *m_debugLog = nullptr;
    SshConsoleView *m_sshConsole = nullptr;
    ModbusAssWidget *m_modbusPanel = nullptr;
    bool m_startupPackageCheck = false;
    QDialog *m_pointDialog = nullptr;  // made at the first export, kept for the next
    PointListView *m_pointList = nullptr;
    AclEditor *m_aclEditor = nullptr;
    QString m_aclGateway;  // the gateway the editor's list was fetched from or installed to  // the first check reports in the upgrade tab, not in boxes
};

#endif // MAINWINDOW_H

#ifndef MAINWINDOW_H
#define MAINWINDOW_H

// The tool's window: the form's widgets wired to the pieces that do the
// work (discovery, the 7F and SSH links, the device list and map editor, the
// remote flows, the upgrade tab, the allow-list editor, the laptop panels).
// It holds the selected gateway and the PC's address they share.

#include <QMainWindow>
#include <QPoint>
#include <QString>

#include "gatewaydiscovery.h"

class AclGatewayLink;
class AddressMapEditor;
class DebugLogView;
class DeviceListTable;
class ElidedLabel;
class Gateway7FClient;
class Gateway7FPanel;
class LocalIpComboBox;
class MapTableModel;
class ModbusAssWidget;
class PointListDialog;
class QCloseEvent;
class RemoteActions;
class RemoteFlowRunner;
class RelayStatusView;
class RemoteSession;
class SshConsoleView;
class SshLinkPanel;
class UpgradePanel;
struct FlowContext;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Working state shared with the 7F and SSH/TFTP flows.
    QString localIp() const { return m_localIp; }
    QString gatewayIp() const { return m_gw.ip; }
    QString gatewayKey() const { return m_gw.deviceKey; }
    QString serialPrefix() const { return m_gw.serialPrefix(); }
    // The selected gateway's whole serial number (the prefix when only that is known).
    QString serialNumber() const { return m_gw.serial; }
    bool is7FConnected() const;
    int pendingOpCode() const;
    Gateway7FClient *gateway7F() const { return m_7f; }
    bool isSshConnected() const;
    int sshPendingOpCode() const;
    RemoteFlowRunner *flowRunner() const { return m_runner; }
    GatewayDiscovery *discovery() const { return m_discovery; }
    // The TFTP server's root directory as shown in its panel.
    QString tftpRoot() const;
    DeviceListTable *deviceList() const { return m_devices; }
    AddressMapEditor *mapEditor() const { return m_mapEditor; }
    MapTableModel *mapModel() const { return m_mapModel; }
    // The status bar's message, whole (the bar shows it cut to its width).
    void showStatus(const QString &text);
    QString statusText() const;

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
    void setupLaptopPanels();
    void setupLinks();
    void setupTables();
    void setupRemote();
    void stopDetect(bool byTimer);
    // The gateway may be changed (and searched for) only while no link to it is up or being made.
    void updateGatewayChoice();
    // A 7F command or a remote flow that holds the window keeps it disabled.
    void updateWindowHold();
    void onFlowFetched(int code, const QString &path);
    FlowContext flowContext() const;

    Ui::MainWindow *ui;

    QString m_localIp;
    FoundGateway m_gw;  // the selected gateway
    GatewayDiscovery *m_discovery = nullptr;
    Gateway7FClient *m_7f = nullptr;
    Gateway7FPanel *m_7fPanel = nullptr;

    RemoteSession *m_session = nullptr;
    RemoteActions *m_actions = nullptr;
    RemoteFlowRunner *m_runner = nullptr;
    SshLinkPanel *m_sshPanel = nullptr;
    UpgradePanel *m_upgrade = nullptr;
    AclGatewayLink *m_acl = nullptr;
    PointListDialog *m_pointDialog = nullptr;  // made at the first export, kept for the next

    DeviceListTable *m_devices = nullptr;
    AddressMapEditor *m_mapEditor = nullptr;
    MapTableModel *m_mapModel = nullptr;
    QString m_baseTitle;
    ElidedLabel *m_statusLine = nullptr;

    LocalIpComboBox *m_localIpCombo = nullptr;
    DebugLogView *m_debugLog = nullptr;
    SshConsoleView *m_sshConsole = nullptr;
    ModbusAssWidget *m_modbusPanel = nullptr;
    RelayStatusView *m_relayStatus = nullptr;
};

#endif // MAINWINDOW_H

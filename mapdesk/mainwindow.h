#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QByteArray>
#include <QJsonObject>
#include <QMainWindow>
#include <QPoint>
#include <QString>

class DebugLogView;
class LocalIpComboBox;
class ModbusAssWidget;
class QMenu;
class QStandardItemModel;
class SshConsoleView;
class QTcpSocket;
class QTimer;
class QUdpSocket;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // The 7F command that waits for its answer.
    enum PendingOp { OpNone = 0, OpReadGwVersion = 1, OpGetAllDevices = 2, OpDeleteDevice = 4 };

    static const quint16 kDiscoveryPort = 9980;
    static const quint16 k7FPort = 9981;
    static const int kDiscoveryMs = 5000;
    static const int kConnectWaitMs = 3000;
    static const int kReadVersionTimeoutMs = 5000;
    static const int kGetAllDevicesTimeoutMs = 15000;
    static const int kDeleteDeviceTimeoutMs = 10000;
    static const int kDebugLogLimit = 5120;

    // The SSH flow that waits for its file transfer.
    enum SshOp {
        SshOpNone = 0,
        SshOpGetMapJson = 1,
        SshOpPutMapJson = 2,
        SshOpUpgradeGw = 3,
        SshOpGetRelayVer = 4,
        SshOpUpgradeRelay = 5,
        SshOpGetVrvCfg = 6,
        SshOpPutVrvCfg = 7
    };
    static const int kSshPort = 22;
    // Typing a root path changes it on every key; check once typing pauses.
    static const int kRootCheckDelayMs = 800;
    static int sshFlowTimeoutMs(int code);

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Working state shared with the SSH/TFTP flows.
    QString localIp() const { return m_localIp; }
    QString gatewayIp() const { return m_gwIp; }
    QString gatewayKey() const { return m_gwDevKey; }
    QString serialPrefix() const { return m_gwSnPrefix; }
    bool is7FConnected() const { return m_7fConnected; }
    int pendingOpCode() const { return m_pendingOpCode; }
    bool isSshConnected() const { return m_sshConnected; }
    int sshPendingOpCode() const { return m_sshPendingOpCode; }
    // The TFTP server's root directory as shown in its panel.
    QString tftpRoot() const;
    QStandardItemModel *devListModel() const { return m_allDevModel; }
    QStandardItemModel *mapModel() const { return m_mapModel; }

    // Device list and address map operations.
    void addDeviceRow(int aid, const QString &deviceKey, const QString &sn);
    void addMapRow(int address, const QString &deviceKey, const QString &productCode,
                   const QString &modelName);
    bool mapContainsDevice(const QString &deviceKey);
    bool writeMapJson(const QString &path, QString *error = nullptr);
    // Appends the file's nodes to the map; shows the parse error box on failure.
    bool readMapJson(const QString &path);

    // For the remote flows: the status bar text and the green/red labels.
    void showStatus(const QString &text);
    static QString greenStyle();
    static QString redStyle();

signals:
    void sigSendSshCmd(QString strMsg);
    void sigDisconnecteSsh();

public slots:
    // Discovery and 7F connection.
    void onGwDetectStartBtnPressed();
    void onGwDetectTimeOut();
    void onProcessGwDetectPendingDatagram();
    void onGwInfoComboBoxCurrentIndexChanged(const QString &arg1);
    void onGw7FConnectBtnPressed();
    void on7FDisconnected();
    void on7FReadyRead();
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

private:
    void findLocalIp();
    void setupDiscovery();
    void setup7F();
    void setupSsh();
    void setupTables();
    void setupRemote();

    void stopDetect(bool byTimer);
    // Returns true when the command went out and is now pending.
    bool send7FCommand(int code);
    void end7FCommand();
    void appendDebugLog(const QString &paragraph);
    void handle7FMessage(const QByteArray &topic, const QByteArray &payload);
    bool acceptVersionAnswer(const QJsonObject &o, const QString &dk, const QString &cmd,
                             const QString &sno);
    bool acceptDeviceListAnswer(const QJsonObject &o, const QString &cmd);
    bool acceptDeleteAnswer(const QJsonObject &o, const QString &dk, const QString &cmd,
                            const QString &sno);
    QString currentDeviceKey() const;

    // SSH flows.
    void setSshLook(bool connected);
    bool sshFlowMayStart();
    bool sshLinkUp();
    void startSshFlow(int code, const QString &expectedFile, const QString &command);
    void endSshFlow();
    bool sshFlowHoldsCentral() const;
    void backupInTftpRoot(const QString &file);
    void checkPackages();

    Ui::MainWindow *ui;

    // 6.1 state
    QString m_localIp;
    QString m_gwIp;
    QString m_gwDevKey;
    QString m_gwSnPrefix;
    bool m_detecting = false;
    QUdpSocket *m_detectSocket = nullptr;
    QTimer *m_detectTimer = nullptr;
    QTcpSocket *m_7fSocket = nullptr;
    bool m_7fConnected = false;
    bool m_7fConnecting = false;
    QByteArray m_rcvBuf;
    QTimer *m_7fCmdTimer = nullptr;
    int m_pendingOpCode = OpNone;
    QString m_lastSno;
    QString m_pendingDelKey;

    // 6.3 state
    bool m_sshConnected = false;
    int m_sshPendingOpCode = SshOpNone;
    QString m_sshPendingFile;  // the transfer that completes the pending flow
    QTimer *m_sshCmdTimer = nullptr;
    QTimer *m_rootCheckTimer = nullptr;

    // 6.2 state
    QStandardItemModel *m_allDevModel = nullptr;
    QStandardItemModel *m_mapModel = nullptr;
    QMenu *m_allDevMenu = nullptr;
    QMenu *m_mapMenu = nullptr;

    // Field-laptop panels: choice of the PC's network, the debug log with
    // its filter, the SSH console, the test panel that follows the gateway.
    void setupLaptopPanels();
    LocalIpComboBox *m_localIpCombo = nullptr;
    DebugLogView *m_debugLog = nullptr;
    SshConsoleView *m_sshConsole = nullptr;
    ModbusAssWidget *m_modbusPanel = nullptr;
    bool m_startupPackageCheck = false;  // the first check reports in the upgrade tab, not in boxes
};

#endif // MAINWINDOW_H

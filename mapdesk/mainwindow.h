#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QByteArray>
#include <QJsonObject>
#include <QMainWindow>
#include <QPoint>
#include <QString>

class QMenu;
class QStandardItemModel;
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

private:
    void findLocalIp();
    void setupDiscovery();
    void setup7F();
    void setupSsh();
    void setupTables();

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

    // SSH side (flows come with the remote configuration work).
    bool m_sshConnected = false;
    int m_sshPendingOpCode = 0;

    // 6.2 state
    QStandardItemModel *m_allDevModel = nullptr;
    QStandardItemModel *m_mapModel = nullptr;
    QMenu *m_allDevMenu = nullptr;
    QMenu *m_mapMenu = nullptr;
};

#endif // MAINWINDOW_H

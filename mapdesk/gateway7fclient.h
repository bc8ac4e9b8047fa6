#ifndef GATEWAY7FCLIENT_H
#define GATEWAY7FCLIENT_H

// The tool's 7F connection to a gateway's main program: an asynchronous
// connect with its own time limit (the GUI thread never blocks), the framing,
// the command and answer JSON, and the rule that one command waits at a time,
// guarded by its timer. Answers come out as signals.

#include <QByteArray>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QVector>

class QTcpSocket;
class QTimer;

struct Gateway7FDevice
{
    int aid = 0;
    QString deviceKey;
    QString sn;  // first 11 characters of the serial number
};

Q_DECLARE_METATYPE(QVector<Gateway7FDevice>)

class Gateway7FClient : public QObject
{
    Q_OBJECT
public:
    enum Command { None = 0, ReadVersion = 1, GetAllDevices = 2, DeleteDevice = 4 };
    enum SendResult { Sent, Busy, NotConnected, NotBuilt };

    static const quint16 kPort = 9981;
    static const int kConnectWaitMs = 3000;

    explicit Gateway7FClient(QObject *parent = nullptr);
    ~Gateway7FClient() override;

    // Returns at once; connected() or connectFailed() follows within kConnectWaitMs.
    void connectToGateway(const QString &ip, const QString &gatewayKey, quint16 port = kPort);
    void disconnectFromGateway();
    bool isConnected() const { return m_connected; }
    bool isConnecting() const { return m_connecting; }

    int pendingCommand() const { return m_pending; }
    // deviceKey is the device to delete (DeleteDevice only).
    SendResult sendCommand(int code, const QString &deviceKey = QString());
    // Ends the pending command as its timer would.
    void expireCommand() { onCommandTimeout(); }
    // A hand-written frame for the debug view: no pending state, no timer.
    bool sendRaw(const QByteArray &topic, const QByteArray &payload);

    static int timeoutMs(int code);
    static QString commandTopic(const QString &gatewayKey);
    static QString commandPayload(int code, const QString &sno, const QString &deviceKey);

signals:
    void connected();
    void connectFailed(QString why);
    void disconnected();
    // Every frame sent by sendCommand and every frame received, for the debug log.
    void frameSent(QString topic, QString payload, int code);
    void frameReceived(QByteArray topic, QByteArray payload);
    // A keep-alive came and was answered.
    void keepAliveAnswered();
    void versionAnswered(QString version);
    void deviceListAnswered(QVector<Gateway7FDevice> devices);
    void deleteAnswered(QString deviceKey, int errorCode);
    void commandTimedOut(int code);
    // The pending command ended (answer or timeout): another may be sent.
    void commandEnded(int code);

private slots:
    void onConnected();
    void onSocketError();
    void onConnectTimeout();
    void onDisconnected();
    void onReadyRead();
    void onCommandTimeout();

private:
    void failConnect(const QString &why);
    void handleMessage(const QByteArray &topic, const QByteArray &payload);
    void endCommand();

    QTcpSocket *m_socket;
    QTimer *m_connectTimer;
    QTimer *m_cmdTimer;
    QByteArray m_rcvBuf;
    QString m_gwKey;
    bool m_connected = false;
    bool m_connecting = false;
    int m_pending = None;
    QString m_lastSno;
    QString m_pendingDelKey;
};

#endif // GATEWAY7FCLIENT_H

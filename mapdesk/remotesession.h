#ifndef REMOTESESSION_H
#define REMOTESESSION_H

// The tool's remote side of one gateway: the SSH shell (a new client per
// connect, each in its own thread), the host key pin of that gateway, the
// TFTP server panel the gateway fetches from and pushes to, and the flow
// runner fed by both. The window shows what it reports and asks the
// engineer the host key questions; nothing here is a widget of its own.

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QSettings;
class QtftpWidget;
class QWidget;
class RemoteFlowRunner;
struct FlowContext;

// What one SSH client is made for.
struct SshTarget
{
    QString host;
    int port = 22;
    QString password;
    QString userName;
    QString hostKeyId;  // the pin the offered key must match
};

class RemoteSession : public QObject
{
    Q_OBJECT
public:
    static const int kSshPort = 22;
    // Makes and starts the client for a connect; the client reports back
    // through the slots below and listens to toShell, clientsDisconnect,
    // acceptKey and rejectKey.
    using ClientFactory = std::function<void(RemoteSession *, const SshTarget &)>;

    // Boxes (TFTP readiness, the runner's) open over dialogParent.
    RemoteSession(QWidget *dialogParent, QtftpWidget *tftp, QObject *parent = nullptr);
    ~RemoteSession() override;

    RemoteFlowRunner *runner() const { return m_runner; }
    bool isConnected() const { return m_connected; }
    // The pin id of the last connect (serial number and device key).
    QString hostKeyId() const { return m_hostKeyId; }

    // Connects as root with the password of the gateway's serial prefix;
    // the root password goes only to a host that shows this gateway's key.
    void open(const QString &host, const QString &serial, const QString &serialPrefix,
              const QString &deviceKey, int port = kSshPort);
    // The engineer's disconnect: the link counts as down at once.
    void close();
    // Pins of host keys (null: the tool's settings). Not owned.
    void setHostKeySettings(QSettings *settings) { m_keySettings = settings; }
    // Tests make clients of their own; empty: real SSH clients.
    void setClientFactory(ClientFactory factory) { m_factory = std::move(factory); }
    // The engineer chose to replace a changed key of that gateway.
    void replaceHostKey(const QString &gatewayId, const QString &offered);

    QString tftpRoot() const;
    // The TFTP server runs, or the engineer has had it started (boxes otherwise).
    bool tftpReady();
    // Copies <gatewayKey>-<file> in the TFTP root aside with a time stamp.
    void backupInRoot(const QString &gatewayKey, const QString &file) const;
    void startFlow(int code, const FlowContext &ctx);

public slots:
    // Typed into the shell of every live client.
    void type(const QString &command);
    void acceptHostKey();
    void rejectHostKey();

    // What a client reports.
    void linkStateChanged(bool up, const QString &error);
    void shellOutput(const QString &text);
    void shellError(const QString &text);
    void hostKeyOffered(const QString &fingerprint);
    void hostKeyMismatch(const QString &pinned, const QString &offered);

signals:
    // The flows' commands; whoever owns the session passes them to type()
    // (the window does so through its own signal, which tests watch).
    void commandOut(QString command);
    void stateChanged(bool up, QString error);
    void outputArrived(QString text);
    void errorArrived(QString text);
    // First use: the login waits for acceptHostKey() or rejectHostKey().
    void hostKeyUnknown(QString fingerprint);
    // Another key than the pinned one was offered; the connection is stopping.
    void hostKeyChangeSeen(QString pinned, QString offered);
    // After the link went down: the engineer declined the first-use key...
    void hostKeyDeclined();
    // ...or the connection stopped at a changed key.
    void hostKeyRefused(QString gatewayId, QString pinned, QString offered);

    // To the live clients.
    void toShell(QString command);
    void clientsDisconnect();
    void acceptKey();
    void rejectKey();

private:
    void makeClient(const SshTarget &target);

    QWidget *m_dialogParent;
    QtftpWidget *m_tftp;
    RemoteFlowRunner *m_runner;
    ClientFactory m_factory;
    QSettings *m_keySettings = nullptr;
    bool m_connected = false;
    QString m_hostKeyId;
    QStringList m_hostKeyChange;  // (pinned, offered) of a refused key
    bool m_hostKeyDeclined = false;
};

#endif // REMOTESESSION_H

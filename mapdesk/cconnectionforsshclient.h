#ifndef CCONNECTIONFORSSHCLIENT_H
#define CCONNECTIONFORSSHCLIENT_H

// One SSH shell on a gateway, living in a worker thread of its own. The main
// window talks to it only through queued signals: text to type goes in as a
// string, whatever the shell prints comes out as a string. A disconnect or an
// SSH error ends the worker thread and releases the client; each connect
// makes a new one.

#include <QByteArray>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QTextDecoder>

#include <memory>

#include "sshconnection.h"

class QThread;

class CConnectionForSshClient : public QObject
{
    Q_OBJECT
public:
    CConnectionForSshClient(const QString &host, int port, const QString &password,
                            const QString &userName, QObject *parent = nullptr);
    ~CConnectionForSshClient() override;

    // Starts the worker thread and connects from there. Call once, from the
    // thread that created the client, right after construction.
    void init();

    QString ipPort() const { return m_strIpPort; }
    // The gateway whose host key the connection must match (its pin id, see
    // HostKeyStore::gatewayId); empty: no check. Set before init().
    void setHostKeyId(const QString &id) { m_hostKeyId = id; }

    // The status text shown for an SSH error (empty for none or unknown).
    static QString errorText(QSsh::SshError sshError);
    // The login password for a gateway with this 11-character serial prefix.
    static QString passwordForSerialPrefix(const QString &serialPrefix);

signals:
    void sigInitForClild();
    void sigConnectStateChanged(bool bState, QString strIp, int nPort, QString errStr);
    void sigDataArrived(QString strMsg, QString strIp, int nPort);
    // The shell's standard error, for the console pane.
    void sigErrorArrived(QString strMsg, QString strIp, int nPort);
    // First connection to this gateway: the login waits until the window
    // answers with slotAcceptHostKey() or slotRejectHostKey().
    void sigHostKeyUnknown(QString fingerprint);
    // The gateway offers another key than the pinned one; the connection
    // stops before the password is sent (sigConnectStateChanged follows).
    void sigHostKeyChanged(QString pinned, QString offered);

public slots:
    void slotResetConnection(QString strIpPort);
    void slotSend(QString strIpPort, QString strMessage);
    void slotSend(QString strMessage);
    void slotSendByQByteArray(QString strIpPort, QByteArray arrMsg);
    void slotDisconnected();
    void slotDataReceived();
    void slotAcceptHostKey();
    void slotRejectHostKey();

private slots:
    void slotInitForClild();
    void slotCreateConnection();
    void slotConnected();
    void slotThreadFinished();
    void slotSshConnectError(QSsh::SshError sshError);
    void slotShellStart();
    void slotShellError();
    void slotShellClosed(int exitStatus);

private:
    void writeToShell(const QByteArray &bytes);
    void release();

    QThread *m_thread = nullptr;
    bool m_bConnected = false;
    bool m_bReleased = false;
    bool m_bShellStarted = false;
    QString m_strIp;
    int m_nPort;
    QString m_strUser;
    QString m_strPwd;
    QString m_strIpPort;
    QString m_hostKeyId;
    QSsh::SshConnectionParameters m_argParameters;
    QSsh::SshConnection *m_pSshSocket = nullptr;
    QSharedPointer<QSsh::SshRemoteProcess> m_shell;
    std::unique_ptr<QTextDecoder> m_decoder;  // keeps UTF-8 split across chunks whole
    std::unique_ptr<QTextDecoder> m_errDecoder;  // the same for standard error
};

#endif // CCONNECTIONFORSSHCLIENT_H

#ifndef SSHCONNECTION_H
#define SSHCONNECTION_H

// A small SSH client on libssh: one password-authenticated connection and
// one interactive shell on it. Everything is non-blocking and driven by the
// event loop of the thread the objects live in (socket notifier plus a short
// poll timer), so it never stalls that thread. All libssh calls stay on the
// owning thread; create, use and delete these objects there.

#include <QByteArray>
#include <QObject>
#include <QSharedPointer>
#include <QString>

class QSocketNotifier;
class QTimer;

struct ssh_session_struct;
struct ssh_channel_struct;

namespace QSsh {

enum SshError {
    SshNoError,
    SshSocketError,
    SshTimeoutError,
    SshProtocolError,
    SshHostKeyError,
    SshKeyFileError,
    SshAuthenticationError,
    SshClosedByServerError,
    SshInternalError
};

enum AuthenticationType {
    AuthenticationTypePassword,
    AuthenticationTypeKeyboardInteractive,
    AuthenticationTypePublicKey
};

struct SshConnectionParameters {
    QString host;
    QString userName;
    QString password;
    quint16 port = 22;
    int timeout = 15;  // seconds, for connecting and logging in
    AuthenticationType authenticationType = AuthenticationTypePassword;
    // The gateway's host key pin (HostKeyStore::gatewayId: serial number and
    // device key). Empty: the key is not checked.
    QString hostKeyId;
};

class HostKeyStore;

class SshConnection;

// The remote shell. Created by SshConnection::createRemoteShell().
class SshRemoteProcess : public QObject
{
    Q_OBJECT
public:
    ~SshRemoteProcess() override;

    void start();
    bool isRunning() const { return m_state == Running; }
    QByteArray readAllStandardOutput();
    QByteArray readAllStandardError();
    // Queues bytes for the shell's standard input; returns the count taken
    // (all of them while the shell runs, else -1).
    qint64 write(const QByteArray &data);

signals:
    void started();
    void readyReadStandardOutput();
    void readyReadStandardError();
    void closed(int exitStatus);

private:
    friend class SshConnection;
    enum State { NotStarted, Opening, RequestingShell, Running, Closed };
    explicit SshRemoteProcess(SshConnection *connection);
    void pump();            // called by the connection on every poll
    void finish(int exitStatus);
    // A non-blocking libssh step: true once done; SSH_AGAIN waits for the
    // next poll, an error ends the process.
    bool stepDone(int rc, const char *what);
    void releaseChannel();

    SshConnection *m_connection;
    ssh_channel_struct *m_channel = nullptr;
    State m_state = NotStarted;
    QByteArray m_stdout;
    QByteArray m_stderr;
    QByteArray m_stdin;     // not yet accepted by libssh
};

class SshConnection : public QObject
{
    Q_OBJECT
public:
    // AwaitingHostKey: a first connection waits for acceptHostKey() or
    // rejectHostKey(); the password has not been sent.
    enum State { Unconnected, Connecting, AwaitingHostKey, Authenticating, Connected };

    explicit SshConnection(const SshConnectionParameters &params, QObject *parent = nullptr);
    ~SshConnection() override;

    void connectToHost();
    void disconnectFromHost();
    State state() const { return m_state; }
    SshError errorState() const { return m_error; }
    QString errorString() const { return m_errorString; }
    QSharedPointer<SshRemoteProcess> createRemoteShell();

    // Where pins are kept (not owned); the tool's settings when never set.
    void setHostKeyStore(HostKeyStore *store);
    // The server's key as "SHA256:..." once the key exchange is done.
    QString hostKeyFingerprint() const { return m_fingerprint; }
    // Answers hostKeyUnknown: pin the key and log in, or stop.
    void acceptHostKey();
    void rejectHostKey();

signals:
    // First connection to this gateway: the engineer compares the
    // fingerprint and answers with acceptHostKey() or rejectHostKey().
    void hostKeyUnknown(const QString &fingerprint);
    // The gateway offers another key than the pinned one: the connection is
    // stopped (error SshHostKeyError follows). To take a replaced gateway's
    // key, pin `offered` in the store deliberately and connect again.
    void hostKeyChanged(const QString &pinned, const QString &offered);
    void connected();
    void disconnected();
    void error(QSsh::SshError);

private slots:
    void poll();
    void onTimeout();

private:
    // Tears the session down and ends its processes (each says so); false
    // when a handler deleted the connection meanwhile.
    bool endAll();
    friend class SshRemoteProcess;
    void fail(SshError code, const QString &text);
    void teardown();
    void startNotifier();
    bool checkHostKey();  // false: stopped or waiting for the engineer
    HostKeyStore *hostKeys();

    SshConnectionParameters m_params;
    ssh_session_struct *m_session = nullptr;
    State m_state = Unconnected;
    SshError m_error = SshNoError;
    QString m_errorString;
    bool m_tcpUp = false;   // the server's banner has been seen
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_pollTimer;
    QTimer *m_timeoutTimer;
    QList<SshRemoteProcess *> m_processes;
    bool m_inPoll = false;
    QString m_fingerprint;
    HostKeyStore *m_hostKeys = nullptr;
    HostKeyStore *m_ownHostKeys = nullptr;
};

} // namespace QSsh

Q_DECLARE_METATYPE(QSsh::SshError)

#endif // SSHCONNECTION_H

#include "sshconnection.h"

#include "hostkeystore.h"

#include <QDebug>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <libssh/libssh.h>

namespace QSsh {

namespace {
// libssh may hold decoded data that the socket no longer signals, and it
// finishes the TCP connect and key exchange only when called: a short poll
// timer keeps everything moving beside the socket notifier.
const int kPollIntervalMs = 20;
const int kReadChunk = 4096;

struct MetaTypeRegistration {
    MetaTypeRegistration() { qRegisterMetaType<QSsh::SshError>("QSsh::SshError"); }
} s_metaTypeRegistration;
}

// ---------------------------------------------------------------- process

SshRemoteProcess::SshRemoteProcess(SshConnection *connection)
    : QObject(nullptr), m_connection(connection)
{
}

SshRemoteProcess::~SshRemoteProcess()
{
    if (m_connection) {
        m_connection->m_processes.removeAll(this);
        releaseChannel();
    }
}

void SshRemoteProcess::releaseChannel()
{
    if (m_channel) {
        if (m_connection && m_connection->m_session)
            ssh_channel_free(m_channel);
        m_channel = nullptr;
    }
}

void SshRemoteProcess::start()
{
    if (m_state != NotStarted || !m_connection
        || m_connection->state() != SshConnection::Connected) {
        qDebug() << "SshRemoteProcess::start: no connection";
        return;
    }
    m_channel = ssh_channel_new(m_connection->m_session);
    if (!m_channel) {
        finish(-1);
        return;
    }
    m_state = Opening;
    m_connection->startNotifier();
}

QByteArray SshRemoteProcess::readAllStandardOutput()
{
    QByteArray out;
    out.swap(m_stdout);
    return out;
}

QByteArray SshRemoteProcess::readAllStandardError()
{
    QByteArray err;
    err.swap(m_stderr);
    return err;
}

qint64 SshRemoteProcess::write(const QByteArray &data)
{
    if (m_state != Running)
        return -1;
    m_stdin.append(data);
    pump();
    return data.size();
}

void SshRemoteProcess::finish(int exitStatus)
{
    const bool wasActive = m_state != Closed && m_state != NotStarted;
    m_state = Closed;
    releaseChannel();
    m_stdin.clear();
    if (wasActive)
        emit closed(exitStatus);
}

bool SshRemoteProcess::stepDone(int rc, const char *what)
{
    if (rc == SSH_OK)
        return true;
    if (rc != SSH_AGAIN) {
        qDebug() << "SshRemoteProcess:" << what << "failed:" << ssh_get_error(m_connection->m_session);
        finish(-1);
    }
    return false;
}

void SshRemoteProcess::pump()
{
    if (!m_channel || !m_connection)
        return;
    QPointer<SshRemoteProcess> self(this);
    switch (m_state) {
    case Opening:
        if (!stepDone(ssh_channel_open_session(m_channel), "channel open"))
            return;
        m_state = RequestingShell;
        Q_FALLTHROUGH();
    case RequestingShell: {
        if (!stepDone(ssh_channel_request_shell(m_channel), "shell request"))
            return;
        m_state = Running;
        emit started();
        if (!self || m_state != Running)
            return;
    }
        Q_FALLTHROUGH();
    case Running: {
        while (!m_stdin.isEmpty()) {
            const int n = ssh_channel_write(m_channel, m_stdin.constData(), uint32_t(m_stdin.size()));
            if (n == SSH_ERROR) {
                finish(-1);
                return;
            }
            if (n <= 0)
                break;  // remote window full: try again on the next poll
            m_stdin.remove(0, n);
        }
        char buf[kReadChunk];
        bool gotOut = false, gotErr = false, failed = false;
        for (int stream = 0; stream < 2; ++stream) {
            QByteArray &dst = stream ? m_stderr : m_stdout;
            for (int guard = 0; guard < 256; ++guard) {
                const int n = ssh_channel_read_nonblocking(m_channel, buf, sizeof buf, stream);
                if (n > 0) {
                    dst.append(buf, n);
                    (stream ? gotErr : gotOut) = true;
                    continue;
                }
                if (n < 0)
                    failed = true;
                break;
            }
        }
        const bool ended = failed || ssh_channel_is_closed(m_channel) || ssh_channel_is_eof(m_channel);
        if (gotOut)
            emit readyReadStandardOutput();
        if (self && gotErr)
            emit readyReadStandardError();
        if (self && ended && m_state == Running) {
            // The shell or its channel ended; the exit status is not waited for.
            finish(failed ? -1 : 0);
        }
        return;
    }
    default:
        return;
    }
}

// ------------------------------------------------------------- connection

SshConnection::SshConnection(const SshConnectionParameters &params, QObject *parent)
    : QObject(parent), m_params(params),
      m_pollTimer(new QTimer(this)), m_timeoutTimer(new QTimer(this))
{
    m_pollTimer->setInterval(kPollIntervalMs);
    connect(m_pollTimer, &QTimer::timeout, this, &SshConnection::poll);
    m_timeoutTimer->setSingleShot(true);
    connect(m_timeoutTimer, &QTimer::timeout, this, &SshConnection::onTimeout);
}

SshConnection::~SshConnection()
{
    teardown();
    delete m_ownHostKeys;
    for (SshRemoteProcess *p : qAsConst(m_processes))
        p->m_connection = nullptr;
    m_processes.clear();
}

void SshConnection::connectToHost()
{
    if (m_state != Unconnected)
        return;
    m_error = SshNoError;
    m_errorString.clear();
    m_tcpUp = false;
    m_fingerprint.clear();

    m_session = ssh_new();
    if (!m_session) {
        fail(SshInternalError, QStringLiteral("cannot create an SSH session"));
        return;
    }
    const QByteArray host = m_params.host.toUtf8();
    const QByteArray user = m_params.userName.toUtf8();
    unsigned int port = m_params.port;
    long timeout = m_params.timeout > 0 ? m_params.timeout : 15;
    int no = 0;
    ssh_options_set(m_session, SSH_OPTIONS_HOST, host.constData());
    ssh_options_set(m_session, SSH_OPTIONS_PORT, &port);
    ssh_options_set(m_session, SSH_OPTIONS_USER, user.constData());
    ssh_options_set(m_session, SSH_OPTIONS_TIMEOUT, &timeout);
    // The user's ~/.ssh/config must not change how the tool logs in.
    ssh_options_set(m_session, SSH_OPTIONS_PROCESS_CONFIG, &no);
    ssh_set_blocking(m_session, 0);

    m_state = Connecting;
    m_timeoutTimer->start(int(timeout) * 1000);
    m_pollTimer->start();
    poll();
}

void SshConnection::startNotifier()
{
    if (m_notifier || !m_session)
        return;
    const socket_t fd = ssh_get_fd(m_session);
    if (fd == SSH_INVALID_SOCKET)
        return;
    m_notifier = new QSocketNotifier(qintptr(fd), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SshConnection::poll);
}

void SshConnection::poll()
{
    if (m_inPoll || m_state == Unconnected)
        return;
    m_inPoll = true;
    QPointer<SshConnection> self(this);

    if (m_state == Connecting) {
        const int rc = ssh_connect(m_session);
        startNotifier();
        if (ssh_get_serverbanner(m_session))
            m_tcpUp = true;
        if (rc == SSH_OK) {
            // Nothing secret leaves before the key is known to be the gateway's.
            if (!checkHostKey()) {
                if (self)
                    m_inPoll = false;
                return;
            }
            m_state = Authenticating;
        } else if (rc != SSH_AGAIN) {
            const QString why = QString::fromUtf8(ssh_get_error(m_session));
            m_inPoll = false;
            fail(m_tcpUp ? SshProtocolError : SshSocketError, why);
            return;
        }
    }
    if (m_state == Authenticating) {
        const QByteArray pw = m_params.password.toUtf8();
        const int rc = ssh_userauth_password(m_session, nullptr, pw.constData());
        if (rc == SSH_AUTH_SUCCESS) {
            m_state = Connected;
            m_timeoutTimer->stop();
            m_inPoll = false;
            emit connected();
            return;
        }
        if (rc != SSH_AUTH_AGAIN) {
            const QString why = QString::fromUtf8(ssh_get_error(m_session));
            m_inPoll = false;
            if (rc == SSH_AUTH_DENIED || rc == SSH_AUTH_PARTIAL)
                fail(SshAuthenticationError, why.isEmpty() ? QStringLiteral("authentication failed") : why);
            else
                fail(ssh_is_connected(m_session) ? SshProtocolError : SshClosedByServerError, why);
            return;
        }
    }
    if (m_state == Connected) {
        const QList<SshRemoteProcess *> procs = m_processes;
        for (SshRemoteProcess *p : procs) {
            if (!self || m_state != Connected)
                break;
            if (m_processes.contains(p))
                p->pump();
        }
        if (self && m_state == Connected && !ssh_is_connected(m_session)) {
            m_inPoll = false;
            fail(SshClosedByServerError, QStringLiteral("connection closed by the server"));
            return;
        }
    }
    if (self)
        m_inPoll = false;
}

void SshConnection::setHostKeyStore(HostKeyStore *store)
{
    m_hostKeys = store;
}

HostKeyStore *SshConnection::hostKeys()
{
    if (m_hostKeys)
        return m_hostKeys;
    if (!m_ownHostKeys)
        m_ownHostKeys = new HostKeyStore();
    return m_ownHostKeys;
}

bool SshConnection::checkHostKey()
{
    ssh_key key = nullptr;
    unsigned char *hash = nullptr;
    size_t hashLen = 0;
    if (ssh_get_server_publickey(m_session, &key) == SSH_OK && key
        && ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &hashLen) == 0) {
        char *text = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, hashLen);
        m_fingerprint = QString::fromLatin1(text);
        ssh_string_free_char(text);
    }
    ssh_clean_pubkey_hash(&hash);
    ssh_key_free(key);
    if (m_fingerprint.isEmpty()) {
        fail(SshHostKeyError, QStringLiteral("cannot read the server's host key"));
        return false;
    }
    if (m_params.hostKeyId.isEmpty())
        return true;
    const QString pinned = hostKeys()->pinned(m_params.hostKeyId);
    if (pinned == m_fingerprint)
        return true;
    QPointer<SshConnection> self(this);
    if (pinned.isEmpty()) {
        // A person decides: no timeout meanwhile.
        m_state = AwaitingHostKey;
        m_timeoutTimer->stop();
        emit hostKeyUnknown(m_fingerprint);
        return false;
    }
    const QString offered = m_fingerprint;
    emit hostKeyChanged(pinned, offered);
    if (self)
        fail(SshHostKeyError,
             QStringLiteral("the gateway's SSH host key has changed: pinned %1, offered %2; "
                            "connection stopped (accept the new key only for a replaced gateway)")
                 .arg(pinned, offered));
    return false;
}

void SshConnection::acceptHostKey()
{
    if (m_state != AwaitingHostKey)
        return;
    hostKeys()->pin(m_params.hostKeyId, m_fingerprint);
    m_state = Authenticating;
    m_timeoutTimer->start((m_params.timeout > 0 ? m_params.timeout : 15) * 1000);
    // The poll timer carries on with the login.
}

void SshConnection::rejectHostKey()
{
    if (m_state == AwaitingHostKey)
        fail(SshHostKeyError, QStringLiteral("host key %1 not accepted").arg(m_fingerprint));
}

void SshConnection::onTimeout()
{
    if (m_state == Connecting || m_state == Authenticating)
        fail(SshTimeoutError, QStringLiteral("connection timed out"));
}

void SshConnection::teardown()
{
    m_timeoutTimer->stop();
    m_pollTimer->stop();
    delete m_notifier;  // before the socket goes away
    m_notifier = nullptr;
    for (SshRemoteProcess *p : qAsConst(m_processes)) {
        if (p->m_channel) {
            if (p->m_state == SshRemoteProcess::Running)
                ssh_channel_close(p->m_channel);
            ssh_channel_free(p->m_channel);
            p->m_channel = nullptr;
        }
    }
    if (m_session) {
        if (ssh_is_connected(m_session))
            ssh_disconnect(m_session);
        ssh_free(m_session);
        m_session = nullptr;
    }
    m_state = Unconnected;
}

bool SshConnection::endAll()
{
    QPointer<SshConnection> self(this);
    const QList<SshRemoteProcess *> procs = m_processes;
    teardown();
    for (SshRemoteProcess *p : procs) {
        if (!self)
            return false;
        if (m_processes.contains(p))
            p->finish(-1);
    }
    return self;
}

void SshConnection::fail(SshError code, const QString &text)
{
    m_error = code;
    m_errorString = text;
    if (endAll())
        emit error(code);
}

void SshConnection::disconnectFromHost()
{
    if (m_state == Unconnected)
        return;
    if (endAll())
        emit disconnected();
}

QSharedPointer<SshRemoteProcess> SshConnection::createRemoteShell()
{
    QSharedPointer<SshRemoteProcess> p(new SshRemoteProcess(this));
    m_processes.append(p.data());
    return p;
}

} // namespace QSsh

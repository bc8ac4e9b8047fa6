#include "remotesession.h"

#include "cconnectionforsshclient.h"
#include "dialogseam.h"
#include "hostkeystore.h"
#include "qtftpwidget.h"
#include "remoteflows.h"
#include "utf8text.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>

RemoteSession::RemoteSession(QWidget *dialogParent, QtftpWidget *tftp, QObject *parent)
    : QObject(parent)
    , m_dialogParent(dialogParent)
    , m_tftp(tftp)
    , m_runner(new RemoteFlowRunner(dialogParent, this))
{
    connect(m_runner, &RemoteFlowRunner::sendCommand, this, &RemoteSession::commandOut);
    connect(m_tftp, &QtftpWidget::sigRcvOneFile, m_runner, &RemoteFlowRunner::fileReceived);
    connect(m_tftp, &QtftpWidget::sigSendOneFile, m_runner, &RemoteFlowRunner::fileSent);
}

RemoteSession::~RemoteSession()
{
    // A live client (connected or still connecting) ends its thread and releases itself.
    emit clientsDisconnect();
}

void RemoteSession::open(const QString &host, const QString &serial, const QString &serialPrefix,
                         const QString &deviceKey, int port)
{
    SshTarget t;
    t.host = host;
    t.port = port;
    t.password = CConnectionForSshClient::passwordForSerialPrefix(serialPrefix);
    t.userName = QStringLiteral("root");
    t.hostKeyId = QSsh::HostKeyStore::gatewayId(serial, deviceKey);
    m_hostKeyId = t.hostKeyId;
    m_hostKeyChange.clear();
    m_hostKeyDeclined = false;
    if (m_factory)
        m_factory(this, t);
    else
        makeClient(t);
}

void RemoteSession::makeClient(const SshTarget &t)
{
    auto *client = new CConnectionForSshClient(t.host, t.port, t.password, t.userName);
    client->setHostKeyId(t.hostKeyId);
    client->init();
    connect(client, &CConnectionForSshClient::sigHostKeyUnknown, this, &RemoteSession::hostKeyOffered);
    connect(client, &CConnectionForSshClient::sigHostKeyChanged, this, &RemoteSession::hostKeyMismatch);
    connect(this, &RemoteSession::acceptKey, client, &CConnectionForSshClient::slotAcceptHostKey);
    connect(this, &RemoteSession::rejectKey, client, &CConnectionForSshClient::slotRejectHostKey);
    connect(client, &CConnectionForSshClient::sigConnectStateChanged, this,
            [this](bool up, QString, int, QString error) { linkStateChanged(up, error); });
    connect(client, &CConnectionForSshClient::sigDataArrived, this,
            [this](QString text, QString, int) { shellOutput(text); });
    connect(client, &CConnectionForSshClient::sigErrorArrived, this,
            [this](QString text, QString, int) { shellError(text); });
    connect(this, &RemoteSession::toShell, client, QOverload<QString>::of(&CConnectionForSshClient::slotSend));
    connect(this, &RemoteSession::clientsDisconnect, client, &CConnectionForSshClient::slotDisconnected);
}

void RemoteSession::close()
{
    m_connected = false;
    emit clientsDisconnect();
    m_runner->linkDown();
}

void RemoteSession::type(const QString &command)
{
    emit toShell(command);
}

void RemoteSession::acceptHostKey()
{
    emit acceptKey();
}

void RemoteSession::rejectHostKey()
{
    m_hostKeyDeclined = true;
    emit rejectKey();
}

void RemoteSession::linkStateChanged(bool up, const QString &error)
{
    m_connected = up;
    if (!up)
        m_runner->linkDown();
    emit stateChanged(up, error);
    if (up)
        return;
    // The host key questions come once the connection has stopped.
    if (m_hostKeyDeclined) {
        m_hostKeyDeclined = false;
        emit hostKeyDeclined();
        return;
    }
    if (m_hostKeyChange.size() != 2)
        return;
    const QStringList change = m_hostKeyChange;
    m_hostKeyChange.clear();
    emit hostKeyRefused(m_hostKeyId, change[0], change[1]);
}

void RemoteSession::shellOutput(const QString &text)
{
    emit outputArrived(text);
    m_runner->shellOutput(text);
}

void RemoteSession::shellError(const QString &text)
{
    emit errorArrived(text);
    m_runner->shellError(text);
}

void RemoteSession::hostKeyOffered(const QString &fingerprint)
{
    emit hostKeyUnknown(fingerprint);
}

void RemoteSession::hostKeyMismatch(const QString &pinned, const QString &offered)
{
    m_hostKeyChange = QStringList{pinned, offered};
    emit hostKeyChangeSeen(pinned, offered);
}

void RemoteSession::replaceHostKey(const QString &gatewayId, const QString &offered)
{
    QSsh::HostKeyStore(m_keySettings).pin(gatewayId, offered);
}

QString RemoteSession::tftpRoot() const
{
    return m_tftp->rootDir();
}

bool RemoteSession::tftpReady()
{
    if (m_tftp->isServerRunning())
        return true;
    const QString root = tftpRoot();
    if (!QDir(root).exists()) {
        DialogSeam::warning(m_dialogParent, "warning",
                            u("TFTP服务未开启, 其根目录") + root + u("不存在, 请先选择TFTP根目录!"));
        return false;
    }
    if (!DialogSeam::confirm(m_dialogParent, u("TFTP服务未开启"),
                             u("网关需从本机TFTP服务取送文件, 但TFTP服务未开启.\n是否以") + root
                                 + u("为根目录开启TFTP服务?"),
                             u("开启"), u("否")))
        return false;
    m_tftp->startServer();
    if (!m_tftp->isServerRunning()) {
        DialogSeam::warning(m_dialogParent, "warning", u("TFTP服务开启失败"));
        return false;
    }
    return true;
}

void RemoteSession::backupInRoot(const QString &gatewayKey, const QString &file) const
{
    const QDir root(tftpRoot());
    const QString name = gatewayKey + "-" + file;
    if (!root.exists(name))
        return;
    const QString stamp = QDateTime::currentDateTime().toString("yyyyMMddhhmmss");
    const QString backup = gatewayKey + "-" + stamp + "-" + file;
    if (!QFile::copy(root.filePath(name), root.filePath(backup)))
        qDebug().noquote() << "backup of" << root.filePath(name) << "to" << backup << "failed";
}

void RemoteSession::startFlow(int code, const FlowContext &ctx)
{
    m_runner->start(RemoteFlows::plan(code, ctx));
}

#include "cconnectionforsshclient.h"

#include <QDebug>
#include <QTextCodec>
#include <QThread>

namespace {
const char *errorName(QSsh::SshError e)
{
    switch (e) {
    case QSsh::SshNoError: return "SshNoError";
    case QSsh::SshSocketError: return "SshSocketError";
    case QSsh::SshTimeoutError: return "SshTimeoutError";
    case QSsh::SshProtocolError: return "SshProtocolError";
    case QSsh::SshHostKeyError: return "SshHostKeyError";
    case QSsh::SshKeyFileError: return "SshKeyFileError";
    case QSsh::SshAuthenticationError: return "SshAuthenticationError";
    case QSsh::SshClosedByServerError: return "SshClosedByServerError";
    case QSsh::SshInternalError: return "SshInternalError";
    }
    return nullptr;
}

QByteArray upToZero(const QByteArray &bytes)
{
    const int zero = bytes.indexOf('\0');
    return zero < 0 ? bytes : bytes.left(zero);
}
}

CConnectionForSshClient::CConnectionForSshClient(const QString &host, int port, const QString &password,
                                                 const QString &userName, QObject *parent)
    : QObject(parent), m_strIp(host), m_nPort(port), m_strUser(userName), m_strPwd(password),
      m_strIpPort(host + ":" + QString::number(port)),
      m_decoder(QTextCodec::codecForName("UTF-8")->makeDecoder()),
      m_errDecoder(QTextCodec::codecForName("UTF-8")->makeDecoder())
{
}

CConnectionForSshClient::~CConnectionForSshClient()
{
    m_shell.clear();
    delete m_pSshSocket;  // closes the session if it is still open
}

QString CConnectionForSshClient::passwordForSerialPrefix(const QString &serialPrefix)
{
    return serialPrefix == QLatin1String("99000000001") ? QStringLiteral("tandorik") : QStringLiteral("kel_M4");
}

QString CConnectionForSshClient::errorText(QSsh::SshError sshError)
{
    if (sshError == QSsh::SshTimeoutError)
        return QStringLiteral("ssh连接失败:超时");
    if (sshError == QSsh::SshNoError)
        return QString();
    const char *name = errorName(sshError);
    return name ? QString::fromLatin1(name) : QString();
}

void CConnectionForSshClient::init()
{
    m_thread = new QThread();
    connect(m_thread, &QThread::finished, this, &CConnectionForSshClient::slotThreadFinished);
    moveToThread(m_thread);
    m_thread->start(QThread::InheritPriority);
    connect(this, &CConnectionForSshClient::sigInitForClild, this, &CConnectionForSshClient::slotInitForClild);
    emit sigInitForClild();
}

void CConnectionForSshClient::slotInitForClild()
{
    m_argParameters.port = quint16(m_nPort);
    m_argParameters.userName = m_strUser;
    m_argParameters.password = m_strPwd;
    m_argParameters.host = m_strIp;
    m_argParameters.timeout = 15;
    m_argParameters.authenticationType = QSsh::AuthenticationTypePassword;
    m_argParameters.hostKeyId = m_hostKeyId;
    slotCreateConnection();
}

void CConnectionForSshClient::slotCreateConnection()
{
    qDebug() << "CConnectionForSshClient::slotCreateConnection检查连接";
    if (m_bConnected || m_bReleased)
        return;
    if (!m_pSshSocket) {
        m_pSshSocket = new QSsh::SshConnection(m_argParameters);
        connect(m_pSshSocket, &QSsh::SshConnection::connected, this, &CConnectionForSshClient::slotConnected);
        connect(m_pSshSocket, &QSsh::SshConnection::error, this, &CConnectionForSshClient::slotSshConnectError);
        connect(m_pSshSocket, &QSsh::SshConnection::hostKeyUnknown, this,
                &CConnectionForSshClient::sigHostKeyUnknown);
        connect(m_pSshSocket, &QSsh::SshConnection::hostKeyChanged, this,
                &CConnectionForSshClient::sigHostKeyChanged);
    }
    m_pSshSocket->connectToHost();
    qDebug() << "CConnectionForSshClient::slotCreateConnection() 以ssh方式 尝试连接:" + m_strIpPort;
}

void CConnectionForSshClient::slotConnected()
{
    qDebug() << "CConnectionForSshClient::slotConnected ssh已连接到:" + m_strIpPort;
    m_shell = m_pSshSocket->createRemoteShell();
    connect(m_shell.data(), &QSsh::SshRemoteProcess::started, this, &CConnectionForSshClient::slotShellStart);
    connect(m_shell.data(), &QSsh::SshRemoteProcess::readyReadStandardOutput, this, &CConnectionForSshClient::slotDataReceived);
    connect(m_shell.data(), &QSsh::SshRemoteProcess::readyReadStandardError, this, &CConnectionForSshClient::slotShellError);
    connect(m_shell.data(), &QSsh::SshRemoteProcess::closed, this, &CConnectionForSshClient::slotShellClosed);
    m_shell->start();
    m_bConnected = true;
    emit sigConnectStateChanged(true, m_strIp, m_nPort, QString());
}

void CConnectionForSshClient::slotShellStart()
{
    m_bShellStarted = true;
    qDebug() << "CConnectionForSshClient::slotShellStart Shell已连接:" + m_strIpPort;
}

void CConnectionForSshClient::slotShellError()
{
    // Drained at once so it cannot pile up; the console shows it apart from standard output.
    const QByteArray err = m_shell ? m_shell->readAllStandardError() : QByteArray();
    qDebug() << "CConnectionForSshClient::slotShellError Shell发生错误:" + m_strIpPort << err;
    const QString text = m_errDecoder->toUnicode(upToZero(err));
    if (!text.isEmpty())
        emit sigErrorArrived(text, m_strIp, m_nPort);
}

void CConnectionForSshClient::slotShellClosed(int exitStatus)
{
    // The shell ended under a live connection (an "exit" typed, a killed
    // shell): commands could no longer run, so the link counts as lost.
    if (m_bReleased || !m_pSshSocket || m_pSshSocket->state() != QSsh::SshConnection::Connected)
        return;
    qDebug() << "CConnectionForSshClient::slotShellClosed" << exitStatus << m_strIpPort;
    m_pSshSocket->disconnectFromHost();
    slotSshConnectError(QSsh::SshClosedByServerError);
}

void CConnectionForSshClient::writeToShell(const QByteArray &bytes)
{
    m_shell->write(upToZero(bytes));
}

void CConnectionForSshClient::slotSend(QString strMessage)
{
    qDebug() << "CConnectionForSshClient ssh send " + strMessage;
    if (m_bConnected && m_bShellStarted && m_shell) {
        writeToShell(strMessage.toLatin1());
    } else {
        qDebug() << "CConnectionForSshClient::send() ssh未连接 或 shell未连接:" + m_strIpPort;
    }
}

void CConnectionForSshClient::slotSend(QString strIpPort, QString strMessage)
{
    if (strIpPort != m_strIpPort)
        return;
    slotSend(strMessage);
}

void CConnectionForSshClient::slotSendByQByteArray(QString strIpPort, QByteArray arrMsg)
{
    if (strIpPort != m_strIpPort)
        return;
    if (m_bConnected && m_bShellStarted && m_shell)
        m_shell->write(arrMsg);
    else
        qDebug() << "CConnectionForSshClient::send(QString strMessage) 发送失败 未建立连接:" + strIpPort;
}

void CConnectionForSshClient::slotDataReceived()
{
    if (!m_shell)
        return;
    const QString text = m_decoder->toUnicode(upToZero(m_shell->readAllStandardOutput()));
    if (!text.isEmpty())
        emit sigDataArrived(text, m_strIp, m_nPort);
}

void CConnectionForSshClient::slotSshConnectError(QSsh::SshError sshError)
{
    if (m_bReleased)
        return;
    m_bShellStarted = false;
    m_bConnected = false;
    const char *name = errorName(sshError);
    if (name)
        qDebug() << "slotSshConnectError " + QString::fromLatin1(name) + m_strIpPort;
    emit sigConnectStateChanged(false, m_strIp, m_nPort, errorText(sshError));
    // No automatic reconnect: the next connect makes a new client.
    release();
}

void CConnectionForSshClient::slotAcceptHostKey()
{
    if (!m_bReleased && m_pSshSocket)
        m_pSshSocket->acceptHostKey();
}

void CConnectionForSshClient::slotRejectHostKey()
{
    if (!m_bReleased && m_pSshSocket)
        m_pSshSocket->rejectHostKey();
}

void CConnectionForSshClient::slotResetConnection(QString strIpPort)
{
    if (strIpPort == m_strIpPort)
        slotDisconnected();
}

void CConnectionForSshClient::slotDisconnected()
{
    if (m_bReleased)
        return;
    m_bConnected = false;
    m_bShellStarted = false;
    if (m_pSshSocket)
        m_pSshSocket->disconnectFromHost();
    // The main window already shows the link as down; no state signal here,
    // so a late one cannot overwrite the state of a newer client.
    release();
}

void CConnectionForSshClient::release()
{
    m_bReleased = true;
    if (m_thread)
        m_thread->quit();   // finished() deletes thread and client
    else
        deleteLater();
}

void CConnectionForSshClient::slotThreadFinished()
{
    m_thread->deleteLater();
    deleteLater();
}

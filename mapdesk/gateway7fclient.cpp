#include "gateway7fclient.h"

#include "frame7f.h"

#include <QDateTime>
#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTimer>

namespace {
QString jsonString(const QJsonObject &o, const char *key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isString() ? v.toString() : QString();
}

// A device key goes into hand-built JSON text; escape it so a quote or a
// backslash in it cannot break the command.
QString jsonEscaped(const QString &s)
{
    const QByteArray doc = QJsonDocument(QJsonArray{s}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(doc.mid(2, doc.size() - 4));  // ["..."] -> ...
}
} // namespace

Gateway7FClient::Gateway7FClient(QObject *parent)
    : QObject(parent)
    , m_socket(new QTcpSocket(this))
    , m_connectTimer(new QTimer(this))
    , m_cmdTimer(new QTimer(this))
{
    qRegisterMetaType<QVector<Gateway7FDevice>>();
    m_connectTimer->setSingleShot(true);
    m_connectTimer->setTimerType(Qt::PreciseTimer);
    m_cmdTimer->setObjectName("7fCmdTimer");
    m_cmdTimer->setSingleShot(true);
    // A coarse timer may fire up to 5 % early; a timeout is a promise to the user.
    m_cmdTimer->setTimerType(Qt::PreciseTimer);
    connect(m_socket, &QTcpSocket::connected, this, &Gateway7FClient::onConnected);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &Gateway7FClient::onSocketError);
    connect(m_socket, &QTcpSocket::disconnected, this, &Gateway7FClient::onDisconnected);
    connect(m_socket, &QTcpSocket::readyRead, this, &Gateway7FClient::onReadyRead);
    connect(m_connectTimer, &QTimer::timeout, this, &Gateway7FClient::onConnectTimeout);
    connect(m_cmdTimer, &QTimer::timeout, this, &Gateway7FClient::onCommandTimeout);
}

Gateway7FClient::~Gateway7FClient()
{
    // Nothing may reach a half-destroyed owner.
    m_socket->disconnect(this);
    m_socket->abort();
}

int Gateway7FClient::timeoutMs(int code)
{
    switch (code) {
    case ReadVersion: return 5000;
    case GetAllDevices: return 15000;
    case DeleteDevice: return 10000;
    default: return 0;
    }
}

QString Gateway7FClient::commandTopic(const QString &gatewayKey)
{
    return "local/" + gatewayKey + "/" + gatewayKey + "/command";
}

QString Gateway7FClient::commandPayload(int code, const QString &sno, const QString &deviceKey)
{
    switch (code) {
    case ReadVersion:
        return "{\"cmd\":\"read\",\"sno\":\"" + sno + "\"}";
    case GetAllDevices:
        return "{\"cmd\":\"getAllDeviceKey\",\"sno\":\"" + sno + "\"}";
    case DeleteDevice:
        return "{\"cmd\":\"delDevice\",\"channel\":\"plc\",\"data\":{\"deviceKey\":\""
               + jsonEscaped(deviceKey) + "\"},\"sno\":\"" + sno + "\"}";
    default:
        return QString();
    }
}

void Gateway7FClient::connectToGateway(const QString &ip, const QString &gatewayKey, quint16 port)
{
    if (m_connected || m_connecting)
        return;
    m_gwKey = gatewayKey;
    m_rcvBuf.clear();
    m_connecting = true;
    m_socket->abort();
    m_socket->connectToHost(ip, port, QIODevice::ReadWrite);
    m_connectTimer->start(kConnectWaitMs);
}

void Gateway7FClient::disconnectFromGateway()
{
    if (m_connecting) {
        failConnect(QStringLiteral("cancelled"));
        return;
    }
    if (m_connected)
        m_socket->disconnectFromHost();
}

void Gateway7FClient::onConnected()
{
    if (!m_connecting)
        return;
    m_connectTimer->stop();
    m_connecting = false;
    m_connected = true;
    emit connected();
    if (m_socket->bytesAvailable() > 0)
        QTimer::singleShot(0, this, &Gateway7FClient::onReadyRead);
}

void Gateway7FClient::onSocketError()
{
    // A refused or unreachable connect ends at once, not after the time limit.
    if (m_connecting)
        failConnect(m_socket->errorString());
}

void Gateway7FClient::onConnectTimeout()
{
    if (m_connecting)
        failConnect(QStringLiteral("no answer within %1 ms").arg(kConnectWaitMs));
}

void Gateway7FClient::failConnect(const QString &why)
{
    m_connectTimer->stop();
    m_connecting = false;
    m_connected = false;
    m_socket->abort();
    qDebug().noquote() << "7F connect failed:" << why;
    emit connectFailed(why);
}

void Gateway7FClient::onDisconnected()
{
    if (!m_connected)
        return;  // a failed connect attempt reports itself
    m_connected = false;
    m_rcvBuf.clear();
    // The pending command, if any, is left to its timer.
    emit disconnected();
}

Gateway7FClient::SendResult Gateway7FClient::sendCommand(int code, const QString &deviceKey)
{
    if (m_pending != None)
        return Busy;
    if (!m_connected)
        return NotConnected;
    const QString sno = QDateTime::currentDateTime().toString("yyyyMMddhhmmss");
    const QString topic = commandTopic(m_gwKey);
    const QString payload = commandPayload(code, sno, deviceKey);
    if (payload.isEmpty())
        return NotBuilt;
    const QByteArray frame = Frame7F::build(topic.toUtf8(), payload.toUtf8());
    if (frame.isEmpty()) {
        qDebug() << "7F frame too large, not sent";
        return NotBuilt;
    }
    m_pending = code;
    m_lastSno = sno;
    m_pendingDelKey = deviceKey;
    m_socket->write(frame);
    m_cmdTimer->start(timeoutMs(code));
    emit frameSent(topic, payload, code);
    return Sent;
}

bool Gateway7FClient::sendRaw(const QByteArray &topic, const QByteArray &payload)
{
    const QByteArray frame = Frame7F::build(topic, payload);
    if (frame.isEmpty()) {
        qDebug() << "debug frame too large, not sent";
        return false;
    }
    m_socket->write(frame);
    return true;
}

void Gateway7FClient::onCommandTimeout()
{
    const int code = m_pending;
    // Ended first, so a late answer is not taken for this command.
    endCommand();
    if (code != None)
        emit commandTimedOut(code);
    emit commandEnded(code);
}

void Gateway7FClient::endCommand()
{
    m_cmdTimer->stop();
    m_pending = None;
    m_lastSno.clear();
    m_pendingDelKey.clear();
}

void Gateway7FClient::onReadyRead()
{
    m_rcvBuf.append(m_socket->readAll());
    // Every frame in the buffer is handled; each pass consumes bytes.
    for (;;) {
        QByteArray topic, payload;
        const Frame7F::Result r = Frame7F::take(m_rcvBuf, &topic, &payload);
        if (r == Frame7F::NeedMore || r == Frame7F::Garbage)
            return;
        if (r == Frame7F::KeepAlive) {
            m_socket->write(Frame7F::keepAlive());
            emit keepAliveAnswered();
            continue;
        }
        emit frameReceived(topic, payload);
        handleMessage(topic, payload);
    }
}

void Gateway7FClient::handleMessage(const QByteArray &, const QByteArray &payload)
{
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(payload, &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject())
        return;
    const QJsonObject o = doc.object();
    const QString dk = jsonString(o, "deviceKey");
    const QString cmd = jsonString(o, "cmd");
    const QString sno = jsonString(o, "sno");
    const int code = m_pending;

    switch (code) {
    case ReadVersion: {
        if ((!cmd.isEmpty() && cmd != "read") || dk != m_gwKey || sno != m_lastSno)
            return;
        const QJsonValue md = o.value("metadata");
        if (!md.isObject() || !md.toObject().value("softwareVersion").isString())
            return;
        endCommand();
        emit versionAnswered(md.toObject().value("softwareVersion").toString());
        break;
    }
    case GetAllDevices: {
        if (cmd != "getAllDeviceKey" || !o.value("deviceList").isArray())
            return;
        QVector<Gateway7FDevice> devices;
        for (const QJsonValue &ev : o.value("deviceList").toArray()) {
            if (!ev.isObject())
                continue;
            const QJsonObject e = ev.toObject();
            Gateway7FDevice d;
            d.deviceKey = jsonString(e, "deviceKey");
            d.sn = jsonString(e, "sn").left(11);
            const QJsonValue aid = e.value("aid");
            d.aid = aid.isDouble() ? int(aid.toDouble()) : 0;
            if (!d.deviceKey.isEmpty() && !d.sn.isEmpty())
                devices.append(d);
        }
        endCommand();
        emit deviceListAnswered(devices);
        break;
    }
    case DeleteDevice: {
        if (cmd != "delDevice" || dk != m_gwKey || sno != m_lastSno)
            return;
        const QJsonValue data = o.value("data");
        if (!data.isObject())
            return;
        const QString delKey = jsonString(data.toObject(), "deviceKey");
        const QJsonValue ec = o.value("errorCode");
        if (delKey != m_pendingDelKey || !ec.isDouble())
            return;
        endCommand();
        emit deleteAnswered(delKey, int(ec.toDouble()));
        break;
    }
    default:
        return;
    }
    emit commandEnded(code);
}

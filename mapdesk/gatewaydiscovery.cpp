#include "gatewaydiscovery.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QStringList>
#include <QTimer>
#include <QUdpSocket>

namespace {
QString jsonString(const QJsonObject &o, const char *key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isString() ? v.toString() : QString();
}
} // namespace

QString FoundGateway::shownText() const
{
    return ip + "  /  " + serialPrefix() + "  /  " + (version.isEmpty() ? QString::fromUtf8("版本未知") : version)
           + "  (" + deviceKey + ")";
}

QString FoundGateway::entry() const
{
    return deviceKey + "_" + ip + "_" + serialPrefix() + "_" + version;
}

bool FoundGateway::fromEntry(const QString &text, FoundGateway *out)
{
    const QStringList parts = text.split("_", Qt::KeepEmptyParts);
    // A key holding "_" would split into more parts: not taken apart wrongly.
    if (parts.size() != 3 && parts.size() != 4)
        return false;
    if (parts[0].isEmpty() || parts[1].isEmpty() || parts[2].isEmpty())
        return false;
    out->deviceKey = parts[0];
    out->ip = parts[1];
    out->serial = parts[2];
    out->version = parts.size() == 4 ? parts[3] : QString();
    return true;
}

GatewayDiscovery::GatewayDiscovery(QObject *parent)
    : QObject(parent)
    , m_socket(new QUdpSocket(this))
    , m_timer(new QTimer(this))
{
    qRegisterMetaType<FoundGateway>();
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, [this]() {
        m_searching = false;
        emit searchTimedOut();
    });
    connect(m_socket, &QUdpSocket::readyRead, this, &GatewayDiscovery::readPending);
}

QByteArray GatewayDiscovery::request()
{
    return QByteArrayLiteral("{\"cmd\":\"getAllGateway\"}");
}

void GatewayDiscovery::start()
{
    m_searching = true;
    m_found.clear();
    send();
    m_timer->start(kSearchMs);
}

void GatewayDiscovery::stop()
{
    m_searching = false;
    m_timer->stop();
}

void GatewayDiscovery::probe()
{
    m_probing = true;
    send();
}

void GatewayDiscovery::send()
{
    const QHostAddress to = m_target ? m_target() : QHostAddress(QHostAddress::Broadcast);
    const QByteArray req = request();
    if (m_socket->writeDatagram(req, to, m_port) != req.size())
        qDebug() << "gateway discovery send failed:" << m_socket->errorString();
}

void GatewayDiscovery::readPending()
{
    // Bounded by what is queued now; later datagrams raise readyRead again.
    while (m_socket->hasPendingDatagrams()) {
        const QNetworkDatagram dg = m_socket->receiveDatagram();
        if (!dg.isValid())
            break;
        takeReply(dg.data());
    }
}

bool GatewayDiscovery::parseReply(const QByteArray &datagram, FoundGateway *out)
{
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(datagram, &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject())
        return false;
    const QJsonObject o = doc.object();
    FoundGateway gw;
    gw.deviceKey = jsonString(o, "deviceKey");
    const QJsonValue fn = o.value("function");
    if (fn.isObject())
        gw.ip = jsonString(fn.toObject(), "ip");
    const QJsonValue md = o.value("metadata");
    if (md.isObject()) {
        gw.serial = jsonString(md.toObject(), "sn");
        gw.version = jsonString(md.toObject(), "softwareVersion");
    }
    if (gw.deviceKey.isEmpty() || gw.ip.isEmpty() || gw.serial.isEmpty())
        return false;
    *out = gw;
    return true;
}

void GatewayDiscovery::takeReply(const QByteArray &datagram)
{
    FoundGateway gw;
    if (!parseReply(datagram, &gw))
        return;
    emit answered(gw);
    // A flow waiting for the gateway searches on its own; the list stays as it is.
    if (m_probing && !m_searching)
        return;
    m_found.append(gw);
    emit gatewayFound(m_found.size() - 1);
}

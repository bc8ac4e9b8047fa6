#include "siteprobes.h"

#include "gateway7fclient.h"
#include "utf8text.h"

#include <QModbusDataUnit>
#include <QModbusReply>
#include <QModbusTcpClient>
#include <QTimer>
#include <QVariant>

using namespace RelayHealth;

GatewayVersionProbe::GatewayVersionProbe(QObject *parent)
    : QObject(parent), m_client(new Gateway7FClient(this))
{
    // The window's own 7F command timer keeps its name to itself.
    if (auto *timer = m_client->findChild<QTimer *>("7fCmdTimer"))
        timer->setObjectName("site7fCmdTimer");
    connect(m_client, &Gateway7FClient::connected, this, [this]() {
        if (m_client->sendCommand(Gateway7FClient::ReadVersion) != Gateway7FClient::Sent)
            finish(u("无法发送read命令"));
    });
    connect(m_client, &Gateway7FClient::connectFailed, this,
            [this](const QString &why) { finish(u("连接失败(") + why + ")"); });
    connect(m_client, &Gateway7FClient::versionAnswered, this, [this](const QString &v) {
        m_version = v;
        finish(QString());
    });
    connect(m_client, &Gateway7FClient::commandTimedOut, this, [this]() { finish(u("读取版本超时")); });
    connect(m_client, &Gateway7FClient::disconnected, this, [this]() { finish(u("连接断开")); });
}

void GatewayVersionProbe::start(const QString &ip, const QString &gatewayKey)
{
    m_version.clear();
    m_why.clear();
    m_running = true;
    m_client->connectToGateway(ip, gatewayKey);
}

void GatewayVersionProbe::finish(const QString &why)
{
    if (!m_running)
        return;
    m_running = false;
    m_why = why;
    // The connection is this reading's only: released at once.
    if (m_client->pendingCommand() != Gateway7FClient::None)
        m_client->expireCommand();
    m_client->disconnectFromGateway();
    emit finished();
}

// ---------------------------------------------------------------- unit 255

namespace {
struct PartRequest
{
    QModbusDataUnit::RegisterType type;
    int start;
    int count;
};
const PartRequest kParts[] = {
    {QModbusDataUnit::InputRegisters, 1, 24},
    {QModbusDataUnit::DiscreteInputs, 1, kUnits},
    {QModbusDataUnit::InputRegisters, kAgeBase + 1, 124},
    {QModbusDataUnit::InputRegisters, kAgeBase + 125, kUnits - 124},
};
} // namespace

RelayUnitProbe::RelayUnitProbe(QObject *parent)
    : QObject(parent), m_guard(new QTimer(this))
{
    m_guard->setSingleShot(true);
    connect(m_guard, &QTimer::timeout, this, [this]() { finish(u("读取超时")); });
}

RelayUnitProbe::~RelayUnitProbe()
{
    if (m_client)
        m_client->disconnect(this);
}

void RelayUnitProbe::start(const QString &ip, quint16 port)
{
    m_reading = Snapshot();
    m_answered = false;
    m_why.clear();
    m_running = true;
    m_client = new QModbusTcpClient(this);
    m_client->setConnectionParameter(QModbusDevice::NetworkAddressParameter, ip);
    m_client->setConnectionParameter(QModbusDevice::NetworkPortParameter, port);
    m_client->setTimeout(kRequestMs);
    m_client->setNumberOfRetries(0);
    m_connected = false;
    connect(m_client, &QModbusDevice::stateChanged, this, [this](QModbusDevice::State state) {
        if (state == QModbusDevice::ConnectedState) {
            m_connected = true;
            send(Version);
        } else if (state == QModbusDevice::UnconnectedState) {
            // busrelay closes a client it will not serve right after accepting it.
            finish(m_connected && !m_answered
                       ? u("接受连接后立即关闭: 两个客户端名额都已被占用, 或本电脑不在允许列表(mbacl.json)中")
                   : m_client && !m_client->errorString().isEmpty() ? m_client->errorString()
                                                                    : u("连接被关闭"));
        }
    });
    m_guard->start(kWholeMs);
    if (!m_client->connectDevice())
        finish(m_client->errorString());
}

void RelayUnitProbe::send(int part)
{
    if (!m_running)
        return;
    if (part >= PartCount) {
        finish(QString());
        return;
    }
    const PartRequest &p = kParts[part];
    QModbusReply *reply = m_client->sendReadRequest(QModbusDataUnit(p.type, p.start, quint16(p.count)), 255);
    if (!reply) {
        finish(m_client->errorString());
        return;
    }
    if (reply->isFinished()) {
        answered(reply, part);
        return;
    }
    connect(reply, &QModbusReply::finished, this, [this, reply, part]() { answered(reply, part); });
}

void RelayUnitProbe::answered(QModbusReply *reply, int part)
{
    reply->deleteLater();
    if (!m_running)
        return;
    if (reply->error() == QModbusDevice::NoError) {
        m_answered = true;
        const QVector<quint16> values = reply->result().values();
        if (part == Version)
            m_reading.version = versionText(values);
        else if (part == Bits)
            takeBits(1, values, &m_reading);
        else
            takeAges(kParts[part].start, values, &m_reading);
    } else if (reply->error() == QModbusDevice::ProtocolError) {
        // An exception is an answer: a busrelay without that block still serves the rest.
        m_answered = true;
    } else {
        finish(reply->errorString());
        return;
    }
    send(part + 1);
}

void RelayUnitProbe::finish(const QString &why)
{
    if (!m_running)
        return;
    m_running = false;
    m_guard->stop();
    m_why = why;
    m_reading.takenMs = 0;
    if (QModbusTcpClient *client = m_client) {
        m_client = nullptr;
        client->disconnect(this);
        // Not from inside a reply's finished(): that would fire it again.
        QTimer::singleShot(0, client, [client]() {
            client->disconnectDevice();
            client->deleteLater();
        });
    }
    emit finished();
}

QVector<int> RelayUnitProbe::knownUnits() const
{
    QVector<int> units;
    for (int unit = 1; unit <= kUnits; ++unit)
        if (m_reading.online.testBit(unit) || m_reading.ages[unit] != kAgeNever)
            units.append(unit);
    return units;
}

int RelayUnitProbe::onlineAmong(const QVector<int> &units) const
{
    int n = 0;
    for (int unit : units)
        n += unit >= 1 && unit <= kUnits && m_reading.online.testBit(unit) ? 1 : 0;
    return n;
}

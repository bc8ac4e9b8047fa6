#include "siteinventory.h"

#include "siteflows.h"
#include "siteprobes.h"
#include "sitesession.h"
#include "utf8text.h"

#include <QTimer>

SiteInventory::SiteInventory(const SiteEnv &env, std::function<QHostAddress()> broadcast, QObject *parent)
    : SiteJob(env, parent)
    , m_broadcastTarget(std::move(broadcast))
    , m_broadcast(new GatewayDiscovery(this))
    , m_unicast(new GatewayDiscovery(this))
    , m_searchWait(new QTimer(this))
    , m_resend(new QTimer(this))
    , m_keys(new SiteKeyCheck(env.tftp, env.dialogParent, this))
    , m_7f(new GatewayVersionProbe(this))
    , m_modbus(new RelayUnitProbe(this))
{
    m_broadcast->setTarget([this]() {
        const QHostAddress a = m_broadcastTarget ? m_broadcastTarget() : QHostAddress();
        return a.isNull() ? QHostAddress(QHostAddress::Broadcast) : a;
    });
    m_unicast->setTarget([this]() { return QHostAddress(m_unicastTo); });
    for (GatewayDiscovery *d : {m_broadcast, m_unicast})
        connect(d, &GatewayDiscovery::answered, this, [this, d](const FoundGateway &gw) {
            if (m_searching)
                m_answers.append(Answer{gw, d == m_broadcast});
        });
    m_searchWait->setSingleShot(true);
    connect(m_searchWait, &QTimer::timeout, this, &SiteInventory::searchDone);
    // A datagram may be lost: the gateways' own addresses are asked twice.
    m_resend->setSingleShot(true);
    connect(m_resend, &QTimer::timeout, this, &SiteInventory::sendUnicast);
    connect(m_keys, &SiteKeyCheck::finished, this, &SiteInventory::keysChecked);
    connect(m_7f, &GatewayVersionProbe::finished, this, [this]() {
        m_g.gatewayVersion = m_7f->version();
        m_g.gatewayNote = m_7f->why();
        readModbus();
    });
    connect(m_modbus, &RelayUnitProbe::finished, this, [this]() {
        m_g.port502 = m_modbus->answered() ? 1 : 0;
        m_g.port502Note = m_modbus->answered() ? QString() : m_modbus->why();
        m_g.relayVersion = m_modbus->reading().version;
        if (m_modbus->answered()) {
            const QVector<int> known = m_modbus->knownUnits();
            m_g.unitsMapped = known.size();
            m_g.unitsOnline = m_modbus->onlineAmong(known);
        }
        readSsh();
    });
}

void SiteInventory::refresh(const QVector<SiteGateway> &gateways, const QVector<int> &rows, bool broadcast)
{
    m_list = gateways;
    m_rows = rows;
    m_answers.clear();
    m_keyDeclined.clear();
    m_searching = true;
    emit stateText(broadcast ? u("探测网关(广播及各网关地址)...") : u("向所选网关的地址发送搜索..."));
    if (broadcast)
        m_broadcast->probe();
    sendUnicast();
    m_resend->start(kUnicastWaitMs / 2);
    m_searchWait->start(broadcast ? GatewayDiscovery::kSearchMs : kUnicastWaitMs);
}

void SiteInventory::sendUnicast()
{
    for (int r : qAsConst(m_rows)) {
        m_unicastTo = m_list.at(r).ip;
        m_unicast->probe();
    }
}

void SiteInventory::searchDone()
{
    m_searching = false;
    m_broadcast->endProbe();
    m_unicast->endProbe();
    for (int r : qAsConst(m_rows)) {
        m_list[r].clearReadings();
        m_list[r].search = SiteGateway::NoAnswer;
    }
    for (const Answer &answer : qAsConst(m_answers)) {
        const FoundGateway &a = answer.gateway;
        int at = -1;
        for (int i = 0; i < m_list.size() && at < 0; ++i) {
            const SiteGateway &g = m_list[i];
            if (g.identified() ? (g.deviceKey == a.deviceKey && g.serial == a.serial) : g.ip == a.ip)
                at = i;
        }
        if (at < 0) {
            // Only the broadcast adds gateways: an answer to an address asked
            // directly that names another address (a router translating it)
            // would add one that cannot be reached.
            if (!answer.broadcast)
                continue;
            SiteGateway g;
            g.ip = a.ip;
            m_list.append(g);
            at = m_list.size() - 1;
            m_rows.append(at);
        }
        SiteGateway &g = m_list[at];
        g.deviceKey = a.deviceKey;
        g.serial = a.serial;
        // A found gateway that moved is where it answers from; a typed one stays where it was typed.
        if (!g.typed)
            g.ip = a.ip;
        g.search = SiteGateway::Answered;
    }
    emit listChanged(m_list);
    emit stateText(u("确认网关ssh主机密钥..."));
    m_keys->start(m_list, m_rows);
}

void SiteInventory::keysChecked(const QVector<SiteKeyCheck::Offer> &offers)
{
    // Declined: those gateways are read without SSH.
    if (!SiteKeyCheck::confirm(m_env.dialogParent, m_list, offers))
        for (const SiteKeyCheck::Offer &o : offers)
            m_keyDeclined.insert(o.row);
    startQueue(m_list, m_rows);
}

void SiteInventory::work(int row)
{
    m_row = row;
    m_g = gateway(row);
    emit stateText(u("读取") + m_g.label() + "...");
    read7F();
}

void SiteInventory::read7F()
{
    if (m_g.deviceKey.isEmpty()) {
        m_g.gatewayNote = u("设备key未知(未应答搜索)");
        readModbus();
        return;
    }
    m_7f->start(m_g.ip, m_g.deviceKey);
}

void SiteInventory::readModbus()
{
    m_modbus->start(m_g.ip);
}

void SiteInventory::readSsh()
{
    if (!m_g.identified()) {
        m_g.sshNote = u("网关未应答搜索, 身份未知, 不以ssh登录");
        finishRow();
        return;
    }
    if (m_keyDeclined.contains(m_row)) {
        m_g.sshNote = u("ssh主机密钥未确认, 未读取");
        finishRow();
        return;
    }
    openSession(
        m_g,
        [this]() {
            auto facts = std::make_shared<SiteFlows::Facts>();
            runFlow(SiteFlows::facts(facts), [this, facts](bool ok, const QString &why) {
                if (!ok) {
                    m_g.sshNote = why;
                    finishRow();
                    return;
                }
                m_g.sshRead = true;
                m_g.verTxt = facts->verTxt;
                m_g.md5 = facts->md5;
                if (!facts->mapProblem.isEmpty()) {
                    m_g.sshNote = facts->mapProblem;
                } else if (facts->mapPresent) {
                    m_g.unitsMapped = facts->mappedUnits.size();
                    m_g.unitsOnline = m_modbus->answered() ? m_modbus->onlineAmong(facts->mappedUnits) : -1;
                    m_g.mappedFromMap = true;
                }
                finishRow();
            });
        },
        [this](const QString &why) {
            m_g.sshNote = why;
            finishRow();
        });
}

void SiteInventory::finishRow()
{
    m_g.checkedAt = QDateTime::currentDateTime();
    gateways()[m_row] = m_g;
    emit rowRead(m_row, m_g);
    done(m_row, Ok, QString());
}

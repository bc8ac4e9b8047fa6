#include "sitesession.h"

#include "dialogseam.h"
#include "hostkeystore.h"
#include "localinterfaces.h"
#include "qtftpwidget.h"
#include "remoteflows.h"
#include "remotesession.h"
#include "utf8text.h"

#include <QDebug>
#include <QRandomGenerator>
#include <QTimer>

SiteSession::SiteSession(const SiteGateway &gateway, QtftpWidget *tftp, QWidget *dialogParent, QObject *parent)
    : QObject(parent)
    , m_gw(gateway)
    , m_tftp(tftp)
    , m_session(new RemoteSession(dialogParent, tftp, this))
    , m_openTimer(new QTimer(this))
    , m_ping(new QTimer(this))
{
    m_openTimer->setSingleShot(true);
    connect(m_openTimer, &QTimer::timeout, this, [this]() {
        fail(m_up ? u("ssh已连接, 但网关shell在") + QString::number(kOpenMs / 1000) + u("秒内没有应答")
                  : u("ssh连接失败: 超时"));
    });
    // The window's own flow timer keeps its name to itself.
    if (auto *timer = m_session->runner()->findChild<QTimer *>("sshCmdTimer"))
        timer->setObjectName("siteSshCmdTimer");
    m_ping->setInterval(300);
    connect(m_ping, &QTimer::timeout, this, &SiteSession::pingShell);
    // The flows' commands go straight to this session's shell.
    connect(m_session, &RemoteSession::commandOut, m_session, &RemoteSession::type);
    connect(m_session, &RemoteSession::stateChanged, this, &SiteSession::linkState);
    connect(m_session, &RemoteSession::outputArrived, this, &SiteSession::output);
    connect(m_session, &RemoteSession::hostKeyUnknown, this, [this](const QString &fingerprint) {
        if (m_mode == KeyProbe) {
            m_keyReason = QStringLiteral("offered");
            emit keyOffered(fingerprint);
        } else {
            // Asked before the operation started; never in the middle of it.
            m_keyReason = u("网关ssh主机密钥未经确认(") + fingerprint + u("), 未连接; 请重新开始该操作以确认密钥");
        }
        m_session->rejectHostKey();
    });
    connect(m_session, &RemoteSession::hostKeyChangeSeen, this, [this](const QString &pinned, const QString &offered) {
        m_keyReason = u("网关ssh主机密钥已改变, 已停止连接(未发送登录密码): 记住的 ") + pinned + u(", 现在的 ")
                      + offered + u("。若网关已更换, 请在连接网关页连接一次并替换密钥");
    });
    connect(m_session->runner(), &RemoteFlowRunner::finished, this, [this](int code, bool ok) {
        emit flowEnded(code, ok, ok ? QString() : m_session->runner()->lastFailure());
    });
}

SiteSession::~SiteSession()
{
    close();
}

RemoteFlowRunner *SiteSession::runner() const
{
    return m_session->runner();
}

QString SiteSession::localIpFor(const QString &gatewayIp, const QString &fallback)
{
    const QList<LocalInterface> all = LocalInterfaces::list();
    const int i = LocalInterfaces::indexForGateway(all, gatewayIp);
    return i >= 0 ? all.at(i).address.toString() : fallback;
}

void SiteSession::open(Mode mode)
{
    m_mode = mode;
    m_opening = true;
    m_up = m_ready = false;
    m_keyReason.clear();
    m_seen.clear();
    m_token = QString::number(QRandomGenerator::global()->generate() % 100000000);
    m_openTimer->start(kOpenMs);
    m_session->open(m_gw.ip, m_gw.serial, m_gw.serial.left(11), m_gw.deviceKey);
}

void SiteSession::close()
{
    m_openTimer->stop();
    m_ping->stop();
    m_opening = false;
    m_up = m_ready = false;
    // Also a connection still being made.
    m_session->close();
    if (m_tftp)
        m_tftp->setSiteHost(QString());
}

void SiteSession::fail(const QString &why)
{
    if (!m_opening)
        return;
    close();
    qDebug().noquote() << "site session" << m_gw.label() << "failed:" << why;
    emit openFailed(why);
}

void SiteSession::linkState(bool up, const QString &error)
{
    if (up) {
        if (!m_opening || m_up)
            return;
        m_up = true;
        if (m_mode == KeyProbe) {
            // The key was pinned meanwhile and matched: nothing to ask.
            m_opening = false;
            close();
            emit ready();
            return;
        }
        pingShell();
        m_ping->start();
        return;
    }
    const bool wasReady = m_ready;
    m_up = m_ready = false;
    m_ping->stop();
    if (m_opening) {
        if (m_mode == KeyProbe && m_keyReason == QLatin1String("offered")) {
            m_opening = false;
            m_openTimer->stop();
            return;  // keyOffered() said it
        }
        // The client's own texts: "SshSocketError", "ssh连接失败:超时", ...
        const QString lead = u("ssh连接失败");
        fail(!m_keyReason.isEmpty() ? m_keyReason
             : error.startsWith(lead) ? error
                                      : lead + u(": ") + (error.isEmpty() ? u("连接断开") : error));
        return;
    }
    if (wasReady && m_tftp)
        m_tftp->setSiteHost(QString());
}

void SiteSession::pingShell()
{
    // Text typed before the shell has started is dropped: ask until it answers.
    m_session->type("echo __MDK_UP_" + m_token + "\n");
}

void SiteSession::output(const QString &text)
{
    if (!m_opening || !m_up)
        return;
    m_seen += text;
    if (!m_seen.contains("__MDK_UP_" + m_token))
        return;
    m_ping->stop();
    m_openTimer->stop();
    m_opening = false;
    m_ready = true;
    m_seen.clear();
    if (m_tftp)
        m_tftp->setSiteHost(m_gw.ip);
    emit ready();
}

bool SiteSession::run(FlowPlan plan)
{
    if (!m_ready || runner()->pendingCode() != 0)
        return false;
    plan.quiet = true;
    return runner()->start(plan);
}

// ---------------------------------------------------------------- keys

SiteKeyCheck::SiteKeyCheck(QtftpWidget *tftp, QWidget *dialogParent, QObject *parent)
    : QObject(parent), m_tftp(tftp), m_dialogParent(dialogParent)
{
}

bool SiteKeyCheck::needsKey(const SiteGateway &g)
{
    return g.identified() && QSsh::HostKeyStore().pinned(g.hostKeyId()).isEmpty();
}

void SiteKeyCheck::start(const QVector<SiteGateway> &gateways, const QVector<int> &rows)
{
    m_gateways = gateways;
    m_offers.clear();
    m_todo.clear();
    for (int r : rows)
        if (r >= 0 && r < gateways.size() && needsKey(gateways[r]))
            m_todo.append(r);
    m_running = true;
    next();
}

void SiteKeyCheck::next()
{
    if (m_probe) {
        m_probe->deleteLater();
        m_probe = nullptr;
    }
    if (m_todo.isEmpty()) {
        m_running = false;
        emit finished(m_offers);
        return;
    }
    const int row = m_todo.takeFirst();
    m_probe = new SiteSession(m_gateways[row], m_tftp, m_dialogParent, this);
    connect(m_probe, &SiteSession::keyOffered, this, [this, row](const QString &fingerprint) {
        m_offers.append(Offer{row, fingerprint});
        // After the rejection has run its course in the client.
        QTimer::singleShot(0, this, &SiteKeyCheck::next);
    });
    connect(m_probe, &SiteSession::ready, this, [this]() { QTimer::singleShot(0, this, &SiteKeyCheck::next); });
    // Unreachable now: its own run says so.
    connect(m_probe, &SiteSession::openFailed, this, [this]() { QTimer::singleShot(0, this, &SiteKeyCheck::next); });
    m_probe->open(SiteSession::KeyProbe);
}

bool SiteKeyCheck::confirm(QWidget *dialogParent, const QVector<SiteGateway> &gateways, const QVector<Offer> &offers)
{
    if (offers.isEmpty())
        return true;
    QStringList lines;
    for (const Offer &o : offers) {
        const SiteGateway &g = gateways.at(o.row);
        lines << u("网关 %1 (序列号 %2, 地址 %3):\n    %4").arg(g.deviceKey, g.serial, g.ip, o.fingerprint);
    }
    const bool yes = DialogSeam::confirm(
        dialogParent, u("确认网关ssh主机密钥"),
        u("以下%1台网关是首次以ssh连接, 其出示的ssh主机密钥指纹(SHA-256)如下:\n\n").arg(offers.size())
            + lines.join("\n")
            + u("\n\n确认这些确实是本站点的网关后, 本工具记住这些密钥并开始操作; 操作过程中不再询问, "
                "以后出示其他密钥的网关会被停止连接, 不发送登录密码。"),
        u("信任并继续"), u("取消"));
    if (!yes)
        return false;
    QSsh::HostKeyStore store;
    for (const Offer &o : offers)
        store.pin(gateways.at(o.row).hostKeyId(), o.fingerprint);
    return true;
}

#include "sitejob.h"

#include "remoteflows.h"
#include "sitesession.h"
#include "utf8text.h"

#include <QTimer>

#include <utility>

QString SiteJob::resultText(int result)
{
    switch (result) {
    case Ok: return u("成功");
    case Failed: return u("失败");
    case Skipped: return u("跳过");
    case NotRun: return u("未进行");
    case Cancelled: return u("已取消");
    default: return QString();
    }
}

SiteJob::SiteJob(const SiteEnv &env, QObject *parent) : QObject(parent), m_env(env) {}

SiteJob::~SiteJob()
{
    closeSession();
}

void SiteJob::cancel()
{
    if (m_running)
        m_cancel = true;
}

void SiteJob::startQueue(const QVector<SiteGateway> &gateways, const QVector<int> &rows)
{
    m_gateways = gateways;
    m_queue = rows;
    m_running = true;
    m_cancel = false;
    m_current = -1;
    QTimer::singleShot(0, this, &SiteJob::next);
}

void SiteJob::next()
{
    if (m_cancel)
        dropRest(Cancelled, u("已取消, 未进行"));
    if (m_queue.isEmpty()) {
        m_running = false;
        m_current = -1;
        const bool cancelled = m_cancel;
        m_cancel = false;
        emit finished(cancelled);
        return;
    }
    m_current = m_queue.takeFirst();
    emit gatewayStarted(m_current);
    work(m_current);
}

void SiteJob::done(int row, int result, const QString &why)
{
    if (row != m_current)
        return;
    closeSession();
    m_current = -1;
    emit gatewayDone(row, result, why);
    QTimer::singleShot(0, this, &SiteJob::next);
}

void SiteJob::dropRest(int result, const QString &why)
{
    const QVector<int> rest = m_queue;
    m_queue.clear();
    for (int row : rest)
        emit gatewayDone(row, result, why);
}

void SiteJob::openSession(const SiteGateway &g, std::function<void()> ready, std::function<void(QString)> failed)
{
    closeSession();
    m_onReady = std::move(ready);
    m_onFailed = std::move(failed);
    m_session = new SiteSession(g, m_env.tftp, m_env.dialogParent, this);
    connect(m_session, &SiteSession::ready, this, [this]() {
        if (auto f = std::exchange(m_onReady, nullptr))
            f();
    });
    connect(m_session, &SiteSession::openFailed, this, [this](const QString &why) {
        if (auto f = std::exchange(m_onFailed, nullptr))
            f(why);
    });
    connect(m_session, &SiteSession::flowEnded, this, [this](int, bool ok, const QString &why) {
        if (auto f = std::exchange(m_then, nullptr))
            f(ok, why);
    });
    emit stateText(u("ssh连接") + g.label() + u("..."));
    m_session->open(SiteSession::Work);
}

void SiteJob::runFlow(const FlowPlan &plan, std::function<void(bool, QString)> then)
{
    m_then = std::move(then);
    if (!m_session || !m_session->run(plan)) {
        auto f = std::exchange(m_then, nullptr);
        QTimer::singleShot(0, this, [f]() { f(false, u("ssh连接已断开")); });
    }
}

void SiteJob::closeSession()
{
    m_onReady = nullptr;
    m_onFailed = nullptr;
    m_then = nullptr;
    if (!m_session)
        return;
    SiteSession *s = m_session;
    m_session = nullptr;
    s->disconnect(this);
    s->close();
    s->deleteLater();
}

FlowContext SiteJob::context(const SiteGateway &g) const
{
    FlowContext c;
    c.gatewayKey = g.deviceKey;
    c.gatewayIp = g.ip;
    c.localIp = SiteSession::localIpFor(g.ip, m_env.localIp ? m_env.localIp() : QString());
    c.tftpRoot = m_env.tftpRoot ? m_env.tftpRoot() : QString();
    return c;
}

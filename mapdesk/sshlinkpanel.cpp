#include "sshlinkpanel.h"

#include "debuglogview.h"
#include "dialogseam.h"
#include "remoteflows.h"
#include "remotesession.h"
#include "statuslook.h"
#include "utf8text.h"

#include <QLabel>
#include <QPushButton>

SshLinkPanel::SshLinkPanel(RemoteSession *session, QPushButton *connectButton, QLabel *stateLabel,
                           DebugLogView *log, SshConsoleView *console, QWidget *dialogParent, QObject *parent)
    : QObject(parent)
    , m_session(session)
    , m_button(connectButton)
    , m_label(stateLabel)
    , m_log(log)
    , m_dialogParent(dialogParent)
{
    connect(m_session, &RemoteSession::stateChanged, this, &SshLinkPanel::showState);
    connect(m_session, &RemoteSession::outputArrived, this, [this, console](const QString &text) {
        console->appendStdout(text);
        m_log->append(DebugLogView::Ssh, text, false);
    });
    connect(m_session, &RemoteSession::errorArrived, this, [this, console](const QString &text) {
        console->appendStderr(text);
        m_log->append(DebugLogView::Ssh, text, false);
    });
    connect(m_session, &RemoteSession::hostKeyChangeSeen, this, [this](const QString &pinned, const QString &offered) {
        // The engineer is asked once the connection has stopped (hostKeyRefused).
        m_log->append(DebugLogView::Ssh,
                      u("网关ssh主机密钥已改变: 记住的 ") + pinned + u(", 现在的 ") + offered + u(", 已停止连接"), false);
    });
    connect(m_session, &RemoteSession::hostKeyRefused, this, &SshLinkPanel::askReplaceHostKey);
    connect(m_session, &RemoteSession::hostKeyDeclined, this,
            [this]() { m_label->setText(u("未信任网关ssh主机密钥, 未连接") + m_ip); });
    connect(m_session->runner(), &RemoteFlowRunner::busyChanged, this, [this]() {
        // A flow that leaves the window free still holds the connect button.
        const RemoteFlowRunner *runner = m_session->runner();
        if (runner->pendingCode() == RemoteFlows::None)
            m_button->setEnabled(true);
        else if (!runner->holdsWindow())
            m_button->setEnabled(false);
    });
    m_button->setEnabled(false);
    setLook(false);
}

void SshLinkPanel::setGateway(const QString &ip, const QString &serial, const QString &serialPrefix,
                              const QString &deviceKey)
{
    m_ip = ip;
    m_serial = serial;
    m_prefix = serialPrefix;
    m_key = deviceKey;
}

void SshLinkPanel::setLook(bool connected)
{
    m_label->setStyleSheet(connected ? StatusLook::green() : StatusLook::red());
    m_button->setText(connected ? u("3.断开ssh连接") : u("3.连接ssh服务器"));
}

void SshLinkPanel::toggleConnection()
{
    if (m_session->isConnected()) {
        m_session->close();
        m_label->setText(u("未连接到ssh服务器"));
        m_button->setEnabled(true);
        setLook(false);
        emit linkChanged();
        return;
    }
    m_label->setText(u("连接到") + m_ip + u(" ssh服务器..."));
    m_button->setText(u("连接中..."));
    m_button->setEnabled(false);
    m_connecting = true;
    // The gateway must not change under a connection being made.
    emit linkChanged();
    m_session->open(m_ip, m_serial, m_prefix, m_key);
}

void SshLinkPanel::showState(bool up, const QString &error)
{
    m_connecting = false;
    m_label->setText(up ? u("已ssh连接到") + m_ip : u("未连接到ssh服务器"));
    if (!error.isEmpty())
        m_label->setText(error + m_ip);
    m_button->setEnabled(true);
    setLook(up);
    emit linkChanged();
}

void SshLinkPanel::askHostKey(const QString &fingerprint)
{
    m_log->append(DebugLogView::Ssh, u("网关ssh主机密钥(首次连接): ") + fingerprint, false);
    const bool trusted = DialogSeam::confirm(
        m_dialogParent, u("确认网关ssh主机密钥"),
        u("首次以ssh连接网关 %1 (序列号 %2, 地址 %3)。\n网关出示的ssh主机密钥指纹(SHA-256):\n%4\n\n"
          "确认连接的是这台网关后, 本工具记住此密钥并登录; 以后该网关出示其他密钥时, "
          "本工具停止连接并警告, 不发送登录密码。")
            .arg(m_key, m_serial, m_ip, fingerprint),
        u("信任并连接"), u("取消"));
    if (trusted)
        emit acceptHostKey();
    else
        emit rejectHostKey();
}

void SshLinkPanel::askReplaceHostKey(const QString &id, const QString &pinned, const QString &offered)
{
    m_label->setText(u("网关ssh主机密钥已改变, 已停止连接") + m_ip);
    const bool replace = DialogSeam::confirmCautious(
        m_dialogParent, u("网关ssh主机密钥已改变"),
        u("网关 %1 (序列号 %2, 地址 %3) 出示的ssh主机密钥与记住的不同, 连接已停止, 未发送登录密码。\n\n"
          "记住的指纹: %4\n现在的指纹: %5\n\n"
          "若这台网关没有更换、没有重装系统, 可能有其他设备在冒充它: 请不要替换, 先检查网络。\n"
          "只有确认网关已更换或已重装时, 才替换记住的密钥。")
            .arg(m_key, m_serial, m_ip, pinned, offered),
        u("替换为新密钥并连接"), u("不连接"));
    if (!replace || m_session->isConnected())
        return;
    m_session->replaceHostKey(id, offered);
    m_log->append(DebugLogView::Ssh, u("已替换网关ssh主机密钥: ") + offered, false);
    toggleConnection();
}

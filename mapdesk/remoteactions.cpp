#include "remoteactions.h"

#include "addressmapeditor.h"
#include "dialogseam.h"
#include "maptablemodel.h"
#include "remoteflows.h"
#include "remotesession.h"
#include "upgradepackage.h"
#include "upgraderules.h"
#include "utf8text.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

RemoteActions::RemoteActions(RemoteSession *session, QWidget *dialogParent, std::function<FlowContext()> context,
                             QObject *parent)
    : QObject(parent)
    , m_session(session)
    , m_dialogParent(dialogParent)
    , m_context(std::move(context))
{
    connect(m_session->runner(), &RemoteFlowRunner::succeeded, this, &RemoteActions::offerRelayRestart);
}

bool RemoteActions::refuseWhileBusy()
{
    // A second flow would take over the pending one's transfer report.
    const QString elsewhere = m_busyElsewhere ? m_busyElsewhere() : QString();
    if (m_session->runner()->pendingCode() == RemoteFlows::None && elsewhere.isEmpty())
        return false;
    DialogSeam::warning(m_dialogParent, "warning",
                        elsewhere.isEmpty() ? u("等待其他操作完成!") : u("等待其他操作完成!\n") + elsewhere);
    return true;
}

bool RemoteActions::linkUp()
{
    if (!m_session->isConnected()) {
        DialogSeam::warning(m_dialogParent, "warning", u("请先连接ssh服务器!"));
        return false;
    }
    const FlowContext c = m_context();
    if (c.gatewayKey.isEmpty() || c.gatewayIp.isEmpty()) {
        DialogSeam::warning(m_dialogParent, "warning", u("请先选择网关!"));
        return false;
    }
    return true;
}

bool RemoteActions::mayStart()
{
    return !refuseWhileBusy() && linkUp();
}

bool RemoteActions::stillFree() const
{
    const bool elsewhere = m_busyElsewhere && !m_busyElsewhere().isEmpty();
    return m_session->runner()->pendingCode() == RemoteFlows::None && m_session->isConnected() && !elsewhere;
}

void RemoteActions::startFlow(int code, const FlowContext &ctx)
{
    m_session->startFlow(code, ctx);
}

void RemoteActions::getMapJson(AddressMapEditor *map)
{
    if (!mayStart() || !m_session->tftpReady())
        return;
    // The table stays until the fetched file has been read.
    if (!map->mayReplace())
        return;
    m_session->backupInRoot(m_context().gatewayKey, "map.json");
    startFlow(RemoteFlows::GetMapJson, m_context());
}

void RemoteActions::putMapJson(AddressMapEditor *map)
{
    if (!mayStart() || !m_session->tftpReady())
        return;
    if (!map->fitForInstall())
        return;
    const QString name = m_context().gatewayKey + "-map.json";
    const QString path = m_session->tftpRoot() + "/" + name;
    if (!DialogSeam::confirm(m_dialogParent, u("是否下载modbus地址映射"),
                             u("该操作会将左侧<modbus地址映射表>生成为 {") + path
                                 + u("} 并下载到网关中, 覆盖网关中原的modbus地址映射配置"),
                             u("确定"), u("否")))
        return;
    // The link may have changed while the box was open.
    if (!stillFree())
        return;
    emit statusText(u("生成modbus地址配置  ") + path + u("  ...."));
    QString error;
    if (!map->model()->write(path, &error)) {
        // Never let the gateway fetch an older file of that name instead.
        QFile::remove(path);
        emit statusText(u("生成modbus地址配置失败 ") + path);
        DialogSeam::warning(m_dialogParent, "warning", u("生成modbus地址配置失败 ") + path + "\n" + error);
        return;
    }
    FlowContext ctx = m_context();
    ctx.sentDigest = UpgradePackage::fileMd5(path);
    startFlow(RemoteFlows::PutMapJson, ctx);
}

void RemoteActions::rebootGateway()
{
    if (!mayStart())
        return;
    if (!DialogSeam::confirm(m_dialogParent, u("是否重启网关"),
                             u("该操作将重启网关") + m_context().gatewayKey
                                 + u(", 重启期间网关及其设备不可控制, modbus通信中断"),
                             u("确定"), u("否")))
        return;
    if (!stillFree())
        return;
    startFlow(RemoteFlows::RebootGateway, m_context());
}

void RemoteActions::exportPoints()
{
    if (!mayStart() || !m_session->tftpReady())
        return;
    startFlow(RemoteFlows::ExportPoints, m_context());
}

void RemoteActions::getVrvCfg()
{
    if (!mayStart() || !m_session->tftpReady())
        return;
    m_session->backupInRoot(m_context().gatewayKey, "vrvC.json");
    startFlow(RemoteFlows::GetVrvCfg, m_context());
}

void RemoteActions::putVrvCfg()
{
    if (!mayStart() || !m_session->tftpReady())
        return;
    const QString name = m_context().gatewayKey + "-vrvC.json";
    const QString path = m_session->tftpRoot() + "/" + name;
    if (!QFileInfo(path).isFile()) {
        DialogSeam::warning(m_dialogParent, "warning", u("未找到") + path + u(", 请先获取多联机室内机点位配置并修改"));
        return;
    }
    if (!DialogSeam::confirm(m_dialogParent, u("是否下载多联机空调配置"),
                             u("该操作会将{") + path + u("} 下载到网关中, 覆盖网关中原的多联机空调配置"),
                             u("确定"), u("否")))
        return;
    if (!stillFree())
        return;
    FlowContext ctx = m_context();
    ctx.sentDigest = UpgradePackage::fileMd5(path);
    startFlow(RemoteFlows::PutVrvCfg, ctx);
}

void RemoteActions::restartRelay()
{
    if (!mayStart())
        return;
    if (!DialogSeam::confirm(m_dialogParent, u("是否重启modbus服务"),
                             u("该操作将重启网关中的modbus服务, 重启期间modbus通信中断"), u("确定"), u("否")))
        return;
    if (!stillFree())
        return;
    startFlow(RemoteFlows::RestartRelay, m_context());
}

void RemoteActions::offerRelayRestart(int code)
{
    // vrvC.json's and mbacl.json's installs restart the service themselves.
    if (code != RemoteFlows::PutMapJson)
        return;
    if (!DialogSeam::confirmCautious(m_dialogParent, u("是否立即重启modbus服务"),
                                     u("网关中的modbus服务重启后才使用新下发的modbus地址映射, 在此之前仍使用原映射.\n"
                                       "是否立即重启modbus服务? 重启期间modbus通信中断"),
                                     u("立即重启"), u("稍后")))
        return;
    if (!stillFree())
        return;
    startFlow(RemoteFlows::RestartRelay, m_context());
}

void RemoteActions::getRelayVersion()
{
    if (!linkUp() || !m_session->tftpReady())
        return;
    startFlow(RemoteFlows::GetRelayVersion, m_context());
}

void RemoteActions::upgrade(int program, const QString &target, const QString &current,
                            const std::function<QString()> &packageRefusal)
{
    if (refuseWhileBusy())
        return;
    const UpgradeRule &rule = UpgradeRules::rule(program);
    QString why = UpgradeRules::refusalBeforeLink(rule, target, current, m_session->tftpRoot());
    if (!why.isEmpty())
        return DialogSeam::warning(m_dialogParent, "warning", why);
    if (!linkUp())
        return;
    why = UpgradeRules::refusalAfterLink(rule, target, current);
    if (!why.isEmpty())
        return DialogSeam::warning(m_dialogParent, "warning", why);
    // Only this program's package: the other one is not the engineer's concern now.
    why = packageRefusal();
    if (!why.isEmpty())
        return DialogSeam::warning(m_dialogParent, "warning", why);
    if (!m_session->tftpReady())
        return;
    const UpgradeRules::Question q = UpgradeRules::confirmation(rule, current, target);
    const bool yes = q.cautious ? DialogSeam::confirmCautious(m_dialogParent, q.title, q.text, q.okText, u("否"))
                                : DialogSeam::confirm(m_dialogParent, q.title, q.text, q.okText, u("否"));
    if (!yes || !stillFree())
        return;
    // The package may have changed while the box was open.
    why = packageRefusal();
    if (!why.isEmpty())
        return DialogSeam::warning(m_dialogParent, "warning", why);
    FlowContext ctx = m_context();
    ctx.targetVersion = target;
    ctx.reinstall = UpgradeRules::isReinstall(rule, target, current);
    startFlow(rule.flowCode, ctx);
}

bool RemoteActions::refreshRelayVersion()
{
    const FlowContext c = m_context();
    if (!m_session->isConnected() || c.gatewayKey.isEmpty()
        || m_session->runner()->pendingCode() != RemoteFlows::None)
        return false;
    startFlow(RemoteFlows::RefreshRelayVersion, c);
    return m_session->runner()->pendingCode() == RemoteFlows::RefreshRelayVersion;
}

RemoteFlowRunner *RemoteActions::runner() const
{
    return m_session->runner();
}

void RemoteActions::getAcl()
{
    // The editor has asked about unsent edits; they stay until the file has been read.
    if (!mayStart() || !m_session->tftpReady())
        return;
    m_session->backupInRoot(m_context().gatewayKey, "mbacl.json");
    startFlow(RemoteFlows::GetAcl, m_context());
}

void RemoteActions::putAcl(const AclFile::List &list, const QByteArray &text)
{
    // The editor has refused errors and had its doubts confirmed.
    if (!mayStart() || !m_session->tftpReady())
        return;
    const QString name = m_context().gatewayKey + "-mbacl.json";
    const QString path = m_session->tftpRoot() + "/" + name;
    if (!DialogSeam::confirm(m_dialogParent, u("是否下发modbus客户端允许列表"),
                             u("该操作会将{") + path
                                 + u("} 下载到网关中, 覆盖网关中原的客户端允许列表, 并重启modbus服务, "
                                     "重启期间modbus通信中断。\n")
                                 + AclFile::meaning(list),
                             u("确定"), u("否")))
        return;
    if (!stillFree())
        return;
    m_session->backupInRoot(m_context().gatewayKey, "mbacl.json");
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size() || !f.flush()) {
        DialogSeam::warning(m_dialogParent, "warning",
                            u("无法写入") + QDir::toNativeSeparators(path) + ": " + f.errorString());
        return;
    }
    f.close();
    FlowContext ctx = m_context();
    ctx.sentDigest = UpgradePackage::fileMd5(path);
    ctx.aclReadOnly = !list.readOnly.isEmpty();
    startFlow(RemoteFlows::PutAcl, ctx);
}

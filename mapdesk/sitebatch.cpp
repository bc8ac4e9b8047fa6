#include "sitebatch.h"

#include "remoteflows.h"
#include "sitesession.h"
#include "upgradepackage.h"
#include "upgradepanel.h"
#include "upgraderules.h"
#include "utf8text.h"

#include <QDir>

void SiteBatchUpgrade::start(const QVector<SiteGateway> &gateways, const QVector<int> &rows, const QString &target,
                             const QString &packageMd5, bool stopOnFailure)
{
    m_target = target;
    m_md5 = packageMd5;
    m_stopOnFailure = stopOnFailure;
    startQueue(gateways, rows);
}

void SiteBatchUpgrade::failed(int row, const QString &why)
{
    done(row, Failed, why);
    if (m_stopOnFailure)
        dropRest(NotRun, u("前面的网关升级失败, 批量升级已停止"));
}

void SiteBatchUpgrade::work(int row)
{
    const SiteGateway g = gateway(row);
    const QString root = m_env.tftpRoot ? m_env.tftpRoot() : QString();
    // The package must still be the one the engineer confirmed.
    const UpgradePanel::Reading pkg = UpgradePanel::readPackage(UpgradeRules::Relay, root);
    if (!pkg.refusal.isEmpty() || pkg.version != m_target
        || UpgradePackage::fileMd5(QDir(root).filePath("modbus.zip")) != m_md5) {
        const QString why = u("升级包已更换或已损坏, 批量升级已停止")
                            + (pkg.refusal.isEmpty() ? QString() : "\n" + pkg.refusal);
        done(row, Failed, why);
        dropRest(NotRun, why);
        return;
    }
    if (!g.identified()) {
        failed(row, u("网关未应答搜索, 身份未知"));
        return;
    }
    const auto fail = [this, row](const QString &why) { failed(row, why); };
    openSession(g, [this, row, g, fail]() {
        emit stateText(u("升级") + g.label() + u(": 读取modbus服务版本..."));
        const FlowContext ctx = context(g);
        runFlow(RemoteFlows::plan(RemoteFlows::RefreshRelayVersion, ctx), [this, row, g, ctx, fail](bool ok,
                                                                                                  const QString &why) {
            if (!ok)
                return fail(u("读取modbus服务版本失败: ") + why);
            const QString current = session()->runner()->facts().value("VER");
            const UpgradeRule &rule = UpgradeRules::rule(UpgradeRules::Relay);
            if (UpgradeRules::isReinstall(rule, m_target, current)) {
                done(row, Skipped, u("已是目标版本") + m_target + u(", 跳过"));
                return;
            }
            const QString refusal = UpgradeRules::refusalAfterLink(rule, m_target, current);
            if (!refusal.isEmpty())
                return fail(refusal);
            if (UpgradeRules::compareVersions(rule, m_target, current) < 0)
                return fail(u("这是降级: 升级包版本") + m_target + u("低于网关当前版本") + current
                            + u("; 批量升级不降级, 请在程序升级页逐台确认"));
            FlowContext up = ctx;
            up.targetVersion = m_target;
            emit stateText(u("升级") + g.label() + u(": ") + (current.isEmpty() ? u("(无版本)") : current) + u(" → ")
                           + m_target + "...");
            runFlow(RemoteFlows::plan(RemoteFlows::UpgradeRelay, up), [this, row, fail](bool ok, const QString &why) {
                if (!ok)
                    return fail(why);
                done(row, Ok, u("已更新为") + m_target + u(", modbus服务已运行"));
            });
        });
    }, fail);
}

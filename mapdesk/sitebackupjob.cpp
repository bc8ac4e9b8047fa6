#include "sitebackupjob.h"

#include "remoteflows.h"
#include "sitesession.h"
#include "utf8text.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <memory>

void SiteBackupJob::start(const QVector<SiteGateway> &gateways, const QVector<int> &rows, const QString &siteFolder)
{
    m_siteFolder = siteFolder;
    startQueue(gateways, rows);
}

void SiteBackupJob::work(int row)
{
    const SiteGateway g = gateway(row);
    if (!g.identified()) {
        done(row, Failed, u("网关未应答搜索, 身份未知"));
        return;
    }
    const auto failed = [this, row](const QString &why) { done(row, Failed, why); };
    openSession(g, [this, row, g, failed]() {
        emit stateText(u("备份") + g.label() + u(": 列出文件..."));
        auto md5 = std::make_shared<QMap<QString, QString>>();
        runFlow(SiteFlows::listFiles(md5), [this, row, g, md5, failed](bool ok, const QString &why) {
            if (!ok)
                return failed(why);
            const auto store = [this, row, g, md5]() {
                QString folder, why;
                const QString root = m_env.tftpRoot ? m_env.tftpRoot() : QString();
                if (!SiteBackup::store(m_siteFolder, root, g, *md5, QDateTime::currentDateTime(), &folder, &why)) {
                    done(row, Failed, why);
                    return;
                }
                QStringList have, absent;
                for (auto it = md5->constBegin(); it != md5->constEnd(); ++it)
                    (it.value().isEmpty() ? absent : have) << it.key();
                emit backedUp(row, folder);
                done(row, Ok,
                     QDir::toNativeSeparators(folder) + u(": ") + (have.isEmpty() ? u("(无文件)") : have.join(u("、")))
                         + (absent.isEmpty() ? QString() : u("; 网关中没有: ") + absent.join(u("、"))));
            };
            bool any = false;
            for (const QString &d : *md5)
                any = any || !d.isEmpty();
            if (!any)
                return store();
            emit stateText(u("备份") + g.label() + u(": 网关经TFTP送回文件..."));
            runFlow(SiteFlows::fetchFiles(g, *md5, context(g)), [this, g, md5, store, failed](bool ok, const QString &why) {
                if (ok)
                    return store();
                const QDir root(m_env.tftpRoot ? m_env.tftpRoot() : QString());
                for (const QString &f : SiteFlows::backupFiles())
                    QFile::remove(root.filePath(SiteFlows::rootName(g, f)));
                failed(why);
            });
        });
    }, failed);
}

// ---------------------------------------------------------------- restore

bool SiteRestoreJob::start(const QVector<SiteGateway> &gateways, int row, const SiteBackup::Manifest &backup,
                           QString *why)
{
    *why = SiteBackup::damage(backup);
    if (!why->isEmpty())
        return false;
    m_backup = backup;
    startQueue(gateways, {row});
    return true;
}

void SiteRestoreJob::work(int row)
{
    m_row = row;
    m_installed.clear();
    m_todo.clear();
    for (const QString &f : SiteGateway::configFiles()) {
        const SiteBackup::File *file = m_backup.file(f);
        if (file && file->present)
            m_todo << f;
    }
    const SiteGateway g = gateway(row);
    openSession(g, [this]() { installNext(); }, [this, row](const QString &why) { done(row, Failed, why); });
}

void SiteRestoreJob::installNext()
{
    const SiteGateway g = gateway(m_row);
    QStringList absent;
    for (const QString &f : SiteGateway::configFiles())
        if (!m_backup.file(f) || !m_backup.file(f)->present)
            absent << f;
    const QString summary = (m_installed.isEmpty() ? u("未安装任何文件") : u("已安装 ") + m_installed.join(u("、")))
                            + (absent.isEmpty() ? QString()
                                                : u("; 备份中没有 ") + absent.join(u("、")) + u(", 网关中的保持不变"));
    FlowContext ctx = context(g);
    if (m_todo.isEmpty()) {
        emit stateText(u("恢复") + g.label() + u(": 重启modbus服务..."));
        runFlow(RemoteFlows::plan(RemoteFlows::RestartRelay, ctx), [this, summary](bool ok, const QString &why) {
            done(m_row, ok ? Ok : Failed,
                 ok ? summary + u("; modbus服务已重启") : summary + u("; 重启modbus服务失败: ") + why);
        });
        return;
    }
    const QString f = m_todo.takeFirst();
    const QDir root(ctx.tftpRoot);
    m_placed = root.filePath(g.deviceKey + "-" + f);
    m_held.clear();
    if (QFile::exists(m_placed)) {
        // A name of its own: an earlier one is never overwritten.
        m_held = m_placed + ".site-held-" + QDateTime::currentDateTime().toString("yyyyMMddhhmmss");
        for (int n = 2; QFile::exists(m_held) && n < 100; ++n)
            m_held = m_placed + ".site-held-" + QDateTime::currentDateTime().toString("yyyyMMddhhmmss") + "-"
                     + QString::number(n);
        if (!QFile::rename(m_placed, m_held)) {
            done(m_row, Failed, summary + u("; 无法暂存TFTP根目录中的") + QDir::toNativeSeparators(m_placed));
            return;
        }
    }
    if (!QFile::copy(QDir(m_backup.folder).filePath(f), m_placed)) {
        putBack();
        done(m_row, Failed, summary + u("; 无法把备份中的") + f + u("放入TFTP根目录"));
        return;
    }
    ctx.sentDigest = m_backup.file(f)->md5;
    const int code = f == "map.json" ? RemoteFlows::PutMapJson
                     : f == "vrvC.json" ? RemoteFlows::PutVrvCfg
                                        : RemoteFlows::PutAcl;
    emit stateText(u("恢复") + g.label() + u(": 安装") + f + "...");
    runFlow(RemoteFlows::plan(code, ctx), [this, f, summary](bool ok, const QString &why) {
        putBack();
        if (!ok) {
            done(m_row, Failed, summary + u("; 安装") + f + u("失败: ") + why);
            return;
        }
        m_installed << f;
        installNext();
    });
}

void SiteRestoreJob::putBack()
{
    QFile::remove(m_placed);
    if (!m_held.isEmpty())
        QFile::rename(m_held, m_placed);
    m_held.clear();
}

#include "remoteflows.h"

#include "dialogseam.h"
#include "gatewaydiscovery.h"
#include "pointlist.h"
#include "sshcommands.h"
#include "utf8text.h"

#include <QDebug>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTimer>

namespace {
const char kMarkerPrefix[] = "__MDK_";

// What the service looks like on the gateway: labelled so the answer cannot
// be mistaken for other output.
const char kRelayProbe[] = "echo __MDK_PID=$(pidof busrelay) \n"
                           "echo __MDK_VER=$(head -n 1 /gateway/modbus/ver.txt) \n";

QString labelled(const QString &out, const char *label)
{
    const QRegularExpression re(QString("__MDK_%1=([^\\r\\n]*)").arg(QLatin1String(label)));
    QString last;
    auto it = re.globalMatch(out);
    while (it.hasNext())
        last = it.next().captured(1).trimmed();
    return last;
}

FlowStep::Verdict statusZero(const ShellResult &r, QString *why)
{
    if (r.status == 0)
        return FlowStep::Ok;
    *why = u("命令返回状态") + QString::number(r.status);
    return FlowStep::Fail;
}

// For commands whose status says nothing (kills that find nothing, a service
// started in the background): a later step decides.
FlowStep::Verdict anyEnd(const ShellResult &, QString *)
{
    return FlowStep::Ok;
}

FlowStep shellStep(const QString &command, const QString &title,
                   const FlowStep::Judge &judge, int ms = 15000)
{
    FlowStep s;
    s.command = command;
    s.title = title;
    s.judge = judge;
    s.timeoutMs = ms;
    return s;
}

// The running service's pid as {PID}, for a later check that a new one runs.
FlowStep rememberPid()
{
    FlowStep s = shellStep("echo __MDK_PID=$(pidof busrelay) \n", u("记下modbus服务进程"), anyEnd);
    s.remembers << "PID";
    return s;
}

// A fetch or an upload step: the transfer must have happened.
FlowStep transferStep(const QString &command, FlowStep::Transfer dir, const QString &file, int ms,
                      const QString &timeoutText)
{
    FlowStep s;
    s.command = command;
    s.transfer = dir;
    s.file = file;
    s.timeoutMs = ms;
    s.timeoutText = timeoutText;
    s.judge = [file](const ShellResult &r, QString *why) {
        if (r.transferred)
            return FlowStep::Ok;
        *why = u("网关未传送") + file;
        return FlowStep::Fail;
    };
    return s;
}

// A fetch flow: the gateway pushes dk-<file> into the TFTP root, which the
// window then reads. Its texts are the stem with "....", "成功" + path, "失败!".
void planFetch(FlowPlan &p, const FlowContext &c, const QString &file, const QString &command, int ms,
               const QString &stem, const QString &timeoutText)
{
    const QString name = c.gatewayKey + "-" + file;
    p.startStatus = stem + u("....");
    p.steps << transferStep(command, FlowStep::GatewayPushes, name, ms, timeoutText);
    p.fetchedPath = c.tftpRoot + "/" + name;
    p.okStatus = stem + u("成功") + p.fetchedPath;
    p.failText = stem + u("失败!");
}

// An install's first step: the gateway pulls the file the tool wrote.
FlowStep pullStep(const QString &command, const QString &name, const QString &timeoutText)
{
    FlowStep put = transferStep(command, FlowStep::GatewayPulls, name, 8000, timeoutText);
    put.doneStatus = u("网关已取得") + name + u(", 安装并校验中....");
    return put;
}

FlowStep md5Step(const QString &remotePath, const QString &digest)
{
    FlowStep s;
    s.title = u("校验网关中") + remotePath + u("的MD5");
    s.command = "md5sum " + remotePath + " \n";
    s.judge = [remotePath, digest](const ShellResult &r, QString *why) {
        const QRegularExpressionMatch m = QRegularExpression("\\b([0-9a-fA-F]{32})\\b").match(r.out);
        if (m.hasMatch() && m.captured(1).compare(digest, Qt::CaseInsensitive) == 0)
            return FlowStep::Ok;
        *why = u("网关中") + remotePath + u("的MD5为") + (m.hasMatch() ? m.captured(1) : u("(无)"))
               + u(", 与下发文件的MD5 ") + digest + u(" 不一致");
        return FlowStep::Fail;
    };
    return s;
}

// The service runs (a new process when newProcess: not the PID an earlier
// step remembered), with the version when one is given.
FlowStep relayProbe(int ms, const QString &version, bool newProcess)
{
    FlowStep s;
    s.kind = FlowStep::Poll;
    s.command = kRelayProbe;
    s.title = newProcess ? u("等待modbus服务重新运行") : u("等待modbus服务运行");
    s.timeoutMs = ms;
    s.judge = [version, newProcess](const ShellResult &r, QString *why) {
        const QString pids = labelled(r.out, "PID");
        const QString ver = labelled(r.out, "VER");
        const QString oldPids = r.facts.value("PID");
        if (pids.isEmpty()) {
            *why = u("modbus服务(busrelay)未运行");
            return FlowStep::Again;
        }
        if (newProcess && !oldPids.isEmpty() && pids == oldPids) {
            *why = u("modbus服务仍是原进程 ") + pids;
            return FlowStep::Again;
        }
        if (!version.isEmpty() && ver != version) {
            *why = u("modbus服务版本为\"") + ver + u("\", 应为\"") + version + "\"";
            return FlowStep::Again;
        }
        return FlowStep::Ok;
    };
    return s;
}

// The restarted service's start-up line about mbacl.json: a new one must
// appear (the count grows past the one remembered before the restart), and
// it must not say the file was refused. With read-only clients it must name
// them: a busrelay older than the read-only list ignores it and lets them
// write.
FlowStep aclLogCheck(bool readOnly)
{
    FlowStep s;
    s.kind = FlowStep::Poll;
    s.command = SshCommands::aclLogProbe();
    s.title = u("查看modbus服务日志中的允许列表");
    s.timeoutMs = RemoteFlows::kAclLogMs;
    s.timeoutText = u("modbus服务重启后") + QString::number(RemoteFlows::kAclLogMs / 1000)
                    + u("秒内, 日志/tmp/mb.log中未出现mbacl.json的加载结果: 网关上的busrelay可能不支持客户端允许列表"
                        "(请先更新modbus程序), 此时modbus端口接受任何客户端");
    s.remembers << "ACLLINE";
    s.judge = [readOnly](const ShellResult &r, QString *why) {
        bool counted = false;
        const int now = labelled(r.out, "ACLN").toInt(&counted);
        const int before = r.facts.value("ACLN").toInt();
        if (!counted || now == before) {
            *why = u("modbus服务日志中还没有新的mbacl.json加载记录");
            return FlowStep::Again;
        }
        const QString line = labelled(r.out, "ACLLINE");
        // The warning about kept keys comes just before the line that says how the list was taken.
        if (line.contains(QLatin1String("ignored (only"))) {
            *why = u("modbus服务日志中还没有mbacl.json的加载结果");
            return FlowStep::Again;
        }
        if (line.contains(QLatin1String("mbacl.json refused"))) {
            *why = u("modbus服务拒绝了下发的mbacl.json, modbus端口接受任何客户端:\n") + line;
            return FlowStep::Fail;
        }
        if (readOnly && !line.contains(QLatin1String("read-only"))) {
            *why = u("网关上的busrelay不支持只读客户端(\"readOnly\"), 只读项中的客户端仍能写入; 请先更新modbus程序:\n")
                   + line;
            return FlowStep::Fail;
        }
        return FlowStep::Ok;
    };
    return s;
}

// The point list the gateway pushed must be one: an old busrelay that does
// not know --points leaves an empty file or its own output there.
FlowStep::Verdict pointListArrived(const ShellResult &r, const QString &name, const QString &path, QString *why)
{
    if (!r.transferred) {
        *why = u("网关未传送") + name;
        return FlowStep::Fail;
    }
    QFile f(path);
    const QByteArray data = f.open(QIODevice::ReadOnly) ? f.read(4 << 20) : QByteArray();
    PointTable table;
    QString error;
    if (parsePointList(data, &table, &error))
        return FlowStep::Ok;
    *why = u("网关送回的") + name + u("不是点表(") + error + u("), 网关上的busrelay可能不支持--points");
    const QString head = QString::fromUtf8(data.left(300)).trimmed();
    *why += head.isEmpty() ? u("\n文件为空") : u("\n文件开头:\n") + head;
    return FlowStep::Fail;
}

// Why a transfer through the PC's TFTP server may never come.
QString tftpCauses(const FlowContext &c)
{
    return u("请检查:\n1. 电脑上的TFTP服务是否在运行(连接网关页的\"开启tftp服务\")\n"
             "2. 电脑的防火墙是否放行UDP 5069端口(TFTP)\n"
             "3. 本机IP(")
           + c.localIp + u(")是否与网关(") + c.gatewayIp + u(")在同一网段");
}

FlowStep gatewayAnswer(const QString &key, const QString &version, int ms, const QString &timeoutText)
{
    FlowStep s;
    s.kind = FlowStep::AwaitGateway;
    s.gatewayKey = key;
    s.gatewayVersion = version;
    s.timeoutMs = ms;
    s.intervalMs = 3000;
    s.timeoutText = timeoutText;
    return s;
}
} // namespace

namespace RemoteFlows {

QString marker(const QString &token)
{
    return "echo " + QLatin1String(kMarkerPrefix) + token + "_$? \necho " + QLatin1String(kMarkerPrefix) + token
           + "_E >&2 \n";
}

bool usesTftp(int code)
{
    return (code >= GetMapJson && code <= PutVrvCfg) || code == ExportPoints || code == GetAcl || code == PutAcl;
}

QString stepText(const FlowStep &s)
{
    if (!s.title.isEmpty())
        return s.title;
    switch (s.kind) {
    case FlowStep::AwaitGateway: return u("等待网关应答搜索");
    case FlowStep::AwaitLinkDrop: return u("等待网关重启(ssh连接断开)");
    case FlowStep::Poll: return u("等待网关状态");
    case FlowStep::Shell: break;
    }
    if (s.transfer == FlowStep::GatewayPulls)
        return u("网关经TFTP取") + s.file;
    if (s.transfer == FlowStep::GatewayPushes)
        return u("网关经TFTP送回") + s.file;
    return u("网关执行命令");
}

FlowPlan plan(int code, const FlowContext &c)
{
    FlowPlan p;
    p.code = code;
    const QString dk = c.gatewayKey;
    const QString ip = c.localIp;
    const QString stamp = SshCommands::gatewayStamp();
    switch (code) {
    case GetMapJson:
        planFetch(p, c, "map.json", SshCommands::getMapJson(dk, ip), 8000, u("获取设备modbus地址配置"),
                  u("获取设备modbus地址配置超时!!!!"));
        break;
    case PutMapJson: {
        const QString name = dk + "-map.json";
        p.startStatus = u("下发设备modbus地址配置....");
        const FlowStep put = pullStep(SshCommands::putMapJson(dk, ip), name, u("下发设备modbus地址配置超时!!!"));
        const FlowStep install = shellStep(SshCommands::installMapJson(dk, stamp), u("安装") + name, statusZero);
        p.steps << put << install << md5Step("/gateway/modbus/map.json", c.sentDigest);
        p.okStatus = u("下发modbus地址配置成功") + name;
        p.okBoxText = p.okStatus;
        p.failText = u("下发modbus地址配置失败!");
        break;
    }
    case UpgradeGateway: {
        p.holdsWindow = false;
        p.startStatus = u("下发网关程序....");
        FlowStep put = transferStep(SshCommands::putGatewayPackage(ip), FlowStep::GatewayPulls, "gateway.exe",
                                    52000, u("下发网关程序超时!!!"));
        put.doneStatus = u("下发网关程序成功 gateway.exe");
        FlowStep install = shellStep(SshCommands::installGatewayPackage(), u("安装网关程序"), statusZero, 120000);
        install.doneStatus = u("网关程序已安装, 等待网关应答搜索....");
        p.steps << put << install
                << gatewayAnswer(dk, c.targetVersion, kGatewayAnswerMs,
                                 u("更新网关程序后, 网关在") + QString::number(kGatewayAnswerMs / 1000)
                                     + u("秒内未以新版本应答搜索"));
        p.okStatus = u("更新网关程序成功 gateway.exe");
        p.okBoxText = u("更新网关程序成功 gateway.exe ,网关已以新版本") + c.targetVersion + u("重新应答");
        p.failText = u("更新网关程序失败!");
        break;
    }
    case GetRelayVersion:
        p.holdsWindow = false;
        planFetch(p, c, "ver.txt", SshCommands::getRelayVersion(dk, ip), 3000, u("获取设备modbus服务版本"),
                  u("获取设备modbus服务版本超时!!!!"));
        break;
    case UpgradeRelay: {
        p.holdsWindow = false;
        p.startStatus = u("下发modbus程序....");
        FlowStep put = transferStep(SshCommands::putRelayPackage(ip), FlowStep::GatewayPulls, "modbus.zip", 8000,
                                    u("下发modbus程序超时!!!"));
        put.doneStatus = u("下发modbus程序成功 modbus.zip");
        // The kills print errors when nothing runs; the probe decides.
        FlowStep install = shellStep(SshCommands::installRelayPackage(), u("安装modbus程序"), anyEnd, 30000);
        install.doneStatus = u("modbus程序已安装, 等待modbus服务启动....");
        // A reinstall's version is the running one: only a new process shows the install ran.
        FlowStep probe = relayProbe(20000, c.targetVersion, c.reinstall);
        probe.timeoutText = u("更新modbus程序后, modbus服务在20秒内未以新版本运行");
        p.steps << put;
        if (c.reinstall) {
            p.steps << rememberPid();
            probe.timeoutText = u("重新安装modbus程序后, modbus服务在20秒内未以新进程运行");
        }
        p.steps << install << probe;
        p.okStatus = u("更新modbus程序成功 modbus.zip");
        p.okBoxText = u("更新modbus程序成功 modbus.zip ,modbus服务已运行, 版本") + c.targetVersion;
        p.failText = u("更新modbus程序失败!");
        if (c.reinstall) {
            p.okStatus = u("重新安装modbus程序成功 modbus.zip");
            p.okBoxText = u("重新安装modbus程序成功 modbus.zip ,modbus服务已重新运行, 版本") + c.targetVersion;
            p.failText = u("重新安装modbus程序失败!");
        }
        break;
    }
    case RefreshRelayVersion: {
        p.holdsWindow = false;
        p.quiet = true;
        FlowStep read = shellStep("echo __MDK_VER=$(head -n 1 /gateway/modbus/ver.txt 2>/dev/null) \n",
                                  u("读取modbus服务版本"), statusZero, 5000);
        read.remembers << "VER";
        p.steps << read;
        break;
    }
    case GetVrvCfg:
        planFetch(p, c, "vrvC.json", SshCommands::getVrvCfg(dk, ip), 8000, u("获取设备多联机空调控制器配置"),
                  u("获取设备多联机空调控制器配置超时!!!"));
        p.okBoxText = u("获取设备多联机空调控制器配置成功") + dk + u("-vrvC.json\n请修改配置文件，确认无误后再下载配置");
        break;
    case PutVrvCfg: {
        const QString name = dk + "-vrvC.json";
        p.startStatus = u("下发设备多联机空调配置....");
        const FlowStep put = pullStep(SshCommands::putVrvCfg(dk, ip), name, u("下发设备多联机空调配置超时!!!"));
        // Ends with the service started in the background; the digest decides.
        const FlowStep install = shellStep(SshCommands::installVrvCfg(dk, stamp), u("安装") + name, anyEnd);
        p.steps << put << install << md5Step("/gateway/modbus/vrvC.json", c.sentDigest);
        p.okStatus = u("下发多联机空调配置成功 ") + name;
        p.okBoxText = p.okStatus + u(" ,等待modbus程序自动重启加载新配置...");
        p.failText = u("下发多联机空调配置失败!");
        break;
    }
    case RestartRelay: {
        p.holdsWindow = false;
        p.startStatus = u("重启modbus服务....");
        p.steps << rememberPid() << shellStep(SshCommands::restartRelay(), u("结束modbus服务进程"), anyEnd);
        FlowStep probe = relayProbe(20000, QString(), true);
        probe.timeoutText = u("modbus服务在20秒内未重新运行");
        p.steps << probe;
        p.okStatus = u("modbus服务已重启");
        p.okBoxText = p.okStatus;
        p.failText = u("重启modbus服务失败!");
        break;
    }
    case RebootGateway: {
        p.holdsWindow = false;
        p.startStatus = u("重启网关....");
        FlowStep reboot;
        reboot.kind = FlowStep::AwaitLinkDrop;
        reboot.command = SshCommands::rebootGateway();
        reboot.timeoutMs = 60000;
        reboot.timeoutText = u("网关在60秒内未重启(ssh连接未断开)");
        reboot.doneStatus = u("网关重启中, 等待网关应答搜索(最长") + QString::number(kRebootAnswerMs / 1000)
                            + u("秒)....");
        p.steps << reboot
                << gatewayAnswer(dk, QString(), kRebootAnswerMs,
                                 u("网关重启后") + QString::number(kRebootAnswerMs / 1000) + u("秒内未应答搜索"));
        p.okStatus = u("网关已重启并重新应答搜索");
        p.okBoxText = p.okStatus + u(", 请重新连接ssh服务器");
        p.failText = u("重启网关失败!");
        break;
    }
    case ExportPoints: {
        p.holdsWindow = false;
        const QString name = dk + "-points.csv";
        const QString path = c.tftpRoot + "/" + name;
        p.startStatus = u("导出点表....");
        FlowStep run = transferStep(SshCommands::exportPoints(dk, ip), FlowStep::GatewayPushes, name,
                                    kExportPointsMs, u("导出点表超时!!!"));
        run.title = u("网关列出点表并经TFTP送回") + name;
        run.judge = [name, path](const ShellResult &r, QString *why) { return pointListArrived(r, name, path, why); };
        p.steps << run;
        p.fetchedPath = path;
        p.okStatus = u("导出点表成功") + path;
        p.failText = u("导出点表失败!");
        break;
    }
    case GetAcl:
        planFetch(p, c, "mbacl.json", SshCommands::getAcl(dk, ip), 8000, u("获取modbus客户端允许列表"),
                  u("获取modbus客户端允许列表超时!!!"));
        break;
    case PutAcl: {
        const QString name = dk + "-mbacl.json";
        p.startStatus = u("下发modbus客户端允许列表....");
        const FlowStep put = pullStep(SshCommands::putAcl(dk, ip), name, u("下发modbus客户端允许列表超时!!!"));
        FlowStep before = shellStep(SshCommands::aclLogCountAndPid(), u("记下modbus服务进程及其日志"), anyEnd);
        before.remembers << "PID" << "ACLN";
        // Ends with the service started in the background; the checks decide.
        const FlowStep install =
            shellStep(SshCommands::installAcl(dk, stamp), u("安装") + name + u("并重启modbus服务"), anyEnd);
        FlowStep probe = relayProbe(20000, QString(), true);
        probe.timeoutText = u("下发允许列表后, modbus服务在20秒内未重新运行");
        p.steps << put << before << install << md5Step("/gateway/modbus/mbacl.json", c.sentDigest) << probe
                << aclLogCheck(c.aclReadOnly);
        p.okStatus = u("下发modbus客户端允许列表成功 ") + name;
        p.okBoxText = p.okStatus + u(", modbus服务已重启并加载:\n{ACLLINE}");
        p.failText = u("下发modbus客户端允许列表失败!");
        break;
    }
    default:
        p.code = None;
        break;
    }
    for (FlowStep &s : p.steps) {
        if (s.transfer != FlowStep::NoTransfer)
            s.timeoutHint = tftpCauses(c);
    }
    return p;
}

} // namespace RemoteFlows

// ---------------------------------------------------------------- runner

RemoteFlowRunner::RemoteFlowRunner(QWidget *dialogParent, QObject *parent)
    : QObject(parent)
    , m_dialogParent(dialogParent)
    , m_timer(new QTimer(this))
    , m_pollTimer(new QTimer(this))
{
    m_timer->setObjectName("sshCmdTimer");
    m_timer->setSingleShot(true);
    // A coarse timer may fire up to 5 % early; a timeout is a promise to the user.
    m_timer->setTimerType(Qt::PreciseTimer);
    m_pollTimer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &RemoteFlowRunner::expire);
    connect(m_pollTimer, &QTimer::timeout, this, &RemoteFlowRunner::onPollTimer);
}

bool RemoteFlowRunner::start(const FlowPlan &plan)
{
    if (m_plan.code != 0 || plan.code == 0 || plan.steps.isEmpty())
        return false;
    m_plan = plan;
    m_step = 0;
    m_allErr.clear();
    m_errRest.clear();
    m_lastWhy.clear();
    m_lastFailure.clear();
    m_facts.clear();
    emit busyChanged();
    if (!plan.quiet)
        emit statusText(plan.startStatus);
    beginStep();
    return true;
}

void RemoteFlowRunner::beginStep()
{
    m_res = ShellResult();
    m_outBuf.clear();
    m_errBuf.clear();
    m_outMarker = m_errMarker = false;
    m_graceRunning = false;
    m_pollTimer->stop();
    const FlowStep &s = step();
    emit stepStarted(m_step, m_plan.steps.size(), RemoteFlows::stepText(s));
    m_timer->start(s.timeoutMs);
    if (s.kind == FlowStep::AwaitGateway) {
        searchGateway();
        m_pollTimer->start(s.intervalMs);
        return;
    }
    sendStepCommand();
}

void RemoteFlowRunner::sendStepCommand()
{
    m_token = QString::number(++m_seq) + QString::number(QRandomGenerator::global()->generate() % 1000000);
    m_res.status = -1;
    m_res.out.clear();
    m_res.err.clear();
    m_res.facts = m_facts;
    m_outBuf.clear();
    m_errBuf = m_errRest;
    m_errRest.clear();
    m_outMarker = m_errMarker = false;
    emit sendCommand(step().command + RemoteFlows::marker(m_token));
}

void RemoteFlowRunner::shellOutput(const QString &text)
{
    if (m_plan.code == 0 || step().kind == FlowStep::AwaitGateway)
        return;
    m_outBuf += text;
    scanMarkers();
}

void RemoteFlowRunner::shellError(const QString &text)
{
    if (m_plan.code == 0)
        return;
    if (step().kind == FlowStep::AwaitGateway)
        return;
    m_errBuf += text;
    scanMarkers();
}

void RemoteFlowRunner::scanMarkers()
{
    const QString mark = QLatin1String(kMarkerPrefix) + m_token + "_";
    if (!m_outMarker) {
        const QRegularExpressionMatch m = QRegularExpression(QRegularExpression::escape(mark) + "(\\d+)").match(m_outBuf);
        if (m.hasMatch()) {
            m_outMarker = true;
            m_res.status = m.captured(1).toInt();
            m_res.out = m_outBuf.left(m.capturedStart());
        }
    }
    if (!m_errMarker) {
        const int at = m_errBuf.indexOf(mark + "E");
        if (at >= 0) {
            m_errMarker = true;
            // Markers of an earlier, abandoned command are not the shell's words.
            m_res.err = m_errBuf.left(at).remove(QRegularExpression("__MDK_\\w+_E\\s*"));
            // What follows comes from jobs the command left running ("... &"): still the shell's words.
            m_errRest = m_errBuf.mid(at + mark.size() + 1);
            const QString words = m_res.err.trimmed();
            if (!words.isEmpty())
                m_allErr += words + "\n";
        }
    }
    if (!m_outMarker || !m_errMarker)
        return;
    if (step().kind == FlowStep::AwaitLinkDrop) {
        // reboot returned: an error means it will not happen; else the link drop ends the step.
        if (m_res.status != 0)
            fail(m_plan.failText);
        return;
    }
    if (step().transfer != FlowStep::NoTransfer && !m_res.transferred) {
        // The shell may be faster than the TFTP server's report.
        m_graceRunning = true;
        m_pollTimer->start(kTransferGraceMs);
        return;
    }
    judgeShell();
}

void RemoteFlowRunner::judgeShell()
{
    m_graceRunning = false;
    const FlowStep &s = step();
    QString why;
    const FlowStep::Verdict v = s.judge ? s.judge(m_res, &why) : FlowStep::Ok;
    if (!why.isEmpty())
        m_lastWhy = why;
    if (v == FlowStep::Ok) {
        stepOk();
    } else if (v == FlowStep::Again && s.kind == FlowStep::Poll) {
        m_pollTimer->start(s.intervalMs);
    } else {
        fail(m_plan.failText);
    }
}

void RemoteFlowRunner::onPollTimer()
{
    if (m_plan.code == 0)
        return;
    const FlowStep &s = step();
    if (m_graceRunning) {
        judgeShell();
    } else if (s.kind == FlowStep::AwaitGateway) {
        searchGateway();
        m_pollTimer->start(s.intervalMs);
    } else if (s.kind == FlowStep::Poll) {
        sendStepCommand();
    }
}

void RemoteFlowRunner::fileSent(const QString &name)
{
    transferSeen(FlowStep::GatewayPulls, name);
}

void RemoteFlowRunner::fileReceived(const QString &name)
{
    transferSeen(FlowStep::GatewayPushes, name);
}

void RemoteFlowRunner::transferSeen(FlowStep::Transfer direction, const QString &name)
{
    // Any client may use the server: only the file this step asked for counts.
    if (m_plan.code == 0 || step().transfer != direction || name != step().file || m_res.transferred)
        return;
    m_res.transferred = true;
    if (m_graceRunning) {
        m_pollTimer->stop();
        judgeShell();
    }
}

void RemoteFlowRunner::gatewayAnswered(const QString &gatewayKey, const QString &version)
{
    if (m_plan.code == 0 || step().kind != FlowStep::AwaitGateway || gatewayKey != step().gatewayKey)
        return;
    const QString want = step().gatewayVersion;
    if (!want.isEmpty() && !version.isEmpty() && version != want) {
        // The old program may still answer before it restarts.
        m_lastWhy = u("网关应答的版本为") + version + u(", 应为") + want;
        return;
    }
    stepOk();
}

void RemoteFlowRunner::linkDown()
{
    if (m_plan.code == 0)
        return;
    const FlowStep::Kind k = step().kind;
    if (k == FlowStep::AwaitLinkDrop) {
        stepOk();
        return;
    }
    if (k == FlowStep::AwaitGateway)
        return;  // the link is not needed any more
    m_lastWhy = u("ssh连接断开");
    fail(m_plan.failText);
}

void RemoteFlowRunner::expire()
{
    if (m_plan.code == 0)
        return;
    const FlowStep &s = step();
    if (s.kind == FlowStep::Shell && m_outMarker && m_errMarker && !m_graceRunning) {
        // Cannot happen: a judged step has moved on.
        return;
    }
    // The TFTP causes only when it is the transfer that never came.
    const bool noTransfer = s.transfer != FlowStep::NoTransfer && !m_res.transferred;
    fail(s.timeoutText.isEmpty() ? m_plan.failText : s.timeoutText, noTransfer ? s.timeoutHint : QString());
}

void RemoteFlowRunner::stepOk()
{
    const FlowStep &s = step();
    if (!s.doneStatus.isEmpty() && !m_plan.quiet)
        emit statusText(s.doneStatus);
    for (const QString &label : s.remembers)
        m_facts[label] = labelled(m_res.out, label.toLatin1().constData());
    if (++m_step < m_plan.steps.size()) {
        beginStep();
        return;
    }
    FlowPlan done = m_plan;
    for (auto it = m_facts.constBegin(); it != m_facts.constEnd(); ++it) {
        done.okStatus.replace("{" + it.key() + "}", it.value());
        done.okBoxText.replace("{" + it.key() + "}", it.value());
    }
    endFlow();
    if (!done.quiet)
        emit statusText(done.okStatus);
    if (!done.fetchedPath.isEmpty())
        emit fetched(done.code, done.fetchedPath);
    emit finished(done.code, true);
    if (!done.okBoxText.isEmpty() && !done.quiet)
        DialogSeam::information(m_dialogParent, "Info", done.okBoxText);
    emit succeeded(done.code);
}

QString RemoteFlowRunner::shellWords() const
{
    QString words = m_allErr.trimmed();
    if (!m_lastWhy.isEmpty())
        words = words.isEmpty() ? m_lastWhy : words + "\n" + m_lastWhy;
    return words;
}

void RemoteFlowRunner::fail(const QString text, const QString &hint)  // copies: endFlow() clears the plan
{
    const QString causes = hint;
    const int code = m_plan.code;
    const bool quiet = m_plan.quiet;
    const QString words = shellWords();
    m_lastFailure = words.isEmpty() ? text : text + "\n" + words;
    endFlow();
    if (quiet) {
        qDebug().noquote() << "quiet flow" << code << "failed:" << text << words;
        emit finished(code, false);
        return;
    }
    // Ended before the box opens, so a late transfer report is ignored.
    emit statusText(text);
    emit finished(code, false);
    QString box = words.isEmpty() ? text : text + "\n" + words;
    if (!causes.isEmpty())
        box += "\n" + causes;
    DialogSeam::warning(m_dialogParent, "warning", box);
}

void RemoteFlowRunner::setDiscovery(GatewayDiscovery *discovery)
{
    m_discovery = discovery;
    connect(discovery, &GatewayDiscovery::answered, this,
            [this](const FoundGateway &gw) { gatewayAnswered(gw.deviceKey, gw.version); });
}

void RemoteFlowRunner::searchGateway()
{
    if (m_discovery)
        m_discovery->probe();
}

void RemoteFlowRunner::endFlow()
{
    if (m_discovery)
        m_discovery->endProbe();
    m_timer->stop();
    m_pollTimer->stop();
    m_graceRunning = false;
    m_plan = FlowPlan();
    m_step = 0;
    emit busyChanged();
}

// The flow runner on its own, without a window: the flow table's times, the
// status marker read from both streams in any order, a transfer report that
// comes after the marker, markers of an abandoned command, a check that is
// repeated until it holds, and a failure that carries the shell's words.
#include "dialogseam.h"
#include "utf8text.h"
#include "remoteflows.h"
#include "sshcommands.h"

#include <QFile>
#include <QTemporaryDir>

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

namespace {
QString tokenOf(const QString &command)
{
    const QRegularExpressionMatch m = QRegularExpression("echo __MDK_(\\w+)_\\$\\?").match(command);
    return m.hasMatch() ? m.captured(1) : QString();
}

FlowContext context()
{
    FlowContext c;
    c.gatewayKey = "gwr0000001";
    c.gatewayIp = "10.200.9.2";
    c.localIp = "10.200.9.1";
    c.tftpRoot = "/pc";
    c.targetVersion = "QXGW-RJ-RELAY-T3-V2";
    c.sentDigest = "0123456789abcdef0123456789abcdef";
    return c;
}
} // namespace

class TstRemoteFlowRunner : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        m_boxes.clear();
        DialogSeam::setResponder([this](const DialogSeam::Request &r) {
            m_boxes.append(r);
            return true;
        });
    }
    void cleanup() { DialogSeam::setResponder(nullptr); }

    void table();
    void markerOnBothStreams();
    void transferAfterMarker();
    void staleMarkersAndDigest();
    void pollUntilItHolds();
    void oneFlowAtATime();
    void stepsAreAnnounced();
    void exportPointsIsChecked();
    void aclInstallReadsTheServiceLog();
    void timeoutSaysWhatToCheck();

private:
    QList<DialogSeam::Request> m_boxes;
};

void TstRemoteFlowRunner::table()
{
    // The designed transfer times; every flow has steps, texts and a failure text.
    const QList<QPair<int, int>> times = {{1, 8000}, {2, 8000}, {3, 52000}, {4, 3000}, {5, 8000}, {6, 8000}, {7, 8000}};
    for (const auto &t : times) {
        const FlowPlan p = RemoteFlows::plan(t.first, context());
        QCOMPARE(p.code, t.first);
        QCOMPARE(p.steps.first().timeoutMs, t.second);
        QVERIFY(RemoteFlows::usesTftp(t.first));
    }
    for (int code = 1; code <= 9; ++code) {
        const FlowPlan p = RemoteFlows::plan(code, context());
        QVERIFY(!p.steps.isEmpty() && !p.failText.isEmpty() && !p.okStatus.isEmpty() && !p.startStatus.isEmpty());
    }
    QVERIFY(!RemoteFlows::usesTftp(8) && !RemoteFlows::usesTftp(9));
    QCOMPARE(RemoteFlows::plan(42, context()).code, 0);
    // Flows that change the gateway end in a check on the gateway.
    QCOMPARE(RemoteFlows::plan(2, context()).steps.last().command, QString("md5sum /gateway/modbus/map.json \n"));
    QCOMPARE(RemoteFlows::plan(5, context()).steps.last().kind, FlowStep::Poll);
    QCOMPARE(RemoteFlows::plan(3, context()).steps.last().kind, FlowStep::AwaitGateway);
    QCOMPARE(RemoteFlows::plan(9, context()).steps.last().kind, FlowStep::AwaitGateway);
}

void TstRemoteFlowRunner::markerOnBothStreams()
{
    RemoteFlowRunner r(nullptr);
    QSignalSpy sent(&r, &RemoteFlowRunner::sendCommand);
    QSignalSpy done(&r, &RemoteFlowRunner::finished);
    QVERIFY(r.start(RemoteFlows::plan(RemoteFlows::GetRelayVersion, context())));
    const QString tok = tokenOf(sent.at(0).at(0).toString());
    QVERIFY(!tok.isEmpty());
    r.fileReceived("gwr0000001-ver.txt");
    // Standard output's marker alone does not end the step: error output may still come.
    r.shellOutput("__MDK_" + tok + "_0\n");
    QCOMPARE(done.count(), 0);
    // Split across chunks.
    r.shellError("__MDK_" + tok.left(2));
    QCOMPARE(done.count(), 0);
    r.shellError(tok.mid(2) + "_E\n");
    QCOMPARE(done.count(), 1);
    QVERIFY(done.at(0).at(1).toBool());
    QCOMPARE(r.pendingCode(), 0);
}

void TstRemoteFlowRunner::transferAfterMarker()
{
    RemoteFlowRunner r(nullptr);
    QSignalSpy sent(&r, &RemoteFlowRunner::sendCommand);
    QSignalSpy done(&r, &RemoteFlowRunner::finished);
    QSignalSpy fetched(&r, &RemoteFlowRunner::fetched);
    QVERIFY(r.start(RemoteFlows::plan(RemoteFlows::GetMapJson, context())));
    const QString tok = tokenOf(sent.at(0).at(0).toString());
    r.shellError("__MDK_" + tok + "_E\n");
    r.shellOutput("__MDK_" + tok + "_0\n");
    QCOMPARE(done.count(), 0);  // waits a moment for the TFTP server's report
    r.fileReceived("gwr0000001-map.json");
    QCOMPARE(done.count(), 1);
    QCOMPARE(fetched.count(), 1);
    QCOMPARE(fetched.at(0).at(1).toString(), QString("/pc/gwr0000001-map.json"));

    // No report at all: a failure once the grace has passed, not the 8 s timeout.
    QVERIFY(r.start(RemoteFlows::plan(RemoteFlows::GetMapJson, context())));
    const QString tok2 = tokenOf(sent.at(1).at(0).toString());
    r.shellError("tftp: timeout\n__MDK_" + tok2 + "_E\n");
    r.shellOutput("__MDK_" + tok2 + "_1\n");
    QTRY_COMPARE_WITH_TIMEOUT(done.count(), 2, RemoteFlowRunner::kTransferGraceMs + 5000);
    QVERIFY(!done.at(1).at(1).toBool());
    QCOMPARE(m_boxes.last().text, u("获取设备modbus地址配置失败!\ntftp: timeout\n网关未传送gwr0000001-map.json"));
}

void TstRemoteFlowRunner::staleMarkersAndDigest()
{
    RemoteFlowRunner r(nullptr);
    QSignalSpy sent(&r, &RemoteFlowRunner::sendCommand);
    QSignalSpy status(&r, &RemoteFlowRunner::statusText);
    QVERIFY(r.start(RemoteFlows::plan(RemoteFlows::PutMapJson, context())));
    // Markers of some earlier command change nothing.
    r.shellOutput("__MDK_999_0\n");
    r.shellError("__MDK_999_E\n");
    r.fileSent("gwr0000001-map.json");
    QCOMPARE(sent.count(), 1);
    auto finish = [&](int i, const QString &out, int rc) {
        const QString tok = tokenOf(sent.at(i).at(0).toString());
        r.shellOutput(out + "__MDK_" + tok + "_" + QString::number(rc) + "\n");
        r.shellError("__MDK_" + tok + "_E\n");
    };
    finish(0, QString(), 0);
    QCOMPARE(sent.count(), 2);  // the install step
    QVERIFY(sent.at(1).at(0).toString().startsWith("cp map.json gwr0000001-"));
    finish(1, QString(), 0);
    QCOMPARE(sent.count(), 3);  // the digest check
    // An upper-case digest from the gateway is the same digest.
    finish(2, "0123456789ABCDEF0123456789ABCDEF  /gateway/modbus/map.json\n", 0);
    QCOMPARE(r.pendingCode(), 0);
    QCOMPARE(m_boxes.last().kind, DialogSeam::Information);
    QCOMPARE(status.last().at(0).toString(), u("下发modbus地址配置成功gwr0000001-map.json"));

    // A failed install step (mv) stops the flow with its status.
    QVERIFY(r.start(RemoteFlows::plan(RemoteFlows::PutMapJson, context())));
    r.fileSent("gwr0000001-map.json");
    finish(3, QString(), 0);
    r.shellError("mv: can't rename 'gwr0000001-map.json': No such file or directory\n");
    finish(4, QString(), 1);
    QCOMPARE(r.pendingCode(), 0);
    QCOMPARE(m_boxes.last().text, u("下发modbus地址配置失败!\nmv: can't rename 'gwr0000001-map.json': No such file or "
                                    "directory\n命令返回状态1"));
    QCOMPARE(sent.count(), 5);
}

void TstRemoteFlowRunner::pollUntilItHolds()
{
    RemoteFlowRunner r(nullptr);
    QSignalSpy sent(&r, &RemoteFlowRunner::sendCommand);
    QSignalSpy done(&r, &RemoteFlowRunner::finished);
    QVERIFY(r.start(RemoteFlows::plan(RemoteFlows::UpgradeRelay, context())));
    auto finish = [&](const QString &out) {
        const QString tok = tokenOf(sent.last().at(0).toString());
        r.shellOutput(out + "__MDK_" + tok + "_0\n");
        r.shellError("__MDK_" + tok + "_E\n");
    };
    r.fileSent("modbus.zip");
    finish(QString());  // the transfer step
    finish(QString());  // the install step
    const int probes = sent.count();
    finish("__MDK_PID=\n__MDK_VER=\n");
    QCOMPARE(done.count(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(sent.count(), probes + 1, 10000);  // asked again
    finish("__MDK_PID=812\n__MDK_VER=QXGW-RJ-RELAY-T3-V1\n");
    QTRY_COMPARE_WITH_TIMEOUT(sent.count(), probes + 2, 10000);
    QCOMPARE(done.count(), 0);
    finish("__MDK_PID=812\n__MDK_VER=QXGW-RJ-RELAY-T3-V2\r\n");
    QCOMPARE(done.count(), 1);
    QVERIFY(done.at(0).at(1).toBool());
}

void TstRemoteFlowRunner::oneFlowAtATime()
{
    RemoteFlowRunner r(nullptr);
    QSignalSpy sent(&r, &RemoteFlowRunner::sendCommand);
    QVERIFY(r.start(RemoteFlows::plan(RemoteFlows::GetVrvCfg, context())));
    QVERIFY(!r.start(RemoteFlows::plan(RemoteFlows::GetMapJson, context())));
    QCOMPARE(sent.count(), 1);
    QVERIFY(r.holdsWindow());
    // The link drops under a flow: a failure at once, not the timeout.
    r.linkDown();
    QCOMPARE(r.pendingCode(), 0);
    QCOMPARE(m_boxes.last().text, u("获取设备多联机空调控制器配置失败!\nssh连接断开"));
    QVERIFY(r.start(RemoteFlows::plan(RemoteFlows::GetRelayVersion, context())));
    QVERIFY(!r.holdsWindow());
    r.expire();
    QVERIFY(m_boxes.last().text.startsWith(u("获取设备modbus服务版本超时!!!!\n请检查:")));
}

void TstRemoteFlowRunner::stepsAreAnnounced()
{
    // Each step says what it does as it begins; a failed step is the last one announced.
    RemoteFlowRunner r(nullptr);
    QSignalSpy sent(&r, &RemoteFlowRunner::sendCommand);
    QSignalSpy steps(&r, &RemoteFlowRunner::stepStarted);
    QVERIFY(r.start(RemoteFlows::plan(RemoteFlows::PutMapJson, context())));
    auto finish = [&](int rc) {
        const QString tok = tokenOf(sent.last().at(0).toString());
        r.shellOutput("__MDK_" + tok + "_" + QString::number(rc) + "\n");
        r.shellError("__MDK_" + tok + "_E\n");
    };
    QCOMPARE(steps.count(), 1);
    r.fileSent("gwr0000001-map.json");
    finish(0);
    QCOMPARE(steps.count(), 2);
    finish(1);  // the install fails: no digest step
    QCOMPARE(r.pendingCode(), 0);
    QCOMPARE(steps.count(), 2);
    const QStringList texts = {u("网关经TFTP取gwr0000001-map.json"), u("安装gwr0000001-map.json")};
    for (int i = 0; i < steps.count(); ++i) {
        QCOMPARE(steps.at(i).at(0).toInt(), i);
        QCOMPARE(steps.at(i).at(1).toInt(), 3);
        QCOMPARE(steps.at(i).at(2).toString(), texts.at(i));
    }
    // Every step of every flow has a text of its own kind.
    for (int code = 1; code <= RemoteFlows::ExportPoints; ++code)
        for (const FlowStep &s : RemoteFlows::plan(code, context()).steps)
            QVERIFY2(!RemoteFlows::stepText(s).isEmpty(), qPrintable(QString::number(code)));
    FlowStep probe = RemoteFlows::plan(RemoteFlows::UpgradeGateway, context()).steps.last();
    QCOMPARE(RemoteFlows::stepText(probe), u("等待网关应答搜索"));
}

void TstRemoteFlowRunner::exportPointsIsChecked()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    FlowContext c = context();
    c.tftpRoot = root.path();
    const FlowPlan p = RemoteFlows::plan(RemoteFlows::ExportPoints, c);
    QCOMPARE(p.steps.size(), 1);
    QCOMPARE(p.steps.first().timeoutMs, RemoteFlows::kExportPointsMs);
    QCOMPARE(p.steps.first().command, SshCommands::exportPoints("gwr0000001", "10.200.9.1"));
    QVERIFY(RemoteFlows::usesTftp(RemoteFlows::ExportPoints));

    RemoteFlowRunner r(nullptr);
    QSignalSpy sent(&r, &RemoteFlowRunner::sendCommand);
    QSignalSpy done(&r, &RemoteFlowRunner::finished);
    QSignalSpy fetched(&r, &RemoteFlowRunner::fetched);
    // The gateway pushes `content` and its shell ends with status 0 each time.
    auto run = [&](const QByteArray &content) {
        QFile f(root.filePath("gwr0000001-points.csv"));
        if (!f.open(QIODevice::WriteOnly))
            return false;
        f.write(content);
        f.close();
        if (!r.start(p))
            return false;
        const QString tok = tokenOf(sent.last().at(0).toString());
        r.fileReceived("gwr0000001-points.csv");
        r.shellOutput("__MDK_" + tok + "_0\n");
        r.shellError("__MDK_" + tok + "_E\n");
        return r.pendingCode() == 0;
    };
    QVERIFY(run("\xEF\xBB\xBFunit,table,address\r\n1,holding register,3\r\n"));
    QVERIFY(done.last().at(1).toBool());
    QCOMPARE(fetched.count(), 1);
    QCOMPARE(fetched.last().at(1).toString(), root.filePath("gwr0000001-points.csv"));

    // An old busrelay ignores the option: what it printed is no point list.
    QVERIFY(run("busrelay V1 starting\nlistening on 502\n"));
    QVERIFY(!done.last().at(1).toBool());
    QCOMPARE(fetched.count(), 1);
    const QString text = m_boxes.last().text;
    QVERIFY2(text.startsWith(u("导出点表失败!\n网关送回的gwr0000001-points.csv不是点表(")), qPrintable(text));
    QVERIFY2(text.contains("listening on 502"), qPrintable(text));
    QVERIFY(run(QByteArray()));
    QVERIFY(!done.last().at(1).toBool());
    QVERIFY2(m_boxes.last().text.endsWith(u("文件为空")), qPrintable(m_boxes.last().text));
}

void TstRemoteFlowRunner::aclInstallReadsTheServiceLog()
{
    const FlowPlan p = RemoteFlows::plan(RemoteFlows::PutAcl, context());
    QVERIFY(RemoteFlows::usesTftp(RemoteFlows::PutAcl) && RemoteFlows::usesTftp(RemoteFlows::GetAcl));
    QCOMPARE(p.steps.size(), 6);
    QCOMPARE(p.steps[3].command, QString("md5sum /gateway/modbus/mbacl.json \n"));

    RemoteFlowRunner r(nullptr);
    QSignalSpy sent(&r, &RemoteFlowRunner::sendCommand);
    QSignalSpy done(&r, &RemoteFlowRunner::finished);
    auto answer = [&](const QString &out) {
        const QString tok = tokenOf(sent.last().at(0).toString());
        r.shellOutput(out + "__MDK_" + tok + "_0\n");
        r.shellError("__MDK_" + tok + "_E\n");
    };
    const QString digest = context().sentDigest + "  /gateway/modbus/mbacl.json\n";
    const QString accepted = "12:00:01.250 INFO  mbAcl.cpp:150: mbacl.json: the Modbus port accepts clients only "
                             "from 10.200.9.1, 192.168.7.0/24";
    // Up to the log check: the old service (PID 700) had logged the list 3 times.
    auto runToLogCheck = [&](const FlowPlan &p) {
        if (!r.start(p))
            return false;
        r.fileSent("gwr0000001-mbacl.json");
        answer(QString());                              // transfer
        answer("__MDK_PID=700\n__MDK_ACLN=3\n");        // before the restart
        answer(QString());                              // install and restart
        answer(digest);                                 // digest
        const int probes = sent.count();
        const QString probe = sent.last().at(0).toString();
        QElapsedTimer since;
        since.start();
        answer("__MDK_PID=700\n__MDK_VER=V2\n");        // still the old process
        // Asked again one poll interval later (a coarse timer may fire 5 % early);
        // the next probe waits for this one's answer, so exactly one goes out.
        if (!QTest::qWaitFor([&]() { return sent.count() > probes; }, 10000))
            return false;
        const qint64 after = since.elapsed();
        if (after < p.steps[4].intervalMs * 95 / 100) {
            qWarning("re-probe after %lld ms, interval %d ms", after, p.steps[4].intervalMs);
            return false;
        }
        if (sent.count() != probes + 1 || tokenOf(sent.last().at(0).toString()) == tokenOf(probe)
            || !sent.last().at(0).toString().startsWith(p.steps[4].command)) {
            qWarning("after %lld ms: %d probes instead of one", after, int(sent.count() - probes));
            return false;
        }
        answer("__MDK_PID=731\n__MDK_VER=V2\n");
        return sent.last().at(0).toString().startsWith("echo __MDK_ACLN=$(grep -acE");
    };

    // The new process has logged its line: success, and the box quotes it.
    QVERIFY(runToLogCheck(p));
    int checks = sent.count();
    answer("__MDK_ACLN=3\n__MDK_ACLLINE=12:00:00.100 INFO  mbAcl.cpp:147: mbacl.json lists no address\n");
    QCOMPARE(done.count(), 0);  // the old process's line: asked again
    QTRY_COMPARE_WITH_TIMEOUT(sent.count(), checks + 1, 10000);
    // The warning about kept keys, caught just before the line after it: asked again.
    checks = sent.count();
    answer("__MDK_ACLN=4\n__MDK_ACLLINE=12:00:01.249 WARN  mbAcl.cpp:141: mbacl.json: \"site\" ignored (only \"allow\" "
           "and \"readOnly\" are read)\n");
    QCOMPARE(done.count(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(sent.count(), checks + 1, 10000);
    answer("__MDK_ACLN=5\n__MDK_ACLLINE=" + accepted + "\n");
    QCOMPARE(done.count(), 1);
    QVERIFY(done.last().at(1).toBool());
    QCOMPARE(m_boxes.last().kind, DialogSeam::Information);
    QCOMPARE(m_boxes.last().text, u("下发modbus客户端允许列表成功 gwr0000001-mbacl.json, modbus服务已重启并加载:\n") + accepted);

    // The service refused the file: a failure that says every client is accepted.
    QVERIFY(runToLogCheck(p));
    answer("__MDK_ACLN=1\n__MDK_ACLLINE=12:00:02.000 ERROR mbAcl.cpp:140: mbacl.json refused (entry 2 is not an IPv4 "
           "address or range): NO client allow-list in force, the Modbus port accepts every client\n");
    QCOMPARE(done.count(), 2);
    QVERIFY(!done.last().at(1).toBool());
    QVERIFY2(m_boxes.last().text.startsWith(u("下发modbus客户端允许列表失败!\nmodbus服务拒绝了下发的mbacl.json"))
                 && m_boxes.last().text.contains("entry 2 is not an IPv4"),
             qPrintable(m_boxes.last().text));

    // A service too old for the list never logs it: the time runs out with a hint to upgrade.
    QVERIFY(runToLogCheck(p));
    answer("__MDK_ACLN=3\n__MDK_ACLLINE=\n");
    r.expire();
    QCOMPARE(done.count(), 3);
    QVERIFY(!done.last().at(1).toBool());
    QVERIFY2(m_boxes.last().text.contains(u("网关上的busrelay可能不支持客户端允许列表")), qPrintable(m_boxes.last().text));

    // Read-only clients sent: a service that does not name them ignored them and lets them write.
    FlowContext withReadOnly = context();
    withReadOnly.aclReadOnly = true;
    const FlowPlan readOnlyPlan = RemoteFlows::plan(RemoteFlows::PutAcl, withReadOnly);
    QVERIFY(runToLogCheck(readOnlyPlan));
    answer("__MDK_ACLN=4\n__MDK_ACLLINE=" + accepted + "\n");
    QCOMPARE(done.count(), 4);
    QVERIFY(!done.last().at(1).toBool());
    QVERIFY2(m_boxes.last().text.contains(u("网关上的busrelay不支持只读客户端")) && m_boxes.last().text.contains(accepted),
             qPrintable(m_boxes.last().text));
    const QString readOnlyLine = "12:00:01.250 INFO  mbAcl.cpp:159: mbacl.json: the Modbus port accepts clients only from "
                                 "10.200.9.1 and, read-only (writes refused with exception 1), from 10.200.9.7";
    QVERIFY(runToLogCheck(readOnlyPlan));
    answer("__MDK_ACLN=4\n__MDK_ACLLINE=" + readOnlyLine + "\n");
    QCOMPARE(done.count(), 5);
    QVERIFY(done.last().at(1).toBool());
    QVERIFY(m_boxes.last().text.endsWith(readOnlyLine));
}

void TstRemoteFlowRunner::timeoutSaysWhatToCheck()
{
    const QString causes = u("请检查:\n1. 电脑上的TFTP服务是否在运行(连接网关页的\"开启tftp服务\")\n"
                             "2. 电脑的防火墙是否放行UDP 5069端口(TFTP)\n"
                             "3. 本机IP(10.200.9.1)是否与网关(10.200.9.2)在同一网段");
    // Every step that moves a file through the PC's TFTP server has them, no other step.
    for (int code = RemoteFlows::GetMapJson; code <= RemoteFlows::PutAcl; ++code) {
        for (const FlowStep &s : RemoteFlows::plan(code, context()).steps)
            QCOMPARE(s.timeoutHint, s.transfer != FlowStep::NoTransfer ? causes : QString());
    }

    RemoteFlowRunner r(nullptr);
    QSignalSpy status(&r, &RemoteFlowRunner::statusText);
    QSignalSpy sent(&r, &RemoteFlowRunner::sendCommand);
    // The transfer never came: the flow's own text first, then the causes; the status bar the text alone.
    QVERIFY(r.start(RemoteFlows::plan(RemoteFlows::GetMapJson, context())));
    r.expire();
    QCOMPARE(m_boxes.last().text, u("获取设备modbus地址配置超时!!!!\n") + causes);
    QCOMPARE(status.last().at(0).toString(), u("获取设备modbus地址配置超时!!!!"));

    // The file came, the shell did not finish: not the TFTP server's fault.
    QVERIFY(r.start(RemoteFlows::plan(RemoteFlows::GetMapJson, context())));
    r.fileReceived("gwr0000001-map.json");
    r.expire();
    QCOMPARE(m_boxes.last().text, u("获取设备modbus地址配置超时!!!!"));

    // A later step without a transfer (the install after the gateway took the file): no causes.
    QVERIFY(r.start(RemoteFlows::plan(RemoteFlows::PutMapJson, context())));
    r.fileSent("gwr0000001-map.json");
    const QString tok = tokenOf(sent.last().at(0).toString());
    r.shellOutput("__MDK_" + tok + "_0\n");
    r.shellError("__MDK_" + tok + "_E\n");
    QTRY_VERIFY(tokenOf(sent.last().at(0).toString()) != tok);  // the install was typed
    r.expire();
    QCOMPARE(m_boxes.last().text, u("下发modbus地址配置失败!"));
    QCOMPARE(r.pendingCode(), 0);
}

QTEST_MAIN(TstRemoteFlowRunner)
#include "tst_remoteflowrunner.moc"

#ifndef PEERRUNNER_H
#define PEERRUNNER_H

// Linux peer programs for the tests. Natively they are started with
// QProcess. Under wine (PEER_RUNNER=host:port in the environment, set by
// scripts/test-windows.sh) QProcess cannot wait for a Linux program or read
// its exit code, so peerrunner.py runs them on the Linux side instead.

#include <QByteArray>
#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTcpSocket>

namespace PeerRunner {

inline bool active()
{
    return qEnvironmentVariableIsSet("PEER_RUNNER");
}

// One request, one answer line; an empty object when the runner is not there.
inline QJsonObject ask(const QJsonObject &request, int ms)
{
    const QStringList hp = qEnvironmentVariable("PEER_RUNNER").split(':');
    QTcpSocket s;
    s.connectToHost(hp.value(0), quint16(hp.value(1).toUInt()));
    if (!s.waitForConnected(3000)) {
        qWarning() << "peer runner not reachable:" << s.errorString();
        return QJsonObject();
    }
    s.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
    QByteArray line;
    while (!line.endsWith('\n') && s.waitForReadyRead(ms))
        line += s.readAll();
    return QJsonDocument::fromJson(line).object();
}

inline QString findProgram(const QString &name)
{
    if (!active())
        return QStandardPaths::findExecutable(name);
    return ask(QJsonObject{{"which", name}}, 3000).value("path").toString();
}

// Runs a program to completion; its exit code, -1 when it did not finish in
// timeoutMs (20 s unless given).
inline int run(const QString &program, const QStringList &args, const QString &cwd = QString(),
               int timeoutMs = 20000)
{
    QByteArray out;
    int code = -1;
    if (active()) {
        const QJsonObject a = ask(QJsonObject{{"run", QJsonArray::fromStringList(QStringList{program} + args)},
                                              {"cwd", cwd},
                                              {"timeout", timeoutMs / 1000.0}},
                                  timeoutMs + 5000);
        code = a.value("exit").toInt(-1);
        out = a.value("output").toString().toUtf8();
    } else {
        QProcess p;
        if (!cwd.isEmpty())
            p.setWorkingDirectory(cwd);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(program, args);
        if (!p.waitForFinished(timeoutMs)) {
            p.kill();
            p.waitForFinished(2000);
            return -1;
        }
        out = p.readAll();
        code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
    if (!out.isEmpty())
        qDebug().noquote() << program << args.join(' ') << "->" << out.trimmed();
    return code;
}

// A program left running in the background (a server) until stop().
class Background
{
public:
    ~Background() { stop(); }
    bool start(const QString &program, const QStringList &args)
    {
        if (!PeerRunner::active()) {
            m_proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            m_proc.start(program, args);
            return m_proc.waitForStarted(3000);
        }
        m_pid = ask(QJsonObject{{"spawn", QJsonArray::fromStringList(QStringList{program} + args)}}, 3000)
                    .value("pid")
                    .toInt(0);
        return m_pid > 0;
    }
    void stop()
    {
        if (m_pid > 0) {
            ask(QJsonObject{{"kill", m_pid}}, 5000);
            m_pid = 0;
        }
        if (m_proc.state() != QProcess::NotRunning) {
            m_proc.terminate();
            if (!m_proc.waitForFinished(3000))
                m_proc.kill();
            m_proc.waitForFinished(1000);
        }
    }

private:
    QProcess m_proc;
    int m_pid = 0;
};

} // namespace PeerRunner

#endif // PEERRUNNER_H

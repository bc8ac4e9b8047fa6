#ifndef REMOTEFLOWS_H
#define REMOTEFLOWS_H

// The remote flows over the gateway's SSH shell and the tool's TFTP server,
// as data: each flow is a list of steps (a command and what ends it: the
// shell's status marker, a file transfer, a check repeated until it holds,
// the link dropping, the gateway answering the search again), with its
// times and texts. RemoteFlowRunner runs one flow at a time and says
// "success" only when the flow's last check has confirmed the goal.

#include <QMap>
#include <QObject>
#include <QStringList>
#include <QString>
#include <QVector>

#include <functional>

class GatewayDiscovery;
class QTimer;
class QWidget;

struct FlowContext
{
    QString gatewayKey;
    QString gatewayIp;
    QString localIp;
    QString tftpRoot;
    QString targetVersion;  // the package's version (upgrades)
    QString sentDigest;     // MD5 of the file the gateway is to install
    bool reinstall = false; // busrelay: the running version again
    bool aclReadOnly = false; // the mbacl.json sent has read-only clients
};

// What one shell command gave: the status of its last command (-1 before the
// marker came), its standard output and error, and whether the awaited file
// transfer was reported.
struct ShellResult
{
    int status = -1;
    QString out;
    QString err;
    bool transferred = false;
    // Values earlier steps of the flow remembered (FlowStep::remembers).
    QMap<QString, QString> facts;
};

struct FlowStep
{
    enum Kind {
        Shell,         // the command, then its status marker (and the transfer, if any)
        Poll,          // the command again every intervalMs until judge says Ok or time runs out
        AwaitLinkDrop, // the command, then the SSH link must drop (a reboot)
        AwaitGateway   // the gateway must answer the search again
    };
    enum Transfer { NoTransfer, GatewayPulls, GatewayPushes };
    enum Verdict { Ok, Again, Fail };

    Kind kind = Shell;
    QString command;
    Transfer transfer = NoTransfer;
    QString file;  // the transfer that belongs to this step
    int timeoutMs = 15000;
    int intervalMs = 1000;
    QString timeoutText;  // shown when the step runs out of time; empty: the flow's failure text
    // What to check, added to the timeout box (not the status bar) when the
    // step's transfer never came.
    QString timeoutHint;
    QString doneStatus;   // status bar text once the step has ended well
    QString title;        // what the step does, shown while it runs; empty: said by its kind
    // Labels of "__MDK_<label>=value" lines whose values, once the step has
    // ended well, later steps see in ShellResult::facts.
    QStringList remembers;
    using Judge = std::function<Verdict(const ShellResult &, QString *why)>;
    // Shell and Poll: the step's outcome; *why explains a Fail or an Again.
    Judge judge;
    // AwaitGateway: the answer that counts (version empty: any).
    QString gatewayKey;
    QString gatewayVersion;
};

struct FlowPlan
{
    int code = 0;
    bool holdsWindow = true;  // else only the SSH connect button is held
    QString startStatus;
    QVector<FlowStep> steps;
    // Both may name a remembered value as {label}.
    QString okStatus;
    QString okBoxText;    // "Info" box on success; empty: none
    QString failText;     // lead of the failure box
    QString fetchedPath;  // fetch flows: the local file the window reads on success
    // A refresh behind another flow's result: no status texts and no boxes.
    bool quiet = false;
};

namespace RemoteFlows {
enum Code {
    None = 0,
    GetMapJson = 1,
    PutMapJson = 2,
    UpgradeGateway = 3,
    GetRelayVersion = 4,
    UpgradeRelay = 5,
    GetVrvCfg = 6,
    PutVrvCfg = 7,
    RestartRelay = 8,
    RebootGateway = 9,
    ExportPoints = 10,
    GetAcl = 11,
    PutAcl = 12,
    // Reads the installed busrelay's version (first line of ver.txt) over the shell.
    RefreshRelayVersion = 13
};

// How long the restarted service may take to log how it took mbacl.json.
const int kAclLogMs = 15000;

// How long the point-list export may take: the gateway stops a busrelay
// that ignores --points after 10 s, then pushes the file.
const int kExportPointsMs = 20000;

// How long a rebooted gateway may take to answer the search again.
const int kRebootAnswerMs = 180000;
const int kGatewayAnswerMs = 120000;

FlowPlan plan(int code, const FlowContext &ctx);
// Whether the flow moves files through the TFTP server.
bool usesTftp(int code);
// The status marker that follows every command: standard output gets the
// status of the command's last line, standard error an end mark.
QString marker(const QString &token);
// The text shown while the step runs.
QString stepText(const FlowStep &step);
} // namespace RemoteFlows

class RemoteFlowRunner : public QObject
{
    Q_OBJECT
public:
    // Boxes open over dialogParent (may be null).
    explicit RemoteFlowRunner(QWidget *dialogParent, QObject *parent = nullptr);

    int pendingCode() const { return m_plan.code; }
    // What the steps of the running or last flow remembered (FlowStep::remembers).
    const QMap<QString, QString> &facts() const { return m_facts; }
    bool holdsWindow() const { return m_plan.code != 0 && m_plan.holdsWindow; }
    // How the last flow that failed ended: its text and the shell's words, as its box says them.
    QString lastFailure() const { return m_lastFailure; }
    bool start(const FlowPlan &plan);
    // The search that steps waiting for the gateway send, and whose answers they take.
    void setDiscovery(GatewayDiscovery *discovery);

    // A marker seen without its transfer waits this long for the TFTP report.
    static const int kTransferGraceMs = 1500;

public slots:
    void shellOutput(const QString &text);
    void shellError(const QString &text);
    void linkDown();
    void fileSent(const QString &name);
    void fileReceived(const QString &name);
    void gatewayAnswered(const QString &gatewayKey, const QString &version);
    // Ends the current step as its timer would.
    void expire();

signals:
    void sendCommand(QString command);
    void statusText(QString text);
    void busyChanged();
    // A step began: index from 0 of count, with its text (see stepText).
    void stepStarted(int index, int count, QString text);
    void fetched(int code, QString path);
    void finished(int code, bool ok);
    // A success, once its box has been answered: a question that follows it comes after.
    void succeeded(int code);

private:
    void beginStep();
    void sendStepCommand();
    void scanMarkers();
    void judgeShell();
    void onPollTimer();
    void transferSeen(FlowStep::Transfer direction, const QString &name);
    void stepOk();
    void fail(const QString text, const QString &hint = QString());
    void endFlow();
    void searchGateway();
    QString shellWords() const;
    const FlowStep &step() const { return m_plan.steps.at(m_step); }

    QWidget *m_dialogParent;
    GatewayDiscovery *m_discovery = nullptr;
    QTimer *m_timer;      // the step's deadline
    QTimer *m_pollTimer;  // poll interval, search interval, transfer grace
    FlowPlan m_plan;
    int m_step = 0;
    QString m_token;
    quint32 m_seq = 0;
    ShellResult m_res;
    QString m_outBuf, m_errBuf;
    bool m_outMarker = false, m_errMarker = false;
    bool m_graceRunning = false;
    QString m_allErr;   // the shell's standard error over the whole flow
    QString m_errRest;  // standard error after the last end mark
    QString m_lastWhy;
    QString m_lastFailure;
    QMap<QString, QString> m_facts;
};

#endif // REMOTEFLOWS_H

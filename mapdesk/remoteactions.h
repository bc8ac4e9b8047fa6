#ifndef REMOTEACTIONS_H
#define REMOTEACTIONS_H

// What the window's remote buttons start: for each flow the checks before it
// (no other flow, the SSH link, a chosen gateway, the TFTP server), the
// engineer's confirmation, the file it sends, and the flow itself.

#include "aclfile.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class AddressMapEditor;
class RemoteFlowRunner;
class RemoteSession;
class QWidget;
struct FlowContext;

class RemoteActions : public QObject
{
    Q_OBJECT
public:
    // context: the selected gateway, the PC's address and the TFTP root, as now.
    RemoteActions(RemoteSession *session, QWidget *dialogParent, std::function<FlowContext()> context,
                  QObject *parent = nullptr);

    // Another flow runs, here or elsewhere: says so in a box.
    bool refuseWhileBusy();
    // Work of another part of the tool over the same TFTP server (a site
    // operation): while it answers a text, no flow starts here.
    void setBusyElsewhere(std::function<QString()> busy) { m_busyElsewhere = std::move(busy); }
    // The SSH link is up and a gateway chosen (boxes otherwise).
    bool linkUp();
    bool mayStart();
    // Nothing changed while a box was open: no flow came, the link stayed.
    bool stillFree() const;
    void startFlow(int code, const FlowContext &ctx);

    void getMapJson(AddressMapEditor *map);
    void putMapJson(AddressMapEditor *map);
    void rebootGateway();
    void exportPoints();
    void getVrvCfg();
    void putVrvCfg();
    void restartRelay();
    // After refuseWhileBusy() (the caller clears the shown version between).
    void getRelayVersion();
    // program: UpgradeRules::Program. packageRefusal reads the package again
    // and says what keeps it from being installed (empty: nothing); it is
    // asked before the question and again right before sending.
    void upgrade(int program, const QString &target, const QString &current,
                 const std::function<QString()> &packageRefusal);
    // The installed busrelay's version, read quietly (RefreshRelayVersion);
    // false when the link is down or another flow runs.
    bool refreshRelayVersion();
    RemoteFlowRunner *runner() const;
    void getAcl();
    // list: for the question (who may connect, who may only read); text: the file.
    void putAcl(const AclFile::List &list, const QByteArray &text);

    // After a flow's success: an installed map.json is read only when the
    // service starts, so the checked restart is offered ("稍后" is safe).
    void offerRelayRestart(int code);

signals:
    void statusText(QString text);

private:
    RemoteSession *m_session;
    QWidget *m_dialogParent;
    std::function<FlowContext()> m_context;
    std::function<QString()> m_busyElsewhere;
};

#endif // REMOTEACTIONS_H

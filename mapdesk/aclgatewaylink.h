#ifndef ACLGATEWAYLINK_H
#define ACLGATEWAYLINK_H

// The Modbus client allow-list editor bound to the selected gateway: fetched
// and installed through the remote flows, usable while the SSH link is up and
// idle, and the gateway its list came from or went to.

#include <QObject>
#include <QString>

#include <functional>

class AclEditor;
class QLayout;
class QWidget;
class RemoteActions;
class RemoteSession;

class AclGatewayLink : public QObject
{
    Q_OBJECT
public:
    // The editor goes into layout, its parent being group; boxes open over dialogParent.
    AclGatewayLink(QWidget *group, QLayout *layout, RemoteSession *session, RemoteActions *actions,
                   std::function<QString()> gatewayKey, QWidget *dialogParent, QObject *parent = nullptr);

    AclEditor *editor() const { return m_editor; }
    void updateActions();
    // A list fetched from or installed to another gateway no longer belongs to this one.
    void gatewaySelected(const QString &deviceKey);
    // The fetched mbacl.json: into the editor, or a box saying why not.
    void loadFetched(const QString &path);

private:
    AclEditor *m_editor;
    RemoteSession *m_session;
    std::function<QString()> m_gatewayKey;
    QWidget *m_dialogParent;
    QString m_aclGateway;  // the gateway the editor's list was fetched from or installed to
};

#endif // ACLGATEWAYLINK_H

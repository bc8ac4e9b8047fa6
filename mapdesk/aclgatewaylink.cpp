#include "aclgatewaylink.h"

#include "acleditor.h"
#include "dialogseam.h"
#include "remoteactions.h"
#include "remoteflows.h"
#include "remotesession.h"
#include "utf8text.h"

#include <QFile>
#include <QLayout>

AclGatewayLink::AclGatewayLink(QWidget *group, QLayout *layout, RemoteSession *session, RemoteActions *actions,
                               std::function<QString()> gatewayKey, QWidget *dialogParent, QObject *parent)
    : QObject(parent)
    , m_editor(new AclEditor(group))
    , m_session(session)
    , m_gatewayKey(std::move(gatewayKey))
    , m_dialogParent(dialogParent)
{
    m_editor->setObjectName("aclEditor");
    layout->addWidget(m_editor);
    // The editor has asked about unsent edits, or refused errors and had its doubts confirmed.
    connect(m_editor, &AclEditor::fetchRequested, actions, &RemoteActions::getAcl);
    connect(m_editor, &AclEditor::installRequested, actions,
            [this, actions]() { actions->putAcl(m_editor->list(), m_editor->fileText()); });
    RemoteFlowRunner *runner = session->runner();
    connect(runner, &RemoteFlowRunner::busyChanged, this, &AclGatewayLink::updateActions);
    connect(runner, &RemoteFlowRunner::finished, this, [this](int code, bool ok) {
        if (ok && code == RemoteFlows::PutAcl) {
            m_editor->setModified(false);
            m_aclGateway = m_gatewayKey();
        }
    });
    updateActions();
}

void AclGatewayLink::updateActions()
{
    m_editor->setGatewayActionsEnabled(m_session->isConnected()
                                       && m_session->runner()->pendingCode() == RemoteFlows::None);
}

void AclGatewayLink::gatewaySelected(const QString &deviceKey)
{
    if (deviceKey != m_aclGateway && !m_aclGateway.isEmpty()) {
        m_aclGateway.clear();
        m_editor->gatewayChanged();
    }
}

void AclGatewayLink::loadFetched(const QString &path)
{
    QFile f(path);
    QString error;
    if (!f.open(QIODevice::ReadOnly)) {
        DialogSeam::warning(m_dialogParent, "warning", u("获取modbus客户端允许列表失败!\n无法读取") + path);
    } else if (!m_editor->loadFileText(f.read(1 << 20), &error)) {
        DialogSeam::warning(m_dialogParent, "warning",
                            u("网关上的mbacl.json不可用, modbus服务因此接受任何客户端:\n") + error
                                + u("\n编辑器中的列表未变; 修正后下发即可替换它。"));
    } else {
        m_aclGateway = m_gatewayKey();
    }
}

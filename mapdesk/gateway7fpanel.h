#ifndef GATEWAY7FPANEL_H
#define GATEWAY7FPANEL_H

// The 7F side of the connect tab: the connect button and its state label,
// the gateway version label, what each command says while it runs and when
// it ends or times out, the question before a device is deleted, and the
// traffic in the debug log. The connection itself is Gateway7FClient's.

#include <QObject>
#include <QString>

class DebugLogView;
class Gateway7FClient;
class QLabel;
class QPushButton;
class QWidget;

class Gateway7FPanel : public QObject
{
    Q_OBJECT
public:
    struct Widgets
    {
        QPushButton *connectButton = nullptr;
        QLabel *stateLabel = nullptr;
        QLabel *versionLabel = nullptr;  // the gateway program's version
    };

    // Boxes open over dialogParent.
    Gateway7FPanel(Gateway7FClient *client, const Widgets &widgets, DebugLogView *log, QWidget *dialogParent,
                   QObject *parent = nullptr);

    // The selected gateway (its address and device key).
    void setGateway(const QString &ip, const QString &deviceKey);
    void setPort(quint16 port) { m_port = port; }

    // The connect button: connects, or drops a live link.
    void toggleConnection();
    void showConnected();
    void showConnectFailed(const QString &why);
    void showDisconnected();
    // One command (Gateway7FClient::Command); deviceKey for a delete, which
    // is confirmed first. True when it went out and now pends.
    bool send(int code, const QString &deviceKey = QString());
    // A hand-written frame from the debug area.
    void sendRaw(const QString &topic, const QString &payload);
    // Reads the version again behind another operation's result: no boxes and
    // no status texts. The label is blank until the answer; without a link it
    // stays blank; a command in progress is waited for.
    void refreshVersion();

signals:
    void statusText(QString text);
    void statusCleared();
    // Connecting, connected, failed or dropped: what depends on the link may change.
    void linkChanged();
    // A command went out or ended (answered or timed out).
    void commandStateChanged();
    void deviceDeleted(QString deviceKey);

private:
    Gateway7FClient *m_client;
    Widgets m_w;
    DebugLogView *m_log;
    QWidget *m_dialogParent;
    QString m_ip;
    QString m_key;
    quint16 m_port;
    bool m_quietVersion = false;  // the pending ReadVersion is refreshVersion()'s
    bool m_versionWanted = false; // refreshVersion() waits for another command
};

#endif // GATEWAY7FPANEL_H

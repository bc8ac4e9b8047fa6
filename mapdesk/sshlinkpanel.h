#ifndef SSHLINKPANEL_H
#define SSHLINKPANEL_H

// The SSH side of the connect tab: the connect button and its state label,
// the engineer's host key questions (first use, changed key), and the
// shell's output into the console and the debug log. The session itself is
// RemoteSession's.

#include <QObject>
#include <QString>

class DebugLogView;
class QLabel;
class QPushButton;
class QWidget;
class RemoteSession;
class SshConsoleView;

class SshLinkPanel : public QObject
{
    Q_OBJECT
public:
    // Boxes open over dialogParent.
    SshLinkPanel(RemoteSession *session, QPushButton *connectButton, QLabel *stateLabel, DebugLogView *log,
                 SshConsoleView *console, QWidget *dialogParent, QObject *parent = nullptr);

    // The selected gateway: its address, whole serial number (or prefix),
    // serial prefix and device key.
    void setGateway(const QString &ip, const QString &serial, const QString &serialPrefix, const QString &deviceKey);
    // The connect button: connects, or drops a live link.
    void toggleConnection();
    // A connect has been started and has not ended yet.
    bool isConnecting() const { return m_connecting; }
    // The first-use question; answered to the session through accept or reject.
    void askHostKey(const QString &fingerprint);

signals:
    // Connecting, connected, failed or dropped: what depends on the link may change.
    void linkChanged();
    void acceptHostKey();
    void rejectHostKey();

private:
    void showState(bool up, const QString &error);
    void setLook(bool connected);
    void askReplaceHostKey(const QString &id, const QString &pinned, const QString &offered);

    RemoteSession *m_session;
    QPushButton *m_button;
    QLabel *m_label;
    DebugLogView *m_log;
    QWidget *m_dialogParent;
    QString m_ip;
    QString m_serial;
    QString m_prefix;
    QString m_key;
    bool m_connecting = false;
};

#endif // SSHLINKPANEL_H

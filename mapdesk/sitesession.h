#ifndef SITESESSION_H
#define SITESESSION_H

// The SSH side of one gateway in a site operation: a RemoteSession of its
// own (its own client, shell and flow runner; the single-gateway tabs' session
// is not touched), logged in as the single connection would, with that
// gateway's host key pin. It never asks the engineer: an unknown key is
// declined and a changed one stops the connection, each with its reason.
// Flows run quietly (no boxes, no status bar); their outcome is a signal.
// While the session is up its gateway may use the TFTP server beside the
// gateway selected on the connect tab.
//
// SiteKeyCheck runs before an operation starts: it connects to each gateway
// whose key is not pinned yet until the key is shown (the login stops there,
// no password is sent), so the engineer can be asked once about all of them.

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVector>

#include "sitegateway.h"

class QTimer;
class QtftpWidget;
class QWidget;
class RemoteFlowRunner;
class RemoteSession;
struct FlowPlan;

class SiteSession : public QObject
{
    Q_OBJECT
public:
    // Login (15 s at most) and the shell's first answer.
    static const int kOpenMs = 25000;
    enum Mode { Work, KeyProbe };

    SiteSession(const SiteGateway &gateway, QtftpWidget *tftp, QWidget *dialogParent, QObject *parent = nullptr);
    ~SiteSession() override;

    // Work: ready() once the shell answers, or openFailed(why).
    // KeyProbe: keyOffered(fingerprint) for a key without a pin, ready() when
    // the key was already pinned, openFailed(why) otherwise; the link is then closed.
    void open(Mode mode = Work);
    void close();
    // A quiet run of the plan; flowEnded() follows. False when the session is
    // not ready or a flow runs.
    bool run(FlowPlan plan);
    RemoteFlowRunner *runner() const;

    // The PC's address on the gateway's network, else fallback.
    static QString localIpFor(const QString &gatewayIp, const QString &fallback);

signals:
    void ready();
    void openFailed(QString why);
    void keyOffered(QString fingerprint);
    void flowEnded(int code, bool ok, QString why);

private:
    void linkState(bool up, const QString &error);
    void output(const QString &text);
    void fail(const QString &why);
    void pingShell();

    SiteGateway m_gw;
    QPointer<QtftpWidget> m_tftp;  // the window's, which may go first
    RemoteSession *m_session;
    QTimer *m_openTimer;
    QTimer *m_ping;
    Mode m_mode = Work;
    bool m_opening = false;
    bool m_up = false;
    bool m_ready = false;
    QString m_keyReason;  // why the key stopped the login
    QString m_token;
    QString m_seen;
};

// The keys to confirm before an operation on some gateways.
class SiteKeyCheck : public QObject
{
    Q_OBJECT
public:
    struct Offer
    {
        int row;
        QString fingerprint;
    };

    SiteKeyCheck(QtftpWidget *tftp, QWidget *dialogParent, QObject *parent = nullptr);
    // Whether the gateway's key needs a question (known, none pinned yet).
    static bool needsKey(const SiteGateway &g);
    // rows index gateways; only those needing a key are connected.
    void start(const QVector<SiteGateway> &gateways, const QVector<int> &rows);
    bool isRunning() const { return m_running; }
    // One question listing every offered key; the keys are pinned when it is answered yes.
    static bool confirm(QWidget *dialogParent, const QVector<SiteGateway> &gateways, const QVector<Offer> &offers);

signals:
    void finished(QVector<SiteKeyCheck::Offer> offers);

private:
    void next();

    QtftpWidget *m_tftp;
    QWidget *m_dialogParent;
    QVector<SiteGateway> m_gateways;
    QVector<int> m_todo;
    QVector<Offer> m_offers;
    SiteSession *m_probe = nullptr;
    bool m_running = false;
};

#endif // SITESESSION_H

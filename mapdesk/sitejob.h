#ifndef SITEJOB_H
#define SITEJOB_H

// A site operation over some gateways: one gateway after another, each with
// an SSH session of its own that ends before the next one begins. A cancel
// is taken between gateways only: the gateway in progress runs to the end of
// its flow (which finishes or rolls back itself); the others are marked
// cancelled. The subclasses (inventory, backup, restore, batch upgrade) say
// what is done with each gateway.

#include <QObject>
#include <QString>
#include <QVector>

#include <functional>

#include "sitegateway.h"

class QtftpWidget;
class QWidget;
class SiteSession;
struct FlowContext;
struct FlowPlan;

// What every site operation works with.
struct SiteEnv
{
    QtftpWidget *tftp = nullptr;
    QWidget *dialogParent = nullptr;
    std::function<QString()> localIp;   // the PC's chosen address
    std::function<QString()> tftpRoot;
};

class SiteJob : public QObject
{
    Q_OBJECT
public:
    enum Result { Ok, Failed, Skipped, NotRun, Cancelled };
    static QString resultText(int result);

    SiteJob(const SiteEnv &env, QObject *parent = nullptr);
    ~SiteJob() override;

    bool isRunning() const { return m_running; }
    bool cancelRequested() const { return m_cancel; }
    void cancel();

signals:
    void stateText(QString text);
    void gatewayStarted(int row);
    void gatewayDone(int row, int result, QString why);
    void finished(bool cancelled);

protected:
    // Runs work() for each row in turn.
    void startQueue(const QVector<SiteGateway> &gateways, const QVector<int> &rows);
    virtual void work(int row) = 0;
    // Ends the current row; the next begins once the session is gone.
    void done(int row, int result, const QString &why);
    // The rows not begun yet end with this result.
    void dropRest(int result, const QString &why);
    const SiteGateway &gateway(int row) const { return m_gateways.at(row); }
    QVector<SiteGateway> &gateways() { return m_gateways; }

    void openSession(const SiteGateway &g, std::function<void()> ready, std::function<void(QString)> failed);
    void runFlow(const FlowPlan &plan, std::function<void(bool ok, QString why)> then);
    void closeSession();
    SiteSession *session() const { return m_session; }
    FlowContext context(const SiteGateway &g) const;

    SiteEnv m_env;

private:
    void next();

    QVector<SiteGateway> m_gateways;
    QVector<int> m_queue;
    SiteSession *m_session = nullptr;
    std::function<void()> m_onReady;
    std::function<void(QString)> m_onFailed;
    std::function<void(bool, QString)> m_then;
    bool m_running = false;
    bool m_cancel = false;
    int m_current = -1;
};

#endif // SITEJOB_H

#ifndef SITETAB_H
#define SITETAB_H

// The 站点 tab: the gateways of a building as one list (found by the search
// on the chosen network, or typed in by address), remembered per site in the
// tool's settings; what each runs (inventory), exported as CSV or JSON;
// backups of their configuration into the site folder, a restore of one
// backup onto a gateway, and busrelay upgraded on several gateways from one
// package. Every operation works one gateway at a time over SSH sessions of
// its own; it does not start while a single-gateway SSH flow runs, and while
// it runs the single-gateway flows wait ("等待其他操作完成!").

#include <QHostAddress>
#include <QMap>
#include <QVector>
#include <QWidget>

#include <functional>

#include "sitegateway.h"
#include "sitejob.h"
#include "sitesession.h"

class ElidedLabel;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QTableWidget;
class RemoteActions;
class RemoteSession;
class SiteBackupJob;
class SiteBatchUpgrade;
class SiteInventory;
class SiteRestoreJob;
class SiteStore;

class SiteTab : public QWidget
{
    Q_OBJECT
public:
    struct Links
    {
        QtftpWidget *tftp = nullptr;
        RemoteSession *session = nullptr;  // the single-gateway tabs'
        RemoteActions *actions = nullptr;  // their flows wait while the site works
        std::function<QString()> localIp;
        std::function<QHostAddress()> broadcast;
        QWidget *dialogParent = nullptr;
    };
    SiteTab(const Links &links, QWidget *parent = nullptr);
    ~SiteTab() override;

    QString siteName() const { return m_site; }
    // Makes (or opens) the site and shows its list.
    bool setSite(const QString &name);
    QString folder() const;
    void setFolder(const QString &path);
    const QVector<SiteGateway> &gateways() const { return m_rows; }
    // A gateway the search cannot reach (behind a router).
    bool addAddress(const QString &ip);
    void setSelectedRows(const QVector<int> &rows);
    QVector<int> selectedRows() const;

    void refreshAll();
    void refreshSelected();
    void backupSelected();
    // The backup in folder onto the one selected gateway (a box asks first).
    void restoreSelected(const QString &backupFolder);
    void upgradeSelected();
    void retryFailed();
    // Stops after the gateway in progress.
    void cancelRun();

    bool exportCsv(const QString &path, QString *why) const;
    bool exportJson(const QString &path, QString *why) const;

    // What runs here, for the single-gateway flows' refusal; empty when idle.
    QString busyText() const;
    QString stateText() const;
    // The last operation's outcome per gateway (row of gateways()).
    struct Outcome
    {
        int result = SiteJob::NotRun;
        QString why;
    };
    QMap<int, Outcome> outcomes() const { return m_outcomes; }

signals:
    // An operation (or refresh) has ended.
    void operationFinished();

private:
    void buildUi();
    void connectJob(SiteJob *job, const QString &operation);
    void loadSite();
    void saveList();
    void showRows();
    void showRow(int row);
    void updateActions();
    void setState(const QString &text);
    // Checks that hold for every SSH operation; false after a box.
    bool mayStart(const QVector<int> &rows, bool needsTftp);
    // The keys of rows not pinned yet are confirmed in one question first.
    void withKeys(const QVector<int> &rows, std::function<void()> go);
    void startUpgrade(const QVector<int> &rows, bool retry);
    void beginResults(const QString &operation, const QVector<int> &rows, bool keep);
    void setOutcome(int row, int result, const QString &why);
    void exportAsk(bool json);
    bool writeFile(const QString &path, const QByteArray &bytes, QString *why) const;

    Links m_links;
    SiteEnv m_env;
    SiteStore *m_store;
    QString m_site;
    QVector<SiteGateway> m_rows;
    QMap<int, Outcome> m_outcomes;
    QString m_operation;
    QString m_busy;

    SiteInventory *m_inventory;
    SiteBackupJob *m_backup;
    SiteRestoreJob *m_restore;
    SiteBatchUpgrade *m_batch;
    SiteKeyCheck *m_keys;
    bool m_checkingKeys = false;
    std::function<void()> m_afterKeys;  // the operation waiting for the key question

    QComboBox *m_siteCombo;
    QLineEdit *m_folderEdit;
    QLineEdit *m_addressEdit;
    QTableWidget *m_table;
    QTableWidget *m_results;
    ElidedLabel *m_state;
    QCheckBox *m_stopOnFailure;
    QPushButton *m_newSiteBtn, *m_addBtn, *m_removeBtn, *m_refreshAllBtn, *m_refreshBtn, *m_csvBtn, *m_jsonBtn, *m_folderBtn;
    QPushButton *m_backupBtn, *m_restoreBtn, *m_upgradeBtn, *m_retryBtn, *m_cancelBtn;
};

#endif // SITETAB_H

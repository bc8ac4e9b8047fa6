#ifndef SITEBACKUPJOB_H
#define SITEBACKUPJOB_H

// Backup and restore of the site's gateways.
//
// Backup: for each gateway, which of map.json, vrvC.json, mbacl.json and
// ver.txt it has (with their MD5 on the gateway), then each present file
// pushed by the gateway's tftp into the TFTP root, checked against that MD5
// and moved into a folder of its own below the site folder, with the
// manifest. A file the gateway does not have is recorded as absent.
//
// Restore: a backup's configuration files (not ver.txt, which belongs to the
// installed busrelay) through the single-gateway install flows, each checked
// by its MD5 on the gateway, then the checked restart of busrelay. The TFTP
// root's own <key>-<file> of the single-gateway tabs is held aside under a
// time-stamped name meanwhile and put back afterwards.

#include "siteflows.h"
#include "sitejob.h"

class SiteBackupJob : public SiteJob
{
    Q_OBJECT
public:
    using SiteJob::SiteJob;
    void start(const QVector<SiteGateway> &gateways, const QVector<int> &rows, const QString &siteFolder);

signals:
    void backedUp(int row, QString folder);

protected:
    void work(int row) override;

private:
    QString m_siteFolder;
};

class SiteRestoreJob : public SiteJob
{
    Q_OBJECT
public:
    using SiteJob::SiteJob;
    // False with why when the backup is damaged (nothing starts then).
    bool start(const QVector<SiteGateway> &gateways, int row, const SiteBackup::Manifest &backup, QString *why);

protected:
    void work(int row) override;

private:
    void installNext();
    void putBack();

    SiteBackup::Manifest m_backup;
    QStringList m_todo;
    QStringList m_installed;
    QString m_placed;  // the copy in the TFTP root the running flow sends
    QString m_held;    // the single-gateway tabs' file of that name, held aside
    int m_row = -1;
};

#endif // SITEBACKUPJOB_H

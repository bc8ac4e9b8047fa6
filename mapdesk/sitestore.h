#ifndef SITESTORE_H
#define SITESTORE_H

// The sites the 站点 tab remembers, in the tool's settings file (beside the
// pinned host keys): per site its name, its backup folder and its gateways
// (address, device key, serial number, typed in or found). Array "sites"
// (sites/1/name, sites/1/folder, sites/1/gateways/1/ip, ...) and "siteCurrent".

#include <QString>
#include <QStringList>
#include <QVector>

#include "sitegateway.h"

class QSettings;

class SiteStore
{
public:
    // settings null: the tool's own settings file. Not owned.
    explicit SiteStore(QSettings *settings = nullptr);
    ~SiteStore();
    SiteStore(const SiteStore &) = delete;
    SiteStore &operator=(const SiteStore &) = delete;

    QStringList names() const;
    QString current() const;
    void setCurrent(const QString &name);
    // Who each gateway is; what was read from it is not kept.
    QVector<SiteGateway> gateways(const QString &site) const;
    void setGateways(const QString &site, const QVector<SiteGateway> &gateways);
    // Where the site's backups go; a folder of its own by default.
    QString folder(const QString &site) const;
    void setFolder(const QString &site, const QString &path);
    static QString defaultFolder(const QString &site);
    // Empty when name can be a site's name; else why not.
    static QString nameProblem(const QString &name);

private:
    struct Site
    {
        QString name;
        QString folder;
        QVector<SiteGateway> gateways;
    };
    QVector<Site> load() const;
    void save(const QVector<Site> &sites);
    Site &find(QVector<Site> &sites, const QString &name);

    QSettings *m_settings;
    bool m_own;
};

#endif // SITESTORE_H

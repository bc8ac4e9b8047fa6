#include "sitestore.h"

#include "hostkeystore.h"
#include "utf8text.h"

#include <QDir>
#include <QSettings>
#include <QStandardPaths>

SiteStore::SiteStore(QSettings *settings)
    : m_settings(settings ? settings : QSsh::HostKeyStore::toolSettings()), m_own(settings == nullptr)
{
}

SiteStore::~SiteStore()
{
    if (m_own)
        delete m_settings;
}

QVector<SiteStore::Site> SiteStore::load() const
{
    QVector<Site> sites;
    const int n = m_settings->beginReadArray("sites");
    for (int i = 0; i < n; ++i) {
        m_settings->setArrayIndex(i);
        Site s;
        s.name = m_settings->value("name").toString();
        s.folder = m_settings->value("folder").toString();
        const int m = m_settings->beginReadArray("gateways");
        for (int j = 0; j < m; ++j) {
            m_settings->setArrayIndex(j);
            SiteGateway g;
            g.ip = m_settings->value("ip").toString();
            g.deviceKey = m_settings->value("deviceKey").toString();
            g.serial = m_settings->value("serial").toString();
            g.typed = m_settings->value("typed").toBool();
            if (!g.ip.isEmpty())
                s.gateways.append(g);
        }
        m_settings->endArray();
        if (!s.name.isEmpty())
            sites.append(s);
    }
    m_settings->endArray();
    return sites;
}

void SiteStore::save(const QVector<Site> &sites)
{
    m_settings->remove("sites");
    m_settings->beginWriteArray("sites", sites.size());
    for (int i = 0; i < sites.size(); ++i) {
        m_settings->setArrayIndex(i);
        m_settings->setValue("name", sites[i].name);
        m_settings->setValue("folder", sites[i].folder);
        m_settings->beginWriteArray("gateways", sites[i].gateways.size());
        for (int j = 0; j < sites[i].gateways.size(); ++j) {
            const SiteGateway &g = sites[i].gateways[j];
            m_settings->setArrayIndex(j);
            m_settings->setValue("ip", g.ip);
            m_settings->setValue("deviceKey", g.deviceKey);
            m_settings->setValue("serial", g.serial);
            m_settings->setValue("typed", g.typed);
        }
        m_settings->endArray();
    }
    m_settings->endArray();
    m_settings->sync();
}

SiteStore::Site &SiteStore::find(QVector<Site> &sites, const QString &name)
{
    for (Site &s : sites)
        if (s.name == name)
            return s;
    sites.append(Site{name, QString(), {}});
    return sites.last();
}

QStringList SiteStore::names() const
{
    QStringList out;
    for (const Site &s : load())
        out << s.name;
    return out;
}

QString SiteStore::current() const
{
    return m_settings->value("siteCurrent").toString();
}

void SiteStore::setCurrent(const QString &name)
{
    QVector<Site> sites = load();
    find(sites, name);
    save(sites);
    m_settings->setValue("siteCurrent", name);
    m_settings->sync();
}

QVector<SiteGateway> SiteStore::gateways(const QString &site) const
{
    for (const Site &s : load())
        if (s.name == site)
            return s.gateways;
    return {};
}

void SiteStore::setGateways(const QString &site, const QVector<SiteGateway> &gateways)
{
    QVector<Site> sites = load();
    find(sites, site).gateways = gateways;
    save(sites);
}

QString SiteStore::folder(const QString &site) const
{
    for (const Site &s : load())
        if (s.name == site && !s.folder.isEmpty())
            return s.folder;
    return defaultFolder(site);
}

void SiteStore::setFolder(const QString &site, const QString &path)
{
    QVector<Site> sites = load();
    find(sites, site).folder = path;
    save(sites);
}

QString SiteStore::defaultFolder(const QString &site)
{
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) + u("/mapdesk/站点/") + site;
}

QString SiteStore::nameProblem(const QString &name)
{
    if (name.trimmed().isEmpty())
        return u("站点名称不能为空");
    // The name is also the default backup folder's name.
    static const QString bad = QStringLiteral("/\\:*?\"<>|");
    for (const QChar c : name)
        if (bad.contains(c) || c.unicode() < 0x20)
            return u("站点名称不能包含 / \\ : * ? \" < > | 等字符");
    return QString();
}

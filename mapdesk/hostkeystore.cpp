#include "hostkeystore.h"

#include <QSettings>

namespace QSsh {

namespace {
// QSettings treats '/' and '\' in keys as groups: keep the id one key.
QString settingsKey(const QString &gatewayId)
{
    QString id = gatewayId;
    id.replace('/', '_').replace('\\', '_');
    return QStringLiteral("sshHostKeys/") + id;
}
}

HostKeyStore::HostKeyStore(QSettings *settings)
    : m_settings(settings ? settings : toolSettings()), m_own(settings == nullptr)
{
}

QSettings *HostKeyStore::toolSettings()
{
    return new QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("mapdesk"),
                         QStringLiteral("mapdesk"));
}

HostKeyStore::~HostKeyStore()
{
    if (m_own)
        delete m_settings;
}

QString HostKeyStore::gatewayId(const QString &serial, const QString &deviceKey)
{
    return serial.trimmed() + QLatin1Char('-') + deviceKey.trimmed();
}

QString HostKeyStore::pinned(const QString &gatewayId) const
{
    return m_settings->value(settingsKey(gatewayId)).toString();
}

void HostKeyStore::pin(const QString &gatewayId, const QString &fingerprint)
{
    m_settings->setValue(settingsKey(gatewayId), fingerprint);
    m_settings->sync();
}

void HostKeyStore::forget(const QString &gatewayId)
{
    m_settings->remove(settingsKey(gatewayId));
    m_settings->sync();
}

} // namespace QSsh

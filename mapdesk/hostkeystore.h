#ifndef HOSTKEYSTORE_H
#define HOSTKEYSTORE_H

// Gateway SSH host keys pinned on first use. Each gateway is known by its
// serial number and device key (an address changes hands between sites; a
// gateway does not), and the key is kept as its SHA-256 fingerprint
// ("SHA256:..." as OpenSSH prints it) in the tool's settings.

#include <QString>

class QSettings;

namespace QSsh {

class HostKeyStore
{
public:
    // settings null: the tool's own settings file (toolSettings()). Not owned.
    explicit HostKeyStore(QSettings *settings = nullptr);
    // The tool's settings: an INI file the engineer can find and read
    // (%APPDATA%\mapdesk\mapdesk.ini on Windows, ~/.config/mapdesk/mapdesk.ini).
    static QSettings *toolSettings();
    ~HostKeyStore();

    static QString gatewayId(const QString &serial, const QString &deviceKey);

    // The pinned fingerprint, empty when this gateway has none yet.
    QString pinned(const QString &gatewayId) const;
    // Pins (or deliberately replaces) the gateway's key.
    void pin(const QString &gatewayId, const QString &fingerprint);
    void forget(const QString &gatewayId);

private:
    QSettings *m_settings;
    bool m_own;
};

} // namespace QSsh

#endif // HOSTKEYSTORE_H

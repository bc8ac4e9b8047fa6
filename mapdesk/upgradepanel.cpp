#include "upgradepanel.h"

#include "dialogseam.h"
#include "remoteactions.h"
#include "upgradepackage.h"
#include "utf8text.h"

#include <QDebug>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTextStream>
#include <QTimer>

UpgradePanel::UpgradePanel(const Widgets (&programs)[UpgradeRules::Count], RemoteActions *actions,
                           std::function<QString()> root, QWidget *dialogParent, QObject *parent)
    : QObject(parent)
    , m_actions(actions)
    , m_root(std::move(root))
    , m_dialogParent(dialogParent)
    , m_rootCheck(new QTimer(this))
{
    for (int p = 0; p < UpgradeRules::Count; ++p)
        m_w[p] = programs[p];
    m_rootCheck->setSingleShot(true);
    connect(m_rootCheck, &QTimer::timeout, this, [this]() { checkPackages(); });
}

QLabel *UpgradePanel::versionLabel(int program, bool package) const
{
    return package ? m_w[program].packageVersion : m_w[program].currentVersion;
}

void UpgradePanel::rootEdited()
{
    m_rootCheck->start(kRootCheckDelayMs);
}

void UpgradePanel::checkPackages(bool quiet)
{
    m_rootCheck->stop();
    const QString root = m_root();
    const auto warnPkg = [this, quiet](QLabel *label, const QString &text) {
        if (quiet) {
            label->setText(text.section("\r\n", 0, 0));
            label->setToolTip(text);
        } else {
            DialogSeam::warning(m_dialogParent, "warn", text);
        }
    };
    for (int p = 0; p < UpgradeRules::Count; ++p) {
        m_w[p].packageVersion->setToolTip(QString());
        m_w[p].packageVersion->setText(u(UpgradeRules::rule(p).noVersion));
        m_w[p].upgradeButton->setEnabled(false);
    }
    for (int p = 0; p < UpgradeRules::Count; ++p) {
        const UpgradeRule &rule = UpgradeRules::rule(p);
        const UpgradePackage pkg = UpgradePackage::check(root, rule.versionFile, rule.packageFile);
        if (!pkg.versionFileRead) {
            warnPkg(m_w[p].packageVersion, u(rule.packageMissing).arg(root));
            continue;
        }
        const QString name = QString::fromLatin1(rule.logName);
        qDebug().noquote() << name + " md5=" + pkg.digestInFile + " in " + rule.versionFile;
        qDebug().noquote() << name + " md5=" + pkg.digestComputed + " for " + rule.packageFile;
        if (pkg.matches()) {
            m_w[p].packageVersion->setText(pkg.version);
            m_w[p].upgradeButton->setEnabled(true);
        } else {
            warnPkg(m_w[p].packageVersion, u(rule.digestWrong).arg(root));
        }
    }
}

void UpgradePanel::upgrade(int program)
{
    m_actions->upgrade(program, m_w[program].packageVersion->text(), m_w[program].currentVersion->text(),
                       [this]() { checkPackages(); });
}

void UpgradePanel::getRelayVersion()
{
    if (m_actions->refuseWhileBusy())
        return;
    m_w[UpgradeRules::Relay].currentVersion->setText(" ");
    m_actions->getRelayVersion();
}

void UpgradePanel::relayVersionFetched(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) {
        DialogSeam::warning(m_dialogParent, "warning", u("解析modbus服务版本失败1!"));
        return;
    }
    const QString line = QTextStream(&f).readLine();
    qDebug().noquote() << "modbus mbVer=" + line;
    m_w[UpgradeRules::Relay].currentVersion->setText(line);
}

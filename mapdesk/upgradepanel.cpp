#include "upgradepanel.h"

#include "dialogseam.h"
#include "relaypackage.h"
#include "remoteactions.h"
#include "remoteflows.h"
#include "upgradepackage.h"
#include "utf8text.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTextStream>
#include <QTabWidget>
#include <QTimer>

UpgradePanel::UpgradePanel(const Widgets (&programs)[UpgradeRules::Count], RemoteActions *actions,
                           std::function<QString()> root, QWidget *dialogParent, QObject *parent)
    : QObject(parent)
    , m_actions(actions)
    , m_runner(actions->runner())
    , m_root(std::move(root))
    , m_dialogParent(dialogParent)
    , m_rootCheck(new QTimer(this))
{
    for (int p = 0; p < UpgradeRules::Count; ++p) {
        m_w[p] = programs[p];
        // A list of what is wrong with a package stays inside the tab.
        m_w[p].packageVersion->setWordWrap(true);
    }
    m_rootCheck->setSingleShot(true);
    connect(m_rootCheck, &QTimer::timeout, this, [this]() { checkPackages(); });
    connect(m_runner, &RemoteFlowRunner::finished, this, &UpgradePanel::flowFinished);
}

void UpgradePanel::attachTab(QTabWidget *tabs, QWidget *tab, QPushButton *rescan, QLabel *rootLabel)
{
    connect(tabs, &QTabWidget::currentChanged, this, [this, tabs, tab](int index) {
        if (tabs->widget(index) == tab)
            checkPackages(true);
    });
    connect(rescan, &QPushButton::clicked, this, [this]() { checkPackages(true); });
    connect(this, &UpgradePanel::packagesChecked, rootLabel, [rootLabel](const QString &root) {
        rootLabel->setText(u("升级包目录(TFTP根目录): ") + QDir::toNativeSeparators(root));
    });
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
    for (int p = 0; p < UpgradeRules::Count; ++p) {
        const QString why = checkPackage(p, root);
        if (why.isEmpty() || quiet)
            continue;
        m_w[p].packageVersion->setText(u(UpgradeRules::rule(p).noVersion));
        DialogSeam::warning(m_dialogParent, "warn", why);
    }
    emit packagesChecked(root);
}

UpgradePanel::Reading UpgradePanel::readPackage(int p, const QString &root)
{
    const UpgradeRule &rule = UpgradeRules::rule(p);
    Reading r;
    const auto refuse = [&r](const QString &shown, const QString &text) {
        r.shown = shown;
        r.refusal = text;
        return r;
    };
    const UpgradePackage pkg = UpgradePackage::check(root, rule.versionFile, rule.packageFile);
    if (!pkg.versionFileRead) {
        const QString text = u(rule.packageMissing).arg(root);
        return refuse(text.section("\r\n", 0, 0), text);
    }
    const QString name = QString::fromLatin1(rule.logName);
    qDebug().noquote() << name + " md5=" + pkg.digestInFile + " in " + rule.versionFile;
    qDebug().noquote() << name + " md5=" + pkg.digestComputed + " for " + rule.packageFile;
    if (!pkg.matches()) {
        const QString text = u(rule.digestWrong).arg(root);
        return refuse(text.section("\r\n", 0, 0), text);
    }
    if (rule.zipPackage) {
        const QStringList problems = RelayPackage::problems(QDir(root).filePath(rule.packageFile), pkg.version,
                                                            UpgradeRules::platformOf(rule, pkg.version));
        if (!problems.isEmpty())
            return refuse(u("modbus升级包") + pkg.version + u("内容有误, 无法升级modbus服务: ") + problems.join("; "),
                          u("modbus升级包内容有误，请检查修正") + root + u("/modbus.zip\n") + problems.join("\n"));
    }
    r.version = pkg.version;
    r.shown = pkg.version;
    return r;
}

QString UpgradePanel::checkPackage(int p, const QString &root)
{
    const Reading r = readPackage(p, root);
    QLabel *label = m_w[p].packageVersion;
    label->setText(r.shown);
    label->setToolTip(r.refusal);
    m_w[p].upgradeButton->setEnabled(r.refusal.isEmpty());
    return r.refusal;
}

void UpgradePanel::upgrade(int program)
{
    const QString target = m_w[program].packageVersion->text();
    // Read again before asking and before sending: the root may have changed since the scan.
    const auto packageRefusal = [this, program, target]() {
        QString why = checkPackage(program, m_root());
        const QString now = m_w[program].packageVersion->text();
        if (why.isEmpty() && now != target)
            why = u("升级包已更换为") + now + u(", 请重新确认后再升级");
        return why;
    };
    m_actions->upgrade(program, target, m_w[program].currentVersion->text(), packageRefusal);
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

void UpgradePanel::refreshVersions()
{
    if (m_refreshGateway)
        m_refreshGateway();
    // Unknown rather than stale when it cannot be read.
    m_w[UpgradeRules::Relay].currentVersion->setText(" ");
    m_actions->refreshRelayVersion();
}

void UpgradePanel::flowFinished(int code, bool ok)
{
    if (code == RemoteFlows::RefreshRelayVersion) {
        const QString ver = m_runner->facts().value("VER");
        m_w[UpgradeRules::Relay].currentVersion->setText(ok && !ver.isEmpty() ? ver : " ");
        return;
    }
    // After the flow's own result (its box comes next): the versions may have changed either way.
    if (code == RemoteFlows::UpgradeGateway || code == RemoteFlows::UpgradeRelay)
        QTimer::singleShot(0, this, &UpgradePanel::refreshVersions);
}

#ifndef UPGRADERULES_H
#define UPGRADERULES_H

// What an upgrade of the gateway program or of busrelay must satisfy before
// it is sent: the package in the TFTP root, the platform named in both
// version texts, a version that differs. One row per program.

#include <QString>
#include <QVector>

struct UpgradeRule
{
    struct Platform
    {
        const char *marker;    // in the version text
        const char *mismatch;  // refusal when the running program lacks it
    };

    int flowCode;             // RemoteFlows::Code
    const char *versionFile;  // in the TFTP root: version, MD5
    const char *packageFile;
    const char *logName;      // in the digest debug lines
    QVector<Platform> platforms;
    // Gateway program: the running version must be known (fetched by 7F).
    // busrelay: without a known version any platform goes (a first installation).
    bool currentRequired;
    const char *noPackage;    // %1: the TFTP root
    const char *noCurrent;
    const char *sameVersion;
    const char *confirmTitle;
    const char *confirmText;  // {current}, {target}
    const char *noVersion;    // the target label without a package
    const char *packageMissing;  // %1: the TFTP root
    const char *digestWrong;     // %1: the TFTP root
};

namespace UpgradeRules {
enum Program { Gateway = 0, Relay = 1, Count = 2 };

const UpgradeRule &rule(int program);
// The refusal text, or empty: before the SSH link is checked, and after it.
QString refusalBeforeLink(const UpgradeRule &rule, const QString &target, const QString &current,
                          const QString &root);
QString refusalAfterLink(const UpgradeRule &rule, const QString &target, const QString &current);
QString confirmText(const UpgradeRule &rule, const QString &current, const QString &target);
} // namespace UpgradeRules

#endif // UPGRADERULES_H

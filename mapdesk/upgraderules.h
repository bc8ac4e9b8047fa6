#ifndef UPGRADERULES_H
#define UPGRADERULES_H

// What an upgrade of the gateway program or of busrelay must satisfy before
// it is sent: the package in the TFTP root, the platform named in both
// version texts, a version that differs (or, for busrelay, a deliberate
// reinstall of the same one), and how the engineer is asked. One row per
// program.

#include <QString>
#include <QVector>

struct UpgradeRule
{
    struct Platform
    {
        const char *marker;    // in the version text
        const char *mismatch;  // refusal when the running program lacks it
        const char *name;      // as the texts call the platform
        // The program in a zip package: ELF class (1: 32-bit) and e_machine (40: ARM); 0: not checked.
        int elfClass;
        int elfMachine;
    };

    int flowCode;             // RemoteFlows::Code
    const char *versionFile;  // in the TFTP root: version, MD5
    const char *packageFile;
    const char *logName;      // in the digest debug lines
    QVector<Platform> platforms;
    // Gateway program: the running version must be known (fetched by 7F).
    // busrelay: without a known version any platform goes (a first installation).
    bool currentRequired;
    // busrelay: the package is a zip whose contents the install needs, and
    // the same version may be installed again (a damaged install).
    bool zipPackage;
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
// compareVersions() when the two cannot be ordered.
const int kUnordered = 2;

const UpgradeRule &rule(int program);
// The refusal text, or empty: before the SSH link is checked, and after it.
QString refusalBeforeLink(const UpgradeRule &rule, const QString &target, const QString &current,
                          const QString &root);
QString refusalAfterLink(const UpgradeRule &rule, const QString &target, const QString &current);
QString confirmText(const UpgradeRule &rule, const QString &current, const QString &target);

// The platform a version text names, or null.
const UpgradeRule::Platform *platformOf(const UpgradeRule &rule, const QString &version);
// -1 target older than current (a downgrade), 0 same number, 1 newer; kUnordered
// when either lacks a number or date after the same platform name.
int compareVersions(const UpgradeRule &rule, const QString &target, const QString &current);
// busrelay's package version is already installed: the question offers a reinstall.
bool isReinstall(const UpgradeRule &rule, const QString &target, const QString &current);

struct Question
{
    QString title;
    QString text;
    QString okText;
    bool cautious = false;  // No is the default answer
};
// What the engineer is asked before the package is sent.
Question confirmation(const UpgradeRule &rule, const QString &current, const QString &target);
} // namespace UpgradeRules

#endif // UPGRADERULES_H

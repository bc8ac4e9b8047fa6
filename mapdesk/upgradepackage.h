#ifndef UPGRADEPACKAGE_H
#define UPGRADEPACKAGE_H

// An upgrade package in the TFTP root and its version file: line 1 is the
// package's version, line 2 the package's MD5 as 32 hex digits.

#include <QString>

struct UpgradePackage
{
    bool versionFileRead = false;
    QString version;         // line 1
    QString digestInFile;    // line 2
    QString digestComputed;  // of the package file; empty when unreadable

    // Any case: Windows' Get-FileHash prints upper-case hex. A package that
    // cannot be read never matches, even against an empty digest line.
    bool matches() const
    {
        return versionFileRead && !digestComputed.isEmpty()
               && digestInFile.trimmed().compare(digestComputed, Qt::CaseInsensitive) == 0;
    }

    static UpgradePackage check(const QString &root, const QString &versionFile,
                                const QString &packageFile);
    // MD5 of the whole file as lower-case hex; empty when it cannot be read.
    static QString fileMd5(const QString &path);
};

#endif // UPGRADEPACKAGE_H

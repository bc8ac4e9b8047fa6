#include "upgradepackage.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTextStream>

QString UpgradePackage::fileMd5(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash md5(QCryptographicHash::Md5);
    if (!md5.addData(&f))  // reads in chunks: packages are megabytes
        return QString();
    return QString::fromLatin1(md5.result().toHex());
}

UpgradePackage UpgradePackage::check(const QString &root, const QString &versionFile,
                                     const QString &packageFile)
{
    UpgradePackage p;
    const QDir dir(root);
    QFile f(dir.filePath(versionFile));
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return p;
    p.versionFileRead = true;
    QTextStream in(&f);
    p.version = in.readLine();
    p.digestInFile = in.readLine();
    p.digestComputed = fileMd5(dir.filePath(packageFile));
    return p;
}

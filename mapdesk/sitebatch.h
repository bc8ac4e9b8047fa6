#ifndef SITEBATCH_H
#define SITEBATCH_H

// busrelay upgraded on several gateways from one package, one gateway after
// another, each through the single upgrade's checked flow (the package's MD5,
// platform and contents, the version read back, the service running). One
// at a time because the TFTP server serves one transfer at a time from one
// port and its reports name only the file (two gateways pulling modbus.zip at
// once could not be told apart), and because the engineer must be able to
// follow each gateway and stop before a bad package reaches the next one.
//
// Before each gateway the package is read again (it must still be the one
// the batch started with) and the gateway's busrelay version is read over
// its shell: the same version is skipped, another platform or an older
// version (a downgrade is done one gateway at a time on the 程序升级 tab) is
// refused. A failure stops the batch or not, as the engineer chose.

#include "sitejob.h"

class SiteBatchUpgrade : public SiteJob
{
    Q_OBJECT
public:
    using SiteJob::SiteJob;
    // target, packageMd5: the package as checked before the start.
    void start(const QVector<SiteGateway> &gateways, const QVector<int> &rows, const QString &target,
               const QString &packageMd5, bool stopOnFailure);

protected:
    void work(int row) override;

private:
    void failed(int row, const QString &why);

    QString m_target;
    QString m_md5;
    bool m_stopOnFailure = true;
};

#endif // SITEBATCH_H

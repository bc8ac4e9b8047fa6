#ifndef SITEFLOWS_H
#define SITEFLOWS_H

// The remote flows that only the 站点 tab runs, as plans for the same flow
// runner (each command ends with its status marker): what the inventory
// reads over SSH (ver.txt, the MD5 of the configuration files, map.json's
// units) and the backup's two flows (which files the gateway has, with their
// MD5; then each present file pushed into the TFTP root and checked against
// that MD5). Also the backup folder on the PC: one folder per gateway serial
// and time stamp, the files byte for byte, and manifest.json saying which
// files the gateway had.

#include <QDateTime>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

#include "remoteflows.h"
#include "sitegateway.h"

namespace SiteFlows {
enum Code { ReadFacts = 101, ListBackupFiles = 102, FetchBackupFiles = 103 };

// The files a backup holds, as they lie in /gateway/modbus.
QStringList backupFiles();

struct Facts
{
    QString verTxt;              // its first line; empty when absent
    QMap<QString, QString> md5;  // per file; empty: absent
    bool mapPresent = false;
    QByteArray mapText;
    QVector<int> mappedUnits;    // 1-247, from map.json
    QString mapProblem;          // map.json present but not readable as a map
};

// Parsing of the commands' output, apart for tests.
QMap<QString, QString> parseFileList(const QString &out, const QStringList &files, QString *why);
void parseFacts(const QString &out, Facts *facts);

// Fills *facts when it succeeds.
FlowPlan facts(std::shared_ptr<Facts> facts);
// Fills *md5 (file -> MD5, empty for a file the gateway does not have).
FlowPlan listFiles(std::shared_ptr<QMap<QString, QString>> md5);
// present: file -> MD5 on the gateway; each arrives in the TFTP root as rootName().
FlowPlan fetchFiles(const SiteGateway &gateway, const QMap<QString, QString> &present, const FlowContext &ctx);
QString rootName(const SiteGateway &gateway, const QString &file);
} // namespace SiteFlows

namespace SiteBackup {
const char kManifest[] = "manifest.json";

struct File
{
    QString name;
    bool present = false;
    QString md5;
    qint64 size = -1;
};

struct Manifest
{
    QString folder;  // where it was read from
    QString deviceKey;
    QString serial;
    QString ip;
    QString stamp;  // yyyyMMddhhmmss
    QVector<File> files;

    const File *file(const QString &name) const;
    QString label() const;  // "gw7f0001 (序列号 ..., 20240101120000)"
};

QString folderName(const QString &serial, const QString &stamp);
QByteArray manifestJson(const Manifest &m);
// False with why when the folder holds no readable manifest.
bool read(const QString &folder, Manifest *out, QString *why);
// Every backup below siteFolder, newest first.
QVector<Manifest> list(const QString &siteFolder);
// Each present file is in the folder with its recorded MD5; else why not.
QString damage(const Manifest &m);
// The pushed files (in the TFTP root, by rootName()) moved into a new folder
// below siteFolder with the manifest; the folder appears whole or not at all.
bool store(const QString &siteFolder, const QString &tftpRoot, const SiteGateway &gateway,
           const QMap<QString, QString> &md5, const QDateTime &when, QString *folder, QString *why);
} // namespace SiteBackup

#endif // SITEFLOWS_H

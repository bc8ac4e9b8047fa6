#ifndef PACKAGEZIP_H
#define PACKAGEZIP_H

// busrelay upgrade packages for the tool's tests, written by Python's zipfile
// (tests/zipmaker.py) rather than by the tool: entries, an ELF header for the
// program, and the modbus.zip + mbver.txt pair in a TFTP root.

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>

namespace PackageZip {

struct Entry
{
    QString name;
    QByteArray data;
    bool stored = false;
    QString mode = "100755";  // Unix mode, octal; empty: made on Windows (no mode)
};

// The first 64 bytes of an ELF program: class 1/2 (32/64-bit), e_machine (40 ARM, 183 AArch64, 62 x86-64).
inline QByteArray elf(int elfClass, int machine)
{
    QByteArray h(64, '\0');
    h.replace(0, 4, "\x7f" "ELF");
    h[4] = char(elfClass);
    h[5] = 1;  // little-endian
    h[6] = 1;
    h[16] = 2;  // ET_EXEC
    h[18] = char(machine & 0xff);
    h[19] = char(machine >> 8);
    h[20] = 1;
    return h + QByteArray(2000, 'x');
}

// What the install needs, for version; the program built for 32-bit ARM unless given.
inline QList<Entry> installable(const QString &version, const QByteArray &program = elf(1, 40))
{
    return {{"modbus/", {}, true, "40755"},
            {"modbus/busrelay", program},
            {"modbus/relay_start.sh", "#!/bin/sh\ncd /gateway/modbus\nwhile true; do ./busrelay; sleep 1; done\n"},
            {"modbus/set_mb_autorun.sh", "#!/bin/sh\nexit 0\n", true},
            {"modbus/ver.txt", (version + "\n").toUtf8(), true, "100644"},
            {"modbus/descJson/switch3a.json", "{\"productKey\": \"switch3a\"}\n", false, "100644"}};
}

// extra: zipmaker's other keys (hide, local_name). False when python failed.
inline bool write(const QString &path, const QList<Entry> &entries, const QJsonObject &extra = QJsonObject())
{
    QJsonObject recipe = extra;
    QJsonArray list;
    for (const Entry &e : entries) {
        QJsonObject o{{"name", e.name}, {"data", QString::fromLatin1(e.data.toBase64())}, {"stored", e.stored}};
        if (e.mode.isEmpty())
            o["windows"] = true;
        else
            o["mode"] = e.mode;
        list.append(o);
    }
    recipe["entries"] = list;
    QFile::remove(path);
    QProcess py;
    py.setProcessChannelMode(QProcess::ForwardedChannels);
    py.start("/usr/bin/python3", {qEnvironmentVariable("SOURCE_DIR") + "/mapdesk/tests/zipmaker.py", path});
    py.write(QJsonDocument(recipe).toJson(QJsonDocument::Compact));
    py.closeWriteChannel();
    return py.waitForFinished(20000) && py.exitStatus() == QProcess::NormalExit && py.exitCode() == 0
           && QFile::exists(path);
}

// modbus.zip and a matching mbver.txt (version, lower-case MD5) in root.
inline bool writePair(const QString &root, const QString &version, const QList<Entry> &entries)
{
    if (!write(root + "/modbus.zip", entries))
        return false;
    QFile zip(root + "/modbus.zip"), ver(root + "/mbver.txt");
    if (!zip.open(QIODevice::ReadOnly) || !ver.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QByteArray md5 = QCryptographicHash::hash(zip.readAll(), QCryptographicHash::Md5).toHex();
    return ver.write((version + "\n").toUtf8() + md5 + "\n") > 0;
}

} // namespace PackageZip

#endif // PACKAGEZIP_H

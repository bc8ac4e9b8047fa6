#include "relaypackage.h"

#include "utf8text.h"
#include "ziparchive.h"

#include <QRegularExpression>

namespace {
const char kBinary[] = "modbus/busrelay";
const char kVersionFile[] = "modbus/ver.txt";
// The service's configuration beside it: an upgrade must keep the gateway's own.
const char *const kConfigFiles[] = {"modbus/map.json", "modbus/vrvC.json", "modbus/mbacl.json"};
const qint64 kMaxBinary = 32 << 20;
const qint64 kMaxScript = 1 << 20;
const int kNamesShown = 5;

// Lands under /gateway/modbus when unpacked in /gateway, as a file or folder.
bool staysInModbus(const ZipEntry &e)
{
    if (e.isSymlink())
        return false;
    const QString name = QString::fromUtf8(e.name);
    if (!name.startsWith("modbus/"))
        return false;
    for (const QString &part : name.split(QRegularExpression("[/\\\\]")))
        if (part == "..")
            return false;
    return true;
}

QString listed(const QStringList &names)
{
    QStringList shown = names.mid(0, kNamesShown);
    if (names.size() > kNamesShown)
        shown << u("等") + QString::number(names.size()) + u("项");
    return shown.join(u("、"));
}

quint16 le16(const QByteArray &d, int at)
{
    return quint16(uchar(d[at]) | (uchar(d[at + 1]) << 8));
}

// Why the program cannot run on the platform, or empty.
QString programProblem(const QByteArray &elf, const UpgradeRule::Platform *platform)
{
    if (elf.size() < 52 || !elf.startsWith("\x7f" "ELF"))
        return QString(kBinary) + u("不是Linux可执行程序(ELF)");
    const int cls = uchar(elf[4]), data = uchar(elf[5]);
    const int type = data == 1 ? le16(elf, 16) : (uchar(elf[16]) << 8) | uchar(elf[17]);
    const int machine = data == 1 ? le16(elf, 18) : (uchar(elf[18]) << 8) | uchar(elf[19]);
    if (type != 2 && type != 3)
        return QString(kBinary) + u("不是可执行程序(ELF类型") + QString::number(type) + ")";
    if (!platform || !platform->elfMachine)
        return QString();
    if (cls == platform->elfClass && data == 1 && machine == platform->elfMachine)
        return QString();
    return QString(kBinary) + u("为") + RelayPackage::machineName(cls, data, machine) + u("程序, 网关硬件平台(")
           + u(platform->name) + u(")需要") + RelayPackage::machineName(platform->elfClass, 1, platform->elfMachine)
           + u("程序");
}
} // namespace

namespace RelayPackage {

QStringList neededFiles()
{
    return {kBinary, "modbus/relay_start.sh", "modbus/set_mb_autorun.sh", kVersionFile};
}

QString machineName(int elfClass, int elfData, int machine)
{
    QString name;
    switch (machine) {
    case 40: name = u("ARM 32位"); break;
    case 183: name = "AArch64"; break;
    case 62: name = "x86-64"; break;
    case 3: name = "x86"; break;
    case 8: name = "MIPS"; break;
    default: name = "e_machine " + QString::number(machine); break;
    }
    if ((machine == 40 && elfClass != 1) || (machine == 183 && elfClass != 2))
        name += u("(ELF类别") + QString::number(elfClass) + ")";
    if (elfData != 1)
        name += u("(大端序)");
    return name;
}

QStringList problems(const QString &zipPath, const QString &version, const UpgradeRule::Platform *platform)
{
    ZipArchive zip;
    QString error;
    if (!zip.load(zipPath, &error))
        return {u("modbus.zip不是有效的zip文件: ") + error};

    QStringList out, outside, config;
    for (const ZipEntry &e : zip.entries()) {
        if (!staysInModbus(e))
            outside << QString::fromUtf8(e.name);
        for (const char *c : kConfigFiles)
            if (e.name == c)
                config << QString::fromUtf8(e.name);
    }
    if (!outside.isEmpty())
        out << u("modbus.zip含有会解压到/gateway/modbus之外的条目或符号链接: ") + listed(outside);
    if (!config.isEmpty())
        out << u("modbus.zip含有网关配置文件, 解压会覆盖网关中的配置: ") + listed(config);

    QStringList missing;
    for (const QString &need : neededFiles()) {
        const ZipEntry *e = zip.find(need.toUtf8());
        if (!e || !e->isRegularFile()) {
            missing << need;
            continue;
        }
        if (e->size == 0) {
            out << u("modbus.zip中的") + need + u("为空");
            continue;
        }
        QByteArray bytes;
        if (!zip.read(*e, need == kBinary ? kMaxBinary : kMaxScript, &bytes, &error)) {
            out << u("modbus.zip中的") + need + error;
            continue;
        }
        if (need == kBinary) {
            const QString why = programProblem(bytes, platform);
            if (!why.isEmpty())
                out << why;
        } else if (need == kVersionFile) {
            const QString inZip = QString::fromUtf8(bytes).section('\n', 0, 0).trimmed();
            if (inZip != version.trimmed())
                out << QString(kVersionFile) + u("的版本\"") + inZip + u("\"与mbver.txt的版本\"") + version.trimmed()
                           + u("\"不一致");
        }
    }
    if (!missing.isEmpty())
        out.prepend(u("modbus.zip中缺少") + missing.join(u("、")));
    return out;
}

} // namespace RelayPackage

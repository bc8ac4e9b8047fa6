#include "siteflows.h"

#include "mapjsonfile.h"
#include "upgradepackage.h"
#include "utf8text.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>

#include <algorithm>

namespace {
const char kDir[] = "/gateway/modbus/";

// One line per file: "__MDK_FILE <name> <md5>" or "__MDK_FILE <name> -".
QString md5Loop(const QStringList &files)
{
    return "for f in " + files.join(' ') + " ; do if [ -f " + kDir + "$f ] ; then echo __MDK_FILE $f $(md5sum < "
           + kDir + "$f) ; else echo __MDK_FILE $f - ; fi ; done \n";
}

QString safePart(const QString &s)
{
    QString out;
    for (const QChar c : s)
        out += c.isLetterOrNumber() && c.unicode() < 128 ? c : QChar('_');
    return out;
}
} // namespace

namespace SiteFlows {

QStringList backupFiles()
{
    return SiteGateway::configFiles() << "ver.txt";
}

QMap<QString, QString> parseFileList(const QString &out, const QStringList &files, QString *why)
{
    QMap<QString, QString> md5;
    static const QRegularExpression line("__MDK_FILE (\\S+) (\\S+)");
    auto it = line.globalMatch(out);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        const QString digest = m.captured(2);
        if (!files.contains(m.captured(1)))
            continue;
        if (digest == "-")
            md5[m.captured(1)] = QString();
        else if (QRegularExpression("^[0-9a-fA-F]{32}$").match(digest).hasMatch())
            md5[m.captured(1)] = digest.toLower();
    }
    QStringList missing;
    for (const QString &f : files)
        if (!md5.contains(f))
            missing << f;
    if (!missing.isEmpty() && why)
        *why = u("网关未报告") + missing.join(u("、")) + u("的MD5");
    return missing.isEmpty() ? md5 : QMap<QString, QString>();
}

void parseFacts(const QString &out, Facts *f)
{
    static const QRegularExpression ver("__MDK_VER=([^\\r\\n]*)");
    const QRegularExpressionMatch v = ver.match(out);
    f->verTxt = v.hasMatch() ? v.captured(1).trimmed() : QString();
    f->md5 = parseFileList(out, SiteGateway::configFiles(), nullptr);
    f->mapPresent = !f->md5.value("map.json").isEmpty();
    const int begin = out.indexOf("__MDK_MAPBEGIN");
    const int end = out.indexOf("__MDK_MAPEND");
    f->mappedUnits.clear();
    f->mapProblem.clear();
    if (!f->mapPresent || begin < 0 || end < begin)
        return;
    f->mapText = out.mid(begin + 14, end - begin - 14).trimmed().toUtf8();
    QVector<MapJsonFile::Node> nodes;
    if (MapJsonFile::parse(f->mapText, &nodes) != 0) {
        f->mapProblem = u("map.json无法解析");
        return;
    }
    QSet<int> units;
    for (const MapJsonFile::Node &n : nodes)
        if (n.mbId >= 1 && n.mbId <= 247)
            units.insert(n.mbId);
    f->mappedUnits = units.values().toVector();
    std::sort(f->mappedUnits.begin(), f->mappedUnits.end());
}

// A reading of one shell command that leaves the window free.
FlowPlan oneReading(int code, const QString &title, const QString &command, const QString &failText,
                    const FlowStep::Judge &judge)
{
    FlowPlan p;
    p.code = code;
    p.holdsWindow = false;
    FlowStep s;
    s.title = title;
    s.timeoutMs = 10000;
    s.command = command;
    s.judge = judge;
    p.steps << s;
    p.failText = failText;
    return p;
}

FlowPlan facts(std::shared_ptr<Facts> facts)
{
    const QString command = QString("echo __MDK_VER=$(head -n 1 %1ver.txt 2>/dev/null) \n").arg(kDir)
                            + md5Loop(SiteGateway::configFiles()) + "echo __MDK_MAPBEGIN ; [ -f " + kDir
                            + "map.json ] && cat " + kDir + "map.json ; echo ; echo __MDK_MAPEND \n";
    return oneReading(ReadFacts, u("读取ver.txt和配置文件的MD5"), command, u("读取网关配置文件信息失败!"),
                      [facts](const ShellResult &r, QString *why) {
        Facts f;
        parseFacts(r.out, &f);
        if (f.md5.isEmpty()) {
            *why = u("网关未报告配置文件的MD5");
            return FlowStep::Fail;
        }
        *facts = f;
        return FlowStep::Ok;
    });
}

FlowPlan listFiles(std::shared_ptr<QMap<QString, QString>> md5)
{
    return oneReading(ListBackupFiles, u("列出网关中的配置文件及其MD5"), md5Loop(backupFiles()),
                      u("列出网关配置文件失败!"), [md5](const ShellResult &r, QString *why) {
        const QMap<QString, QString> got = parseFileList(r.out, backupFiles(), why);
        if (got.isEmpty())
            return FlowStep::Fail;
        *md5 = got;
        return FlowStep::Ok;
    });
}

QString rootName(const SiteGateway &g, const QString &file)
{
    // Apart from the single-gateway tabs' <key>-<file> names in the same root.
    return "site-" + safePart(g.serial) + "-" + file;
}

FlowPlan fetchFiles(const SiteGateway &g, const QMap<QString, QString> &present, const FlowContext &c)
{
    FlowPlan p;
    p.code = FetchBackupFiles;
    p.holdsWindow = false;
    for (auto it = present.constBegin(); it != present.constEnd(); ++it) {
        if (it.value().isEmpty())
            continue;
        const QString file = it.key(), digest = it.value();
        const QString name = rootName(g, file);
        const QString local = c.tftpRoot + "/" + name;
        FlowStep s;
        s.command = "tftp -p -l " + QString(kDir) + file + " -r " + name + " " + c.localIp + " 5069\n";
        s.transfer = FlowStep::GatewayPushes;
        s.file = name;
        s.timeoutMs = 15000;
        s.title = u("网关经TFTP送回") + file;
        s.judge = [file, digest, local](const ShellResult &r, QString *why) {
            if (!r.transferred) {
                *why = u("网关未传送") + file;
                return FlowStep::Fail;
            }
            const QString got = UpgradePackage::fileMd5(local);
            if (got == digest)
                return FlowStep::Ok;
            *why = u("收到的") + file + u("的MD5为") + (got.isEmpty() ? u("(无法读取)") : got) + u(", 与网关中的 ")
                   + digest + u(" 不一致");
            return FlowStep::Fail;
        };
        p.steps << s;
    }
    p.failText = u("备份文件传送失败!");
    return p;
}

} // namespace SiteFlows

// ---------------------------------------------------------------- backup folder

namespace SiteBackup {

const File *Manifest::file(const QString &name) const
{
    for (const File &f : files)
        if (f.name == name)
            return &f;
    return nullptr;
}

QString Manifest::label() const
{
    return deviceKey + u(" (序列号 ") + serial + ", " + stamp + ")";
}

QString folderName(const QString &serial, const QString &stamp)
{
    return safePart(serial) + "-" + stamp;
}

QByteArray manifestJson(const Manifest &m)
{
    QJsonArray files;
    for (const File &f : m.files) {
        QJsonObject o{{"name", f.name}, {"present", f.present}};
        if (f.present) {
            o["md5"] = f.md5;
            o["size"] = double(f.size);
        }
        files.append(o);
    }
    const QJsonObject doc{{"gateway", QJsonObject{{"deviceKey", m.deviceKey}, {"serial", m.serial}, {"ip", m.ip}}},
                          {"time", m.stamp},
                          {"files", files}};
    return QJsonDocument(doc).toJson(QJsonDocument::Indented);
}

bool read(const QString &folder, Manifest *out, QString *why)
{
    QFile f(QDir(folder).filePath(kManifest));
    if (!f.open(QIODevice::ReadOnly)) {
        if (why)
            *why = u("找不到") + QDir::toNativeSeparators(f.fileName());
        return false;
    }
    const QJsonDocument doc = QJsonDocument::fromJson(f.read(1 << 20));
    const QJsonObject o = doc.object();
    const QJsonObject gw = o.value("gateway").toObject();
    Manifest m;
    m.folder = folder;
    m.deviceKey = gw.value("deviceKey").toString();
    m.serial = gw.value("serial").toString();
    m.ip = gw.value("ip").toString();
    m.stamp = o.value("time").toString();
    for (const QJsonValue &v : o.value("files").toArray()) {
        const QJsonObject fo = v.toObject();
        File file;
        file.name = fo.value("name").toString();
        file.present = fo.value("present").toBool();
        file.md5 = fo.value("md5").toString();
        file.size = qint64(fo.value("size").toDouble(-1));
        if (!file.name.isEmpty())
            m.files.append(file);
    }
    if (m.deviceKey.isEmpty() || m.serial.isEmpty() || m.files.isEmpty()) {
        if (why)
            *why = QDir::toNativeSeparators(f.fileName()) + u("不是站点备份的清单");
        return false;
    }
    *out = m;
    return true;
}

QVector<Manifest> list(const QString &siteFolder)
{
    QVector<Manifest> out;
    const QDir dir(siteFolder);
    for (const QString &sub : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        Manifest m;
        if (!sub.endsWith(".partial") && read(dir.filePath(sub), &m, nullptr))
            out.append(m);
    }
    std::sort(out.begin(), out.end(), [](const Manifest &a, const Manifest &b) { return a.stamp > b.stamp; });
    return out;
}

QString damage(const Manifest &m)
{
    for (const File &f : m.files) {
        if (!f.present)
            continue;
        const QString path = QDir(m.folder).filePath(f.name);
        const QString got = UpgradePackage::fileMd5(path);
        if (got.isEmpty())
            return u("备份中缺少") + f.name;
        if (got != f.md5)
            return u("备份中的") + f.name + u("已被修改(MD5为") + got + u(", 清单中为") + f.md5 + ")";
    }
    return QString();
}

bool store(const QString &siteFolder, const QString &tftpRoot, const SiteGateway &g,
           const QMap<QString, QString> &md5, const QDateTime &when, QString *folder, QString *why)
{
    const QDir root(tftpRoot);
    const QStringList files = SiteFlows::backupFiles();
    const auto dropPushed = [&]() {
        for (const QString &f : files)
            QFile::remove(root.filePath(SiteFlows::rootName(g, f)));
    };
    Manifest m;
    m.deviceKey = g.deviceKey;
    m.serial = g.serial;
    m.ip = g.ip;
    m.stamp = when.toString("yyyyMMddhhmmss");
    QString final = QDir(siteFolder).filePath(folderName(g.serial, m.stamp));
    for (int n = 2; QFileInfo::exists(final) && n < 100; ++n)
        final = QDir(siteFolder).filePath(folderName(g.serial, m.stamp) + "_" + QString::number(n));
    const QString partial = final + ".partial";
    QDir(partial).removeRecursively();
    if (!QDir().mkpath(partial)) {
        *why = u("无法创建") + QDir::toNativeSeparators(partial);
        dropPushed();
        return false;
    }
    const auto fail = [&](const QString &text) {
        *why = text;
        QDir(partial).removeRecursively();
        dropPushed();
        return false;
    };
    for (const QString &f : files) {
        File file;
        file.name = f;
        file.md5 = md5.value(f);
        file.present = !file.md5.isEmpty();
        if (file.present) {
            const QString src = root.filePath(SiteFlows::rootName(g, f)), dst = QDir(partial).filePath(f);
            if (!QFile::copy(src, dst))
                return fail(u("无法把") + f + u("存入") + QDir::toNativeSeparators(partial));
            if (UpgradePackage::fileMd5(dst) != file.md5)
                return fail(u("存入备份目录的") + f + u("与网关中的MD5不一致"));
            file.size = QFileInfo(dst).size();
        }
        m.files.append(file);
    }
    QSaveFile mf(QDir(partial).filePath(kManifest));
    if (!mf.open(QIODevice::WriteOnly) || mf.write(manifestJson(m)) < 0 || !mf.commit())
        return fail(u("无法写入备份清单") + QDir::toNativeSeparators(mf.fileName()));
    if (!QDir().rename(partial, final))
        return fail(u("无法把备份目录改名为") + QDir::toNativeSeparators(final));
    dropPushed();
    *folder = final;
    return true;
}

} // namespace SiteBackup

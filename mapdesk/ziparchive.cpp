#include "ziparchive.h"

#include "utf8text.h"

#include <QFile>
#include <QSet>

#include <algorithm>

#include <zlib.h>

namespace {
const quint32 kLocalSig = 0x04034b50;
const quint32 kCentralSig = 0x02014b50;
const quint32 kEndSig = 0x06054b50;
const quint32 kDescriptorSig = 0x08074b50;
const int kEndSize = 22;
const int kCentralSize = 46;
const int kLocalSize = 30;
const quint16 kEncrypted = 0x0001;
const quint16 kHasDescriptor = 0x0008;

quint16 le16(const QByteArray &d, qint64 at)
{
    const auto *p = reinterpret_cast<const uchar *>(d.constData()) + at;
    return quint16(p[0] | (p[1] << 8));
}

quint32 le32(const QByteArray &d, qint64 at)
{
    const auto *p = reinterpret_cast<const uchar *>(d.constData()) + at;
    return quint32(p[0]) | (quint32(p[1]) << 8) | (quint32(p[2]) << 16) | (quint32(p[3]) << 24);
}

bool failWith(QString *error, const QString &why)
{
    if (error)
        *error = why;
    return false;
}
} // namespace

bool ZipEntry::isRegularFile() const
{
    if (isDirectory() || isSymlink())
        return false;
    const quint32 type = unixMode & 0170000;
    return type == 0 || type == 0100000;
}

bool ZipArchive::load(const QString &path, QString *error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return failWith(error, u("无法读取: ") + f.errorString());
    if (f.size() > kMaxArchiveBytes)
        return failWith(error, u("文件过大(") + QString::number(f.size()) + u("字节)"));
    const QByteArray data = f.read(kMaxArchiveBytes + 1);
    if (data.size() > kMaxArchiveBytes)
        return failWith(error, u("文件过大"));
    return parse(data, error);
}

bool ZipArchive::parse(const QByteArray &data, QString *error)
{
    m_data.clear();
    m_entries.clear();
    const qint64 size = data.size();
    if (size < kEndSize || size > kMaxArchiveBytes)
        return failWith(error, u("不是zip文件"));

    // The end record is the last 22 bytes plus its comment; a comment must reach the file's end exactly.
    qint64 end = -1;
    for (qint64 at = size - kEndSize; at >= 0 && at >= size - kEndSize - 0xFFFF; --at) {
        if (le32(data, at) == kEndSig && at + kEndSize + le16(data, at + 20) == size) {
            end = at;
            break;
        }
    }
    if (end < 0)
        return failWith(error, u("找不到zip目录(文件不完整?)"));
    const quint16 disk = le16(data, end + 4), cdDisk = le16(data, end + 6);
    const quint16 onDisk = le16(data, end + 8), count = le16(data, end + 10);
    const quint32 cdSize = le32(data, end + 12), cdOffset = le32(data, end + 16);
    if (count == 0xFFFF || cdSize == 0xFFFFFFFF || cdOffset == 0xFFFFFFFF)
        return failWith(error, u("不支持zip64"));
    if (disk != 0 || cdDisk != 0 || onDisk != count)
        return failWith(error, u("不支持分卷zip"));
    if (count > kMaxEntries)
        return failWith(error, u("条目过多(") + QString::number(count) + ")");
    // Nothing may sit between the directory and its end record (a zip64 record would).
    if (qint64(cdOffset) + cdSize != end)
        return failWith(error, u("zip目录位置不符"));

    QVector<ZipEntry> entries;
    QSet<QByteArray> names;
    qint64 at = cdOffset;
    for (int i = 0; i < count; ++i) {
        if (at + kCentralSize > end || le32(data, at) != kCentralSig)
            return failWith(error, u("zip目录损坏"));
        ZipEntry e;
        const quint16 madeBy = le16(data, at + 4);
        e.flags = le16(data, at + 8);
        e.method = le16(data, at + 10);
        e.crc = le32(data, at + 16);
        e.compressedSize = le32(data, at + 20);
        e.size = le32(data, at + 24);
        const quint16 nameLen = le16(data, at + 28), extraLen = le16(data, at + 30), commentLen = le16(data, at + 32);
        const quint16 startDisk = le16(data, at + 34);
        const quint32 external = le32(data, at + 38);
        e.localOffset = le32(data, at + 42);
        if (at + kCentralSize + nameLen + extraLen + commentLen > end)
            return failWith(error, u("zip目录损坏"));
        e.name = data.mid(at + kCentralSize, nameLen);
        if (e.compressedSize == 0xFFFFFFFF || e.size == 0xFFFFFFFF || e.localOffset == 0xFFFFFFFF)
            return failWith(error, u("不支持zip64"));
        if (startDisk != 0)
            return failWith(error, u("不支持分卷zip"));
        if (e.name.isEmpty() || e.name.contains('\0'))
            return failWith(error, u("条目名称无效"));
        if (names.contains(e.name))
            return failWith(error, u("条目重复: ") + QString::fromUtf8(e.name));
        names.insert(e.name);
        if ((madeBy >> 8) == 3)  // Unix: mode in the high half
            e.unixMode = external >> 16;
        at += kCentralSize + nameLen + extraLen + commentLen;

        // The local header must say what the directory says: an extractor may read only that.
        const qint64 lo = e.localOffset;
        if (lo + kLocalSize > cdOffset || le32(data, lo) != kLocalSig)
            return failWith(error, u("条目") + QString::fromUtf8(e.name) + u("的本地文件头损坏"));
        const quint16 localFlags = le16(data, lo + 6), localMethod = le16(data, lo + 8);
        const quint16 localNameLen = le16(data, lo + 26), localExtraLen = le16(data, lo + 28);
        if (lo + kLocalSize + localNameLen + localExtraLen > cdOffset
            || data.mid(lo + kLocalSize, localNameLen) != e.name || localMethod != e.method
            || (localFlags & kHasDescriptor) != (e.flags & kHasDescriptor))
            return failWith(error, u("条目") + QString::fromUtf8(e.name) + u("的本地文件头与目录不一致"));
        if (!(localFlags & kHasDescriptor)
            && (le32(data, lo + 14) != e.crc || le32(data, lo + 18) != e.compressedSize
                || le32(data, lo + 22) != e.size))
            return failWith(error, u("条目") + QString::fromUtf8(e.name) + u("的本地文件头与目录不一致"));
        e.dataOffset = quint32(lo + kLocalSize + localNameLen + localExtraLen);
        if (qint64(e.dataOffset) + e.compressedSize > cdOffset)
            return failWith(error, u("条目") + QString::fromUtf8(e.name) + u("超出文件"));
        entries.append(e);
    }
    if (at != end)
        return failWith(error, u("zip目录损坏"));

    // The entries must tile the file up to the directory: no hidden entry between them.
    QVector<const ZipEntry *> byOffset;
    for (const ZipEntry &e : entries)
        byOffset.append(&e);
    std::sort(byOffset.begin(), byOffset.end(),
              [](const ZipEntry *a, const ZipEntry *b) { return a->localOffset < b->localOffset; });
    qint64 next = 0;
    for (const ZipEntry *e : byOffset) {
        if (e->localOffset != next)
            return failWith(error, u("zip中有目录未列出的数据或重叠的条目"));
        next = qint64(e->dataOffset) + e->compressedSize;
        if (e->flags & kHasDescriptor) {
            // crc, sizes, optionally after a signature
            const bool signature = next + 16 <= cdOffset && le32(data, next) == kDescriptorSig;
            const qint64 fields = signature ? next + 4 : next;
            if (fields + 12 > cdOffset || le32(data, fields) != e->crc || le32(data, fields + 4) != e->compressedSize
                || le32(data, fields + 8) != e->size)
                return failWith(error, u("条目") + QString::fromUtf8(e->name) + u("的数据描述符与目录不一致"));
            next = fields + 12;
        }
    }
    if (next != cdOffset)
        return failWith(error, u("zip中有目录未列出的数据"));

    m_data = data;
    m_entries = entries;
    return true;
}

const ZipEntry *ZipArchive::find(const QByteArray &name) const
{
    for (const ZipEntry &e : m_entries)
        if (e.name == name)
            return &e;
    return nullptr;
}

bool ZipArchive::read(const ZipEntry &e, qint64 maxSize, QByteArray *out, QString *error) const
{
    out->clear();
    if (e.flags & kEncrypted)
        return failWith(error, u("已加密"));
    if (e.size > maxSize)
        return failWith(error, u("过大(") + QString::number(e.size) + u("字节)"));
    const char *src = m_data.constData() + e.dataOffset;
    QByteArray buf;
    if (e.method == 0) {
        if (e.compressedSize != e.size)
            return failWith(error, u("已损坏(长度不符)"));
        buf = QByteArray(src, int(e.size));
    } else if (e.method == 8) {
        buf.resize(int(e.size));
        z_stream z{};
        if (inflateInit2(&z, -MAX_WBITS) != Z_OK)  // raw deflate, as zip stores it
            return failWith(error, u("无法解压"));
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(src));
        z.avail_in = e.compressedSize;
        // One spare byte: a stream longer than the declared size would fill it.
        char spare = 0;
        z.next_out = reinterpret_cast<Bytef *>(buf.data());
        z.avail_out = e.size;
        int rc = inflate(&z, Z_FINISH);
        if (rc == Z_BUF_ERROR && z.avail_out == 0) {
            z.next_out = reinterpret_cast<Bytef *>(&spare);
            z.avail_out = 1;
            rc = inflate(&z, Z_FINISH);
        }
        const bool whole = rc == Z_STREAM_END && z.total_out == e.size && z.avail_in == 0;
        inflateEnd(&z);
        if (!whole)
            return failWith(error, u("已损坏(解压失败)"));
    } else {
        return failWith(error, u("压缩方式") + QString::number(e.method) + u("不受支持"));
    }
    if (quint32(crc32(0L, reinterpret_cast<const Bytef *>(buf.constData()), uInt(buf.size()))) != e.crc)
        return failWith(error, u("已损坏(CRC校验错误)"));
    *out = buf;
    return true;
}

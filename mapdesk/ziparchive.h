#ifndef ZIPARCHIVE_H
#define ZIPARCHIVE_H

// A strict reader of a zip file held in memory: the central directory, and
// stored or deflated entries with their CRC. Made for checking an upgrade
// package before it is sent, so anything a sequential extractor (busybox
// unzip reads local headers one after another) could see differently from
// the directory is refused: gaps or overlaps between entries, a local header
// that disagrees with its directory entry, duplicate names, zip64, split or
// encrypted archives.

#include <QByteArray>
#include <QString>
#include <QVector>

struct ZipEntry
{
    QByteArray name;  // as stored
    quint16 flags = 0;
    quint16 method = 0;  // 0 stored, 8 deflated
    quint32 crc = 0;
    quint32 compressedSize = 0;
    quint32 size = 0;
    quint32 localOffset = 0;
    quint32 dataOffset = 0;
    // Unix file type and permissions when a Unix host made the entry, else 0.
    quint32 unixMode = 0;

    bool isDirectory() const { return name.endsWith('/'); }
    bool isSymlink() const { return (unixMode & 0170000) == 0120000; }
    bool isRegularFile() const;
};

class ZipArchive
{
public:
    // Bounds for a hostile file: upgrade packages are a few megabytes.
    static const qint64 kMaxArchiveBytes = 64 << 20;
    static const int kMaxEntries = 4096;

    // Reads the directory of data; false with *error on anything malformed.
    bool parse(const QByteArray &data, QString *error);
    // The file at path, at most kMaxArchiveBytes.
    bool load(const QString &path, QString *error);

    const QVector<ZipEntry> &entries() const { return m_entries; }
    const ZipEntry *find(const QByteArray &name) const;
    // The entry's contents, inflated and CRC-checked; refused above maxSize.
    bool read(const ZipEntry &entry, qint64 maxSize, QByteArray *out, QString *error) const;

private:
    QByteArray m_data;
    QVector<ZipEntry> m_entries;
};

#endif // ZIPARCHIVE_H

#ifndef ACLFILE_H
#define ACLFILE_H

// The Modbus port's client allow-list (mbacl.json), read and written the way
// the service on the gateway reads it. The service refuses a file it cannot
// use as a whole and then accepts every client, so the tool must refuse
// exactly what the service refuses: a list that looks fine here but is
// refused there would leave the port open without anyone noticing.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace AclFile {

const int kMaxEntries = 64;

struct Entry {
    quint32 network = 0;  // host byte order, host bits cleared
    quint32 mask = 0;
    int prefix = 32;
};

// "a.b.c.d" or "a.b.c.d/n" (n 0-32): four decimal parts without leading
// zeros, no spaces, no IPv6. why gets a short reason for the engineer.
bool parseEntry(const QString &text, Entry *out, QString *why = nullptr);
// "a.b.c.d" for /32, else "a.b.c.d/n".
QString entryText(const Entry &e);
// A valid entry whose address has bits set below its prefix ("10.0.0.7/24"):
// the service uses the network (10.0.0.0/24).
bool hostBitsSet(const QString &text);
// "10.0.0.0 - 10.0.0.255 (256个地址)".
QString rangeText(const Entry &e);
// A whole file as the service reads it: JSON with // and /* */ comments, an
// empty or blank text is an empty list. False with a reason when the service
// would refuse it; *entries is then left as it was. The entries come back as
// written in the file.
bool parse(const QByteArray &fileText, QStringList *entries, QString *error);
// {"allow": [...]} over several lines, UTF-8, with a trailing newline.
QByteArray serialize(const QStringList &entries);
// Whether a client at ipv4 ("a.b.c.d") gets in under this list as the service
// decides it: always for an empty list, and also for a list the service would
// refuse (bad entry, too many), since it then accepts everyone.
bool allows(const QStringList &entries, const QString &ipv4);

} // namespace AclFile

#endif // ACLFILE_H

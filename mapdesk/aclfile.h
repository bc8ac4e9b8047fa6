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
#include <QList>
#include <QVector>
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
// A key the service ignores (with a WARN): kept as written so that a fetch
// and an install never lose it.
struct OtherKey {
    QByteArray name;      // decoded
    QByteArray nameJson;  // as written, quotes and escapes included
    QByteArray valueJson; // as written
};

// What the file holds. A client matching a readOnly entry may connect and
// only read, whatever "allow" says; without allow entries every client may
// connect.
struct List {
    QStringList allow;     // as written
    QStringList readOnly;  // as written
    QVector<OtherKey> otherKeys;
    bool isEmpty() const { return allow.isEmpty() && readOnly.isEmpty(); }
};

// A whole file as the service reads it: JSON with // and /* */ comments, an
// empty or blank text is an empty list. False with a reason when the service
// would refuse it; *list is then left as it was.
bool parse(const QByteArray &fileText, List *list, QString *error);
// {"allow": [...], "readOnly": [...], other keys} over several lines, UTF-8,
// with a trailing newline. "readOnly" only when it has entries, so a list
// without any is written as before the read-only list existed.
QByteArray serialize(const List &list);
// The names of otherKeys in the order of the service's start log (sorted
// byte by byte), and as it quotes them: "a", "b".
QList<QByteArray> otherKeyNames(const List &list);
QString otherKeysText(const List &list);

enum Right { Refused, ReadOnly, ReadWrite };
// What a client at ipv4 ("a.b.c.d") may do as the service decides it, also
// for a list the service would refuse (bad entry, too many): it then accepts
// everyone with every right. Refused for a text that is not an address.
Right rightOf(const List &list, const QString &ipv4);
// What installing the list means, for the confirmation: who may connect and
// who may only read, and the kept keys.
QString meaning(const List &list);

} // namespace AclFile

#endif // ACLFILE_H

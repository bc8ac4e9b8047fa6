// TFTP request handling of the tool's server: the opcode, the request's file
// name as the engine extracts it, and the name check. Whatever a datagram
// holds, a name the check accepts must resolve to a file directly inside the
// root, never elsewhere.
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cstdint>
#include <cstdlib>

#include "qtftp.h"

static QString g_root;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    g_root = QDir::cleanPath(QStringLiteral("/tmp/tftp-fuzz-root"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2 || size > 516) return 0;  // the engine reads at most 516 bytes
    const char *pkt = reinterpret_cast<const char *>(data);
    const int op = (data[0] << 8) | data[1];
    if (op != QTftp::RRQ && op != QTftp::WRQ) return 0;
    QString name;
    if (!QTftp::requestFileName(pkt, qint64(size), &name)) return 0;
    if (name.size() > int(size)) abort();
    if (!QTftp::isSafeName(name)) return 0;
    const QString path = QDir(g_root).filePath(name);
    const QFileInfo info(path);
    if (QDir::cleanPath(info.absolutePath()) != g_root) abort();
    if (info.fileName() != name) abort();
    return 0;
}

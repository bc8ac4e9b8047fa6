#include "qtftp.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>
#include <QUdpSocket>

#include <cstring>

namespace {
const int kBlockSize = 512;
const int kPacketSize = 4 + kBlockSize;
const int kSends = 3;          // sends of one block (or one acknowledgement)
const int kWaits = 3;          // waits per send
const int kWaitMs = 1000;
const int kSliceMs = 50;       // how often a wait looks at the stop flag
// Windows: a virus scanner or the search indexer may hold a file that was just
// written for a moment; opening it for writing fails meanwhile.
const int kOpenRetries = 10;
const int kOpenRetryMs = 100;

const char *const kErrorTexts[] = {
    "Undefined error code",
    "File not found",
    "Access violation",
    "Disk full or allocation exceeded",
    "Illegal TFTP operation",
    "Unknown transfer ID",
    "File already exists",
    "No such user",
};

inline quint16 get16(const char *p)
{
    return quint16((quint8(p[0]) << 8) | quint8(p[1]));
}

inline void put16(char *p, quint16 v)
{
    p[0] = char(v >> 8);
    p[1] = char(v & 0xff);
}
}

QTftp::QTftp() : QObject(nullptr), m_thread(new QThread)
{
    qRegisterMetaType<TftpProgress>("TftpProgress");
    m_thread->setObjectName(QStringLiteral("tftpServer"));
    moveToThread(m_thread);
    connect(this, &QTftp::doServer, this, &QTftp::server);
}

QTftp::~QTftp()
{
    stop();
    delete m_thread;
}

void QTftp::start()
{
    m_stop = false;
    if (!m_thread->isRunning())
        m_thread->start(QThread::InheritPriority);
    emit doServer();
}

void QTftp::stop()
{
    m_stop = true;
    if (m_thread->isRunning()) {
        m_thread->quit();
        m_thread->wait();
    }
}

bool QTftp::isRunning() const
{
    return m_thread->isRunning();
}

QString QTftp::errorText(int code)
{
    if (code < 0 || code > 7)
        code = 0;
    return QString::fromLatin1(kErrorTexts[code]);
}

bool QTftp::isSafeName(const QString &name)
{
    if (name.isEmpty() || name.contains(QLatin1String("..")))
        return false;
    for (const QChar c : name) {
        // Separators of either system, drive letters and streams (':'),
        // control characters and the wildcards Windows refuses.
        if (c == '/' || c == '\\' || c == ':' || c.unicode() < 0x20 || c == '*' || c == '?'
            || c == '"' || c == '<' || c == '>' || c == '|')
            return false;
    }
    // Windows device names reach a device, not a file, whatever the folder,
    // also with an extension and with spaces before it ("nul .txt").
    static const QRegularExpression device(QStringLiteral("^(con|prn|aux|nul|com[0-9\u00b9\u00b2\u00b3]|lpt[0-9\u00b9\u00b2\u00b3]|conin\\$|conout\\$) *(\\..*)?$"),
                                           QRegularExpression::CaseInsensitiveOption);
    if (device.match(name.trimmed()).hasMatch())
        return false;
    return name != QLatin1String(".");
}

qint64 QTftp::receive(char *buf, qint64 max, int ms, QHostAddress *from, quint16 *fromPort)
{
    QDeadlineTimer deadline(ms);
    for (;;) {
        if (m_stop)
            return -1;
        if (m_socket->hasPendingDatagrams()) {
            const qint64 n = m_socket->readDatagram(buf, max, from, fromPort);
            if (n >= 0)
                return n;
        }
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            return -2;
        m_socket->waitForReadyRead(int(qMin<qint64>(left, kSliceMs)));
    }
}

void QTftp::setRootDir(const QString &dir)
{
    // "C:\tftp\" as typed on Windows; on Linux a backslash is a file name character.
    m_root = dir.isEmpty() ? dir : QDir::cleanPath(QDir::fromNativeSeparators(dir));
}

QString QTftp::filePath(const QString &name) const
{
    if (!isSafeName(name))
        return QString();
    const QDir root(m_root);
    const QString path = root.absoluteFilePath(name);
    // Directly in the root, compared the way the file system compares names.
    const Qt::CaseSensitivity cs =
#ifdef Q_OS_WIN
        Qt::CaseInsensitive;
#else
        Qt::CaseSensitive;
#endif
    if (QFileInfo(path).absolutePath().compare(root.absolutePath(), cs) != 0)
        return QString();
    return path;
}

void QTftp::sendError(int code)
{
    if (code < 0 || code > 7)
        code = 0;
    char pkt[64];
    put16(pkt, ERROR);
    put16(pkt + 2, quint16(code));
    const size_t textLen = std::strlen(kErrorTexts[code]);
    std::memcpy(pkt + 4, kErrorTexts[code], textLen + 1);
    qDebug("try write d.222....\n error %d to %s:%u", code, qPrintable(m_peer.toString()), m_peerPort);
    m_socket->writeDatagram(pkt, qint64(4 + textLen + 1), m_peer, m_peerPort);
}

void QTftp::sendAck(quint16 block)
{
    char pkt[4];
    put16(pkt, ACK);
    put16(pkt + 2, block);
    m_socket->writeDatagram(pkt, 4, m_peer, m_peerPort);
}

bool QTftp::requestFileName(const char *packet, qint64 len, QString *name)
{
    const char *start = packet + 2;
    const void *zero = len > 2 ? std::memchr(start, 0, size_t(len - 2)) : nullptr;
    if (!zero)
        return false;
    *name = QString::fromUtf8(start, int(static_cast<const char *>(zero) - start));
    return true;
}

bool QTftp::requestOption(const char *packet, qint64 len, const char *option, QString *value)
{
    // opcode, name, 0, mode, 0, then option/value pairs each ending in 0
    QList<QByteArray> fields = QByteArray(packet + 2, int(qMax<qint64>(0, len - 2))).split('\0');
    if (!fields.isEmpty())
        fields.removeLast();  // after the last terminator (or an unterminated tail)
    for (int i = 2; i + 1 < fields.size(); i += 2) {
        if (qstricmp(fields.at(i).constData(), option) == 0) {
            *value = QString::fromLatin1(fields.at(i + 1));
            return true;
        }
    }
    return false;
}

void QTftp::beginProgress(const QString &name, bool upload, qint64 total)
{
    m_clock.start();
    m_meter.start(total, 0);
    m_progress = TftpProgress();
    m_progress.name = name;
    m_progress.upload = upload;
    m_progressOpen = true;
    m_meter.fill(&m_progress, 0);
    emit transferProgress(m_progress);
}

void QTftp::stepProgress(qint64 bytes, bool finished)
{
    const qint64 now = m_clock.elapsed();
    if (!m_meter.update(bytes, now) && !finished)
        return;
    m_meter.fill(&m_progress, now);
    m_progress.finished = finished;
    if (finished) {
        m_progress.total = bytes;  // what really came, announced or not
        m_progress.remainingMs = 0;
        m_progressOpen = false;
    }
    emit transferProgress(m_progress);
}

void QTftp::closeProgress()
{
    if (!m_progressOpen)
        return;
    m_progressOpen = false;
    m_progress.failed = true;
    m_progress.remainingMs = -1;
    emit transferProgress(m_progress);
}

bool QTftp::requestName(qint64 len, QString *name)
{
    if (!requestFileName(m_buf, len, name)) {
        qDebug("request without a terminated file name");
        sendError(4);
        return false;
    }
    return true;
}

QTftp::WaitResult QTftp::waitAck(quint16 block)
{
    QHostAddress from;
    quint16 fromPort = 0;
    for (int w = 0; w < kWaits; ++w) {
        const qint64 n = receive(m_ackBuf, sizeof m_ackBuf, kWaitMs, &from, &fromPort);
        if (n == -1)
            return Stopped;
        if (n < 0 || from != m_peer || fromPort != m_peerPort || n < 2)
            continue;
        const quint16 op = get16(m_ackBuf);
        if (op == ERROR)
            return PeerAborted;
        if (op == ACK && n >= 4 && get16(m_ackBuf + 2) == block)
            return Got;
    }
    return Timeout;
}

bool QTftp::sendBlock(qint64 len, quint16 block)
{
    put16(m_buf, DATA);
    put16(m_buf + 2, block);
    for (int s = 0; s < kSends; ++s) {
        m_socket->writeDatagram(m_buf, len, m_peer, m_peerPort);
        switch (waitAck(block)) {
        case Got: return true;
        case Timeout: continue;
        case Stopped: qDebug("transfer cut off by stop"); return false;
        case PeerAborted: qDebug("client aborted the transfer"); return false;
        }
    }
    return false;
}

void QTftp::serveRead(qint64 len)
{
    QString name;
    if (!requestName(len, &name))
        return;
    qDebug("1111111---sending %s", qPrintable(name));
    const QString path = filePath(name);
    if (path.isEmpty()) {
        sendError(2);
        return;
    }
    QFile file(path);
    if (!file.exists()) {
        qDebug() << "文件不存在";
        sendError(1);
        return;
    }
    qDebug() << "文件存在";
    if (!file.open(QIODevice::ReadOnly)) {
        const QFileDevice::FileError e = file.error();
        sendError(e == QFileDevice::OpenError ? 1 : e == QFileDevice::PermissionsError ? 2 : 0);
        return;
    }
    emit send(true);
    emit startfileDownlaod(name);
    const quint64 size = quint64(file.size());
    const quint64 fullBlocks = size / kBlockSize;
    qDebug() << "文件存在4";
    qDebug() << "file size:" << size;
    beginProgress(name, false, qint64(size));

    quint64 k = 1;
    for (; k <= fullBlocks; ++k) {
        if (file.read(m_buf + 4, kBlockSize) != kBlockSize) {
            qDebug("read error in %s", qPrintable(name));
            sendError(0);
            return;
        }
        if (!sendBlock(kPacketSize, quint16(k))) {  // block numbers wrap past 65535
            qDebug("retry timeout");
            return;
        }
        emit progress(int((k - 1) * 100 / fullBlocks));
        stepProgress(qint64(k) * kBlockSize);
    }
    const qint64 rest = qint64(size % kBlockSize);
    if (rest && file.read(m_buf + 4, rest) != rest) {
        qDebug("read error in %s", qPrintable(name));
        sendError(0);
        return;
    }
    if (!sendBlock(4 + rest, quint16(k))) {
        qDebug("retry lastone timeout");
        return;
    }
    emit progress(100);
    stepProgress(qint64(size), true);
    qDebug() << "文件存在5";
    qDebug("sent %d blocks, %llu bytes", int(k), static_cast<unsigned long long>(size));
    emit fileSent(name);
}

void QTftp::serveWrite(qint64 len)
{
    QString name;
    if (!requestName(len, &name))
        return;
    qDebug("receiving %s", qPrintable(name));
    const QString path = filePath(name);
    if (path.isEmpty()) {
        sendError(2);
        return;
    }
    QFile file(path);
    bool opened = file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    for (int i = 0; !opened && i < kOpenRetries && !m_stop && file.exists(); ++i) {
        QThread::msleep(kOpenRetryMs);
        opened = file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    }
    if (!opened) {
        qDebug("cannot replace %s: %s", qPrintable(name), qPrintable(file.errorString()));
        sendError(file.error() == QFileDevice::PermissionsError ? 2 : 0);
        return;
    }
    const QHostAddress peer = m_peer;
    const quint16 peerPort = m_peerPort;
    // Clients such as busybox announce the size; without it the total stays unknown.
    QString tsize;
    bool sizeOk = false;
    const qint64 announced = requestOption(m_buf, len, "tsize", &tsize) ? tsize.toLongLong(&sizeOk) : -1;
    beginProgress(name, true, sizeOk && announced >= 0 ? announced : -1);
    quint64 bytes = 0;
    quint16 expect = 1;
    int blocks = 0;
    sendAck(0);
    for (;;) {
        qint64 n = -2;
        bool got = false;
        for (int s = 0; s < kSends && !got; ++s) {
            if (s > 0)
                sendAck(quint16(expect - 1));  // our acknowledgement may be lost
            for (int w = 0; w < kWaits; ++w) {
                QHostAddress from;
                quint16 fromPort = 0;
                n = receive(m_buf, kPacketSize, kWaitMs, &from, &fromPort);
                if (n == -1) {
                    qDebug("transfer cut off by stop, %llu bytes kept", static_cast<unsigned long long>(bytes));
                    return;
                }
                if (n < 4 || from != peer || fromPort != peerPort)
                    continue;
                const quint16 op = get16(m_buf);
                if (op == ERROR) {
                    qDebug("client aborted the transfer");
                    return;
                }
                if (op != DATA)
                    continue;
                const quint16 block = get16(m_buf + 2);
                if (block == expect) {
                    got = true;
                    break;
                }
                if (block == quint16(expect - 1))
                    break;  // the client resent: answer at once
            }
        }
        if (!got) {
            qDebug("retry timeout");
            return;
        }
        if (n > 4 && file.write(m_buf + 4, n - 4) != n - 4) {
            qDebug("write error in %s", qPrintable(name));
            sendError(3);
            return;
        }
        bytes += quint64(n - 4);
        ++blocks;
        if (n >= kPacketSize)
            stepProgress(qint64(bytes));
        // The last ACK tells the client its file is stored: it must be on disk by then.
        if (n < kPacketSize)
            file.flush();
        sendAck(expect);
        if (n < kPacketSize)
            break;
        ++expect;
    }
    file.close();
    m_lastWritePeer = peer;
    m_lastWritePort = peerPort;
    m_lastWriteBlock = expect;
    qDebug("received %d blocks, %llu bytes", blocks, static_cast<unsigned long long>(bytes));
    stepProgress(qint64(bytes), true);
    emit fileReceived(name);
}

void QTftp::setAllowedPeer(const QHostAddress &peer)
{
    bool ok = false;
    const quint32 v4 = peer.toIPv4Address(&ok);
    m_allowedPeer = ok ? v4 : 0;
}

void QTftp::setSitePeer(const QHostAddress &peer)
{
    bool ok = false;
    const quint32 v4 = peer.toIPv4Address(&ok);
    m_sitePeer = ok ? v4 : 0;
}

bool QTftp::peerAllowed(const QHostAddress &peer) const
{
    const quint32 allowed = m_allowedPeer.load();
    if (allowed == 0)
        return true;
    bool ok = false;
    const quint32 v4 = peer.toIPv4Address(&ok);
    const quint32 site = m_sitePeer.load();
    return ok && (v4 == allowed || (site != 0 && v4 == site));
}

void QTftp::server()
{
    qDebug() << "Starting server";
    m_socket = new QUdpSocket;
    // Not shared: on Windows the default lets a later socket with SO_REUSEADDR
    // take over the port (DontShareAddress sets SO_EXCLUSIVEADDRUSE there).
    if (!m_socket->bind(QHostAddress::AnyIPv4, kPort, QAbstractSocket::DontShareAddress)) {
        qDebug() << "tftp bind failed:" << m_socket->errorString();
        m_socket->close();
        delete m_socket;
        m_socket = nullptr;
        emit error(2);
        return;
    }
    m_lastWritePort = 0;
    while (!m_stop) {
        const qint64 n = receive(m_buf, kPacketSize, kWaitMs, &m_peer, &m_peerPort);
        if (n < 0)
            continue;
        const quint16 op = n >= 2 ? get16(m_buf) : 0;
        if ((op == RRQ || op == WRQ) && !peerAllowed(m_peer)) {
            // Only the selected gateway may fetch or replace files in the root.
            qWarning("tftp: refused a request from %s:%u (only %s may use this server)",
                     qPrintable(m_peer.toString()), m_peerPort,
                     qPrintable(QHostAddress(m_allowedPeer.load()).toString()));
            sendError(2);
            emit refused(m_peer.toString());
            continue;
        }
        if (op == RRQ) {
            serveRead(n);
            closeProgress();
        } else if (op == WRQ) {
            serveWrite(n);
            closeProgress();
        } else if (op == DATA && n >= 4 && m_lastWritePort && m_peer == m_lastWritePeer
                   && m_peerPort == m_lastWritePort && get16(m_buf + 2) == m_lastWriteBlock) {
            sendAck(m_lastWriteBlock);  // the last acknowledgement of an upload was lost
        } else {
            sendError(4);
        }
    }
    m_socket->close();
    delete m_socket;
    m_socket = nullptr;
    qDebug() << "Server stopped";
}

// needs: namespace
// The TFTP server against real clients (busybox tftp, tftp-hpa) and a raw
// UDP peer that drops or repeats packets. Port 5069 is fixed, hence the
// private network namespace.
#include <QtTest>

#include <QCryptographicHash>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUdpSocket>

#ifdef Q_OS_WIN
// No GDI: it defines ERROR, a name QTftp uses.
#ifndef NOGDI
#define NOGDI
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <chrono>
#include <thread>
#endif

#include "peerrunner.h"
#include "qtftp.h"
#include "qtftpwidget.h"
#include "queuedspy.h"

namespace {
const quint16 kPort = 5069;
// Past the 16-bit block number at 512 bytes a block (a gateway program
// package can be this big): block 65536 goes out as 0, and 33 MiB, a whole
// number of blocks, ends with an empty block 67585 (as 2049). About 2 s each
// way on loopback.
const qint64 kWrapSize = 33LL << 20;

QByteArray randomBytes(int n, quint32 seed)
{
    QRandomGenerator gen(seed);
    QByteArray b(n, Qt::Uninitialized);
    for (int i = 0; i < n; ++i)
        b[i] = char(gen.bounded(256));
    return b;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// Runs a client to completion; returns its exit code (-1: did not finish).
int runClient(const QString &program, const QStringList &args, const QString &cwd = QString(),
              int timeoutMs = 20000)
{
    return PeerRunner::run(program, args, cwd, timeoutMs);
}

QByteArray md5Of(const QString &path)
{
    QFile f(path);
    QCryptographicHash h(QCryptographicHash::Md5);
    if (!f.open(QIODevice::ReadOnly) || !h.addData(&f))
        return QByteArray("<unreadable>");
    return h.result().toHex();
}

bool writeRandomFile(const QString &path, qint64 size, quint32 seed)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    QRandomGenerator gen(seed);
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (qint64 left = size; left > 0;) {
        gen.fillRange(reinterpret_cast<quint32 *>(chunk.data()), chunk.size() / 4);
        const qint64 n = qMin<qint64>(left, chunk.size());
        if (f.write(chunk.constData(), n) != n)
            return false;
        left -= n;
    }
    return true;
}

QByteArray request(quint16 op, const QByteArray &name, bool terminated = true)
{
    QByteArray p;
    p.append(char(op >> 8)).append(char(op & 0xff)).append(name);
    if (terminated)
        p.append('\0').append("octet").append('\0');
    return p;
}

QByteArray packet(quint16 op, quint16 block, const QByteArray &payload = QByteArray())
{
    QByteArray p;
    p.append(char(op >> 8)).append(char(op & 0xff)).append(char(block >> 8)).append(char(block & 0xff));
    return p + payload;
}

// A hand-driven client on loopback.
class RawPeer
{
public:
    RawPeer() { sock.bind(QHostAddress(QHostAddress::LocalHost), 0); }
    void send(const QByteArray &p) { sock.writeDatagram(p, QHostAddress::LocalHost, kPort); }
    // Next datagram from the server, or an empty array after ms.
    QByteArray recv(int ms)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            if (sock.hasPendingDatagrams()) {
                QByteArray b(int(sock.pendingDatagramSize()), 0);
                sock.readDatagram(b.data(), b.size());
                return b;
            }
            sock.waitForReadyRead(20);
        }
        return QByteArray();
    }
    QUdpSocket sock;
};

// The server loop binds in its own thread, later under load: wait until it
// answers (a read of a missing file), at most about 5 s.
bool serverAnswers()
{
    for (int i = 0; i < 25; ++i) {
        RawPeer p;
        p.send(request(QTftp::RRQ, "probe-absent"));
        if (!p.recv(200).isEmpty())
            return true;
    }
    return false;
}

quint16 op(const QByteArray &p) { return p.size() >= 2 ? quint16((quint8(p[0]) << 8) | quint8(p[1])) : 0; }
quint16 num(const QByteArray &p) { return p.size() >= 4 ? quint16((quint8(p[2]) << 8) | quint8(p[3])) : 0xffff; }
}

// Progress reports collected on the test's own thread (queued), so reading
// them never races the engine's thread.
struct ProgressLog {
    QObject context;
    QList<TftpProgress> all;
    explicit ProgressLog(QTftp *engine)
    {
        QObject::connect(engine, &QTftp::transferProgress, &context, [this](TftpProgress p) { all << p; },
                         Qt::QueuedConnection);
    }
    bool endedWith(bool failed) const { return !all.isEmpty() && (failed ? all.last().failed : all.last().finished); }
};

class TstTftpServer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void busyboxRoundTrip_data();
    void busyboxRoundTrip();
    void busyboxShortForms();
    void hpaRoundTrip_data();
    void hpaRoundTrip();
    void missingFile();
    void refusedNames_data();
    void refusedNames();
    void malformedAndStrayPackets();
    void lostAckOnRead();
    void lostAcksOnWrite();
    void stopDuringTransfers();
    void bindFailure();
    void portNotShared();
    void replaceWhileHeld();
    void panel();
    void meterDecisions();
    void progressDuringTransfer();
    void pastBlock65535_data();
    void pastBlock65535();

private:
    QTemporaryDir m_tmp;
    QString m_root, m_client, m_busybox;
    QTftp *m_tftp = nullptr;
    bool m_haveBusybox = false, m_haveHpa = false;
};

void TstTftpServer::initTestCase()
{
    QVERIFY(m_tmp.isValid());
    m_root = m_tmp.filePath("root");
    m_client = m_tmp.filePath("client");
    QVERIFY(QDir().mkpath(m_root));
    QVERIFY(QDir().mkpath(m_client));
    m_busybox = PeerRunner::findProgram("busybox");
    m_haveBusybox = !m_busybox.isEmpty();
    m_haveHpa = !PeerRunner::findProgram("tftp").isEmpty();
}

void TstTftpServer::init()
{
    m_tftp = new QTftp;
    m_tftp->setRootDir(m_root);
    if (QByteArray(QTest::currentTestFunction()) != "bindFailure"
        && QByteArray(QTest::currentTestFunction()) != "panel") {
        QueuedSpy err(m_tftp, &QTftp::error);
        m_tftp->start();
        QVERIFY2(serverAnswers() && err.settled() == 0, "the server does not answer (port 5069 taken?)");
    }
}

void TstTftpServer::cleanup()
{
    delete m_tftp;
    m_tftp = nullptr;
}

void TstTftpServer::busyboxRoundTrip_data()
{
    QTest::addColumn<int>("size");
    for (int n : {0, 1, 511, 512, 1024, 100000})
        QTest::newRow(qPrintable(QString::number(n))) << n;
}

void TstTftpServer::busyboxRoundTrip()
{
    if (!m_haveBusybox)
        QSKIP("busybox is not installed");
    QFETCH(int, size);
    const QByteArray data = randomBytes(size, quint32(size) + 1);
    const QString name = QString("bb-%1.bin").arg(size);
    QVERIFY(writeFile(m_root + "/" + name, data));

    QueuedSpy sent(m_tftp, &QTftp::fileSent);
    QueuedSpy received(m_tftp, &QTftp::fileReceived);
    const QString local = m_client + "/" + name;
    QCOMPARE(runClient("busybox", {"tftp", "-g", "-r", name, "-l", local, "127.0.0.1", "5069"}), 0);
    QCOMPARE(readFile(local), data);
    QTRY_COMPARE(sent.count(), 1);
    QCOMPARE(sent.at(0).at(0).toString(), name);

    const QString upName = "up-" + name;
    QCOMPARE(runClient("busybox", {"tftp", "-p", "-l", local, "-r", upName, "127.0.0.1", "5069"}), 0);
    QTRY_COMPARE(received.count(), 1);
    QCOMPARE(received.at(0).at(0).toString(), upName);
    QCOMPARE(readFile(m_root + "/" + upName), data);
}

void TstTftpServer::busyboxShortForms()
{
    if (!m_haveBusybox)
        QSKIP("busybox is not installed");
    // How the gateway's shell types it: through a program named tftp.
    const QString bin = m_tmp.filePath("bin");
    QVERIFY(QDir().mkpath(bin));
    // A copy named tftp, not a link: wine deletes a link's target when the
    // test's temporary folder is removed, which took the machine's busybox.
    QCOMPARE(runClient("cp", {m_busybox, bin + "/tftp"}), 0);
    const QByteArray data = randomBytes(1500, 7);
    QVERIFY(writeFile(m_root + "/dk-map.json", data));
    QueuedSpy sent(m_tftp, &QTftp::fileSent);
    QueuedSpy received(m_tftp, &QTftp::fileReceived);

    const QString gw = m_tmp.filePath("gw");
    QVERIFY(QDir().mkpath(gw));
    QCOMPARE(runClient(bin + "/tftp", {"-gr", "dk-map.json", "127.0.0.1", "5069"}, gw), 0);
    QCOMPARE(readFile(gw + "/dk-map.json"), data);
    QTRY_COMPARE(sent.count(), 1);

    const QByteArray pushed = randomBytes(700, 8);
    QVERIFY(writeFile(gw + "/dk-ver.txt", pushed));
    QCOMPARE(runClient(bin + "/tftp", {"-pr", "dk-ver.txt", "127.0.0.1", "5069"}, gw), 0);
    QTRY_COMPARE(received.count(), 1);
    QCOMPARE(received.at(0).at(0).toString(), QString("dk-ver.txt"));
    QCOMPARE(readFile(m_root + "/dk-ver.txt"), pushed);
}

void TstTftpServer::hpaRoundTrip_data()
{
    busyboxRoundTrip_data();
}

void TstTftpServer::hpaRoundTrip()
{
    if (!m_haveHpa)
        QSKIP("tftp-hpa is not installed");
    QFETCH(int, size);
    const QByteArray data = randomBytes(size, quint32(size) + 100);
    const QString name = QString("hpa-%1.bin").arg(size);
    QVERIFY(writeFile(m_root + "/" + name, data));
    QueuedSpy sent(m_tftp, &QTftp::fileSent);
    QueuedSpy received(m_tftp, &QTftp::fileReceived);

    const QString local = m_client + "/" + name;
    runClient("tftp", {"-m", "binary", "127.0.0.1", "5069", "-c", "get", name, local});
    QCOMPARE(readFile(local), data);
    QTRY_COMPARE(sent.count(), 1);

    const QString upName = "up-" + name;
    runClient("tftp", {"-m", "binary", "127.0.0.1", "5069", "-c", "put", local, upName});
    QTRY_COMPARE(received.count(), 1);
    QCOMPARE(readFile(m_root + "/" + upName), data);
}

void TstTftpServer::missingFile()
{
    RawPeer peer;
    peer.send(request(QTftp::RRQ, "no-such-file.json"));
    const QByteArray reply = peer.recv(2000);
    QCOMPARE(op(reply), quint16(QTftp::ERROR));
    QCOMPARE(num(reply), quint16(1));
    QCOMPARE(reply.mid(4), QByteArray("File not found", 15));
    if (m_haveBusybox) {
        QVERIFY(runClient("busybox", {"tftp", "-g", "-r", "no-such-file.json", "-l", m_client + "/x",
                                      "127.0.0.1", "5069"}) != 0);
    }
}

void TstTftpServer::refusedNames_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("absolute") << QByteArray("/etc/passwd");
    QTest::newRow("slash") << QByteArray("sub/file");
    QTest::newRow("dotdot slash") << QByteArray("../outside.txt");
    QTest::newRow("backslash") << QByteArray("sub\\file");
    QTest::newRow("dotdot backslash") << QByteArray("..\\outside.txt");
    QTest::newRow("dotdot") << QByteArray("..");
    QTest::newRow("dot") << QByteArray(".");
    QTest::newRow("drive") << QByteArray("C:outside.txt");
    QTest::newRow("drive path") << QByteArray("c:\\windows\\win.ini");
    QTest::newRow("stream") << QByteArray("file.txt:hidden");
    QTest::newRow("empty") << QByteArray("");
    QTest::newRow("device") << QByteArray("NUL");
    QTest::newRow("device ext") << QByteArray("con.txt");
}

void TstTftpServer::refusedNames()
{
    QFETCH(QByteArray, name);
    // A file one level up that a traversal would reach.
    QVERIFY(writeFile(m_tmp.filePath("outside.txt"), "secret"));
    for (quint16 opcode : {quint16(QTftp::RRQ), quint16(QTftp::WRQ)}) {
        RawPeer peer;
        peer.send(request(opcode, name));
        const QByteArray reply = peer.recv(2000);
        QCOMPARE(op(reply), quint16(QTftp::ERROR));
        QCOMPARE(num(reply), quint16(2));
        QCOMPARE(reply.mid(4), QByteArray("Access violation", 17));
    }
    QCOMPARE(readFile(m_tmp.filePath("outside.txt")), QByteArray("secret"));
    QCOMPARE(QDir(m_tmp.path()).entryList(QDir::Files), QStringList{"outside.txt"});
    if (m_haveBusybox && name.startsWith("../")) {
        QVERIFY(runClient("busybox", {"tftp", "-p", "-l", m_tmp.filePath("outside.txt"), "-r",
                                      QString::fromLatin1(name), "127.0.0.1", "5069"}) != 0);
    }
}

void TstTftpServer::malformedAndStrayPackets()
{
    RawPeer peer;
    // File name without its terminating zero.
    peer.send(request(QTftp::RRQ, "map.json", false));
    QByteArray reply = peer.recv(2000);
    QCOMPARE(op(reply), quint16(QTftp::ERROR));
    QCOMPARE(num(reply), quint16(4));
    QCOMPARE(reply.mid(4), QByteArray("Illegal TFTP operation", 23));
    peer.send(request(QTftp::WRQ, "map.json", false));
    QCOMPARE(num(peer.recv(2000)), quint16(4));
    QVERIFY(!QFile::exists(m_root + "/map.json"));
    // An acknowledgement while idle, a one-byte datagram, an unknown opcode.
    for (const QByteArray &p : {packet(QTftp::ACK, 1), QByteArray(1, '\1'), packet(9, 0)}) {
        peer.send(p);
        reply = peer.recv(2000);
        QCOMPARE(op(reply), quint16(QTftp::ERROR));
        QCOMPARE(num(reply), quint16(4));
    }
}

void TstTftpServer::lostAckOnRead()
{
    const QByteArray data = randomBytes(600, 3);
    QVERIFY(writeFile(m_root + "/lost.bin", data));
    QueuedSpy sent(m_tftp, &QTftp::fileSent);
    RawPeer peer;
    peer.send(request(QTftp::RRQ, "lost.bin"));
    const QByteArray first = peer.recv(2000);
    QCOMPARE(op(first), quint16(QTftp::DATA));
    QCOMPARE(num(first), quint16(1));
    // No acknowledgement: the block must come again after the waits.
    const QByteArray again = peer.recv(5000);
    QCOMPARE(again, first);
    peer.send(packet(QTftp::ACK, 1));
    const QByteArray last = peer.recv(2000);
    QCOMPARE(num(last), quint16(2));
    QCOMPARE(first.mid(4) + last.mid(4), data);
    peer.send(packet(QTftp::ACK, 2));
    QTRY_COMPARE(sent.count(), 1);

    // A client that gives up (an ERROR packet): the progress ends as broken off.
    ProgressLog progress(m_tftp);
    peer.send(request(QTftp::RRQ, "lost.bin"));
    QCOMPARE(num(peer.recv(2000)), quint16(1));
    peer.send(packet(QTftp::ERROR, 0, QByteArray("stop", 5)));
    QTRY_VERIFY(progress.endedWith(true));
    const TftpProgress end = progress.all.last();
    QVERIFY(!end.finished);
    QCOMPARE(end.bytes, qint64(0));
    QCOMPARE(end.total, qint64(600));
    QVERIFY2(end.text().endsWith(QString::fromUtf8("中断")), qPrintable(end.text()));
    QCOMPARE(sent.settled(), 1);
}

void TstTftpServer::lostAcksOnWrite()
{
    const QByteArray data = randomBytes(700, 4);
    QueuedSpy received(m_tftp, &QTftp::fileReceived);
    RawPeer peer;
    peer.send(request(QTftp::WRQ, "pushed.bin"));
    QCOMPARE(peer.recv(2000), packet(QTftp::ACK, 0));
    peer.send(packet(QTftp::DATA, 1, data.left(512)));
    QCOMPARE(peer.recv(2000), packet(QTftp::ACK, 1));
    // As if ACK 1 was lost: the client sends block 1 again and must be answered.
    peer.send(packet(QTftp::DATA, 1, data.left(512)));
    QCOMPARE(peer.recv(2000), packet(QTftp::ACK, 1));
    peer.send(packet(QTftp::DATA, 2, data.mid(512)));
    QCOMPARE(peer.recv(2000), packet(QTftp::ACK, 2));
    QTRY_COMPARE(received.count(), 1);
    // The final ACK lost: the repeated last block is acknowledged, not refused.
    peer.send(packet(QTftp::DATA, 2, data.mid(512)));
    QCOMPARE(peer.recv(2000), packet(QTftp::ACK, 2));
    QCOMPARE(readFile(m_root + "/pushed.bin"), data);
    QCOMPARE(received.settled(), 1);

    // Silence after ACK 0: the server repeats its acknowledgement.
    RawPeer quiet;
    quiet.send(request(QTftp::WRQ, "quiet.bin"));
    QCOMPARE(quiet.recv(2000), packet(QTftp::ACK, 0));
    // Repeated after three silent seconds; a loaded machine may take longer.
    QCOMPARE(quiet.recv(10000), packet(QTftp::ACK, 0));
    quiet.send(packet(QTftp::DATA, 1, "ok"));
    QCOMPARE(quiet.recv(2000), packet(QTftp::ACK, 1));
    QCOMPARE(readFile(m_root + "/quiet.bin"), QByteArray("ok"));
}

void TstTftpServer::stopDuringTransfers()
{
    const QByteArray data = randomBytes(2000, 5);
    QVERIFY(writeFile(m_root + "/big.bin", data));
    QueuedSpy sent(m_tftp, &QTftp::fileSent);
    QueuedSpy received(m_tftp, &QTftp::fileReceived);

    RawPeer reader;
    reader.send(request(QTftp::RRQ, "big.bin"));
    QCOMPARE(num(reader.recv(2000)), quint16(1));
    QElapsedTimer t;
    t.start();
    m_tftp->stop();
    // The loop looks at the stop flag every 50 ms; waiting for the transfer
    // would take its 3 sends of 3 s. Room for a loaded machine in between.
    QVERIFY2(t.elapsed() < 4000, qPrintable(QString("stop took %1 ms").arg(t.elapsed())));
    QVERIFY(!m_tftp->isRunning());

    m_tftp->start();
    QVERIFY(serverAnswers());
    RawPeer writer;
    writer.send(request(QTftp::WRQ, "half.bin"));
    QCOMPARE(writer.recv(2000), packet(QTftp::ACK, 0));
    writer.send(packet(QTftp::DATA, 1, data.left(512)));
    QCOMPARE(writer.recv(2000), packet(QTftp::ACK, 1));
    m_tftp->stop();
    // The part already written stays.
    QCOMPARE(readFile(m_root + "/half.bin"), data.left(512));

    // The engine serves again after a stop.
    m_tftp->start();
    QVERIFY(serverAnswers());
    RawPeer again;
    again.send(request(QTftp::RRQ, "big.bin"));
    QByteArray got;
    for (quint16 b = 1; b <= 4; ++b) {
        const QByteArray p = again.recv(2000);
        QCOMPARE(num(p), b);
        got += p.mid(4);
        again.send(packet(QTftp::ACK, b));
    }
    QCOMPARE(got, data);
    QTRY_COMPARE(sent.count(), 1);
    QCOMPARE(received.settled(), 0);
}

void TstTftpServer::bindFailure()
{
    QUdpSocket squatter;
    QVERIFY(squatter.bind(QHostAddress::AnyIPv4, kPort));
    QueuedSpy err(m_tftp, &QTftp::error);
    m_tftp->start();
    QVERIFY(err.count() > 0 || err.wait(10000));
    QCOMPARE(err.at(0).at(0).toInt(), 2);
    m_tftp->stop();
    squatter.close();
    m_tftp->start();
    QVERIFY(serverAnswers());
    RawPeer peer;
    quint16 code = 0xffff;
    for (int i = 0; i < 50 && code == 0xffff; ++i) {
        peer.send(request(QTftp::RRQ, "absent"));
        code = num(peer.recv(100));
    }
    QCOMPARE(err.settled(), 1);
    QCOMPARE(code, quint16(1));
}

void TstTftpServer::portNotShared()
{
    // A program that asks to share the port must not get the gateway's requests.
    QUdpSocket other;
    QVERIFY(!other.bind(QHostAddress::AnyIPv4, kPort,
                        QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint));
    RawPeer peer;
    peer.send(request(QTftp::RRQ, "absent"));
    QCOMPARE(num(peer.recv(2000)), quint16(1));
}

void TstTftpServer::replaceWhileHeld()
{
#ifndef Q_OS_WIN
    // Linux has no share modes; what keeps a file from being opened for writing
    // there is a program running from it (ETXTBSY). The server waits the same.
    const QString path = m_root + "/held.bin";
    const QString sleepPath = QStandardPaths::findExecutable("sleep");
    QVERIFY(!sleepPath.isEmpty());
    const QByteArray program = readFile(sleepPath);
    const auto hold = [&](QProcess &holder) {
        QFile::remove(path);
        if (!writeFile(path, program) || !QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
            return false;
        holder.start(path, {"60"});
        return holder.waitForStarted(5000);
    };
    const auto writable = [&path]() {
        QFile f(path);
        return f.open(QIODevice::WriteOnly | QIODevice::Append);  // changes nothing
    };
    {
        QProcess holder;
        QVERIFY(hold(holder));
        if (writable())
            QSKIP("this kernel lets a running program's file be written: nothing holds a file on Linux");
        RawPeer peer;
        peer.send(request(QTftp::WRQ, "held.bin"));
        // Nothing while held: the server retries the open for about a second.
        const QByteArray early = peer.recv(100);
        QVERIFY2(early.isEmpty(), qPrintable(early.toHex()));
        holder.kill();
        QVERIFY(holder.waitForFinished(5000));
        QCOMPARE(peer.recv(5000), packet(QTftp::ACK, 0));
        peer.send(packet(QTftp::DATA, 1, "new"));
        QCOMPARE(peer.recv(2000), packet(QTftp::ACK, 1));
        QCOMPARE(readFile(path), QByteArray("new"));
    }
    // Held for longer than the server waits: refused, the file as it was.
    QProcess holder;
    QVERIFY(hold(holder));
    QVERIFY(!writable());
    RawPeer late;
    late.send(request(QTftp::WRQ, "held.bin"));
    const QByteArray reply = late.recv(10000);
    holder.kill();
    QVERIFY(holder.waitForFinished(5000));
    QCOMPARE(op(reply), quint16(QTftp::ERROR));
    QVERIFY(readFile(path) == program);
#else
    const QString path = m_root + "/held.bin";
    QVERIFY(writeFile(path, "old contents"));
    const auto hold = [&path]() {
        // As a virus scanner or an open spreadsheet holds it: others may read, not write.
        return CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                           GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    };
    HANDLE h = hold();
    QVERIFY(h != INVALID_HANDLE_VALUE);
    std::thread release([h]() {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        CloseHandle(h);
    });
    RawPeer peer;
    peer.send(request(QTftp::WRQ, "held.bin"));
    const QByteArray first = peer.recv(3000);
    release.join();
    QCOMPARE(first, packet(QTftp::ACK, 0));
    peer.send(packet(QTftp::DATA, 1, "new"));
    QCOMPARE(peer.recv(2000), packet(QTftp::ACK, 1));
    QCOMPARE(readFile(path), QByteArray("new"));

    // Held for longer than the server waits: refused, the file as it was.
    h = hold();
    QVERIFY(h != INVALID_HANDLE_VALUE);
    RawPeer late;
    late.send(request(QTftp::WRQ, "held.bin"));
    const QByteArray reply = late.recv(3000);
    CloseHandle(h);
    QCOMPARE(op(reply), quint16(QTftp::ERROR));
    QCOMPARE(readFile(path), QByteArray("new"));
#endif
}

void TstTftpServer::panel()
{
    QtftpWidget w;
    auto *root = w.findChild<QLineEdit *>("root");
    auto *start = w.findChild<QPushButton *>("start");
    auto *browse = w.findChild<QPushButton *>("browse");
    auto *status = w.findChild<QLabel *>("statusLabel");
    QVERIFY(root && start && browse && status);
    QCOMPARE(start->text(), QString("开启tftp服务"));

    QSignalSpy rootChanged(&w, &QtftpWidget::sigTftpRootDirChanged);
    root->setText(m_tmp.filePath("nowhere"));
    QVERIFY(!start->isEnabled());
    root->setText(m_root);
    QVERIFY(start->isEnabled());
    QCOMPARE(rootChanged.count(), 2);

    QTest::mouseClick(start, Qt::LeftButton);
    QCOMPARE(start->text(), QString("停止tftp服务"));
    QCOMPARE(status->text(), QString("Server started"));
    QVERIFY(!root->isEnabled() && !browse->isEnabled());
    QVERIFY(serverAnswers());

    QSignalSpy sendOne(&w, &QtftpWidget::sigSendOneFile);
    QSignalSpy rcvOne(&w, &QtftpWidget::sigRcvOneFile);
    QVERIFY(writeFile(m_root + "/panel.bin", randomBytes(3000, 9)));
    RawPeer peer;
    peer.send(request(QTftp::RRQ, "panel.bin"));
    for (quint16 b = 1; b <= 6; ++b) {
        const QByteArray p = peer.recv(2000);
        QCOMPARE(num(p), b);
        peer.send(packet(QTftp::ACK, b));
    }
    QTRY_COMPARE(sendOne.count(), 1);
    QCOMPARE(sendOne.at(0).at(0).toString(), QString("panel.bin"));
    QCOMPARE(status->text(), QString("发送panel.bin成功"));

    peer.send(request(QTftp::WRQ, "panel-up.bin"));
    QCOMPARE(peer.recv(2000), packet(QTftp::ACK, 0));
    peer.send(packet(QTftp::DATA, 1, "abc"));
    QCOMPARE(peer.recv(2000), packet(QTftp::ACK, 1));
    QTRY_COMPARE(rcvOne.count(), 1);
    QCOMPARE(rcvOne.at(0).at(0).toString(), QString("panel-up.bin"));
    QCOMPARE(status->text(), QString("接收panel-up.bin成功"));

    QTest::mouseClick(start, Qt::LeftButton);
    QCOMPARE(start->text(), QString("开启tftp服务"));
    QCOMPARE(status->text(), QString("Server stopped"));
    QVERIFY(root->isEnabled() && browse->isEnabled());
    peer.send(request(QTftp::RRQ, "panel.bin"));
    QVERIFY(peer.recv(300).isEmpty());
    // The bar and its text followed the transfers (queued from the engine's thread).
    auto *progress = w.findChild<QLabel *>("progressLabel");
    QVERIFY(progress);
    QVERIFY2(progress->text().startsWith(QString::fromUtf8("接收 panel-up.bin: 3 B / 3 B")), qPrintable(progress->text()));
    QVERIFY2(progress->text().endsWith(QString::fromUtf8("完成")), qPrintable(progress->text()));
}

void TstTftpServer::meterDecisions()
{
    // Known size: a report per whole percent, or after the minimum gap.
    TransferMeter m;
    m.start(1000, 0);
    QVERIFY(!m.update(5, 10));   // still 0 %
    QVERIFY(m.update(10, 20));   // 1 %
    QVERIFY(!m.update(15, 30));
    QVERIFY(m.update(15, 30 + TransferMeter::kMinGapMs));
    TftpProgress p;
    QVERIFY(m.update(500, 1000));
    m.fill(&p, 1000);
    QCOMPARE(p.bytes, qint64(500));
    QCOMPARE(p.bytesPerSec, 500.0);
    QCOMPARE(p.remainingMs, qint64(1000));
    QCOMPARE(p.percent(), 50);

    // Unknown size: only by time, no remaining time; no rate before any time passed.
    m.start(-1, 5000);
    m.fill(&p, 5000);
    QCOMPARE(p.bytesPerSec, 0.0);
    QCOMPARE(p.remainingMs, qint64(-1));
    QVERIFY(!m.update(100000, 5100));
    QVERIFY(m.update(200000, 5000 + TransferMeter::kMinGapMs));
    m.fill(&p, 6000);
    QCOMPARE(p.total, qint64(-1));
    QCOMPARE(p.remainingMs, qint64(-1));
    QCOMPARE(p.percent(), -1);

    p.name = "a.bin";
    p.upload = false;
    p.bytes = 50000;
    p.total = 100000;
    p.bytesPerSec = 2048;
    p.remainingMs = 24400;
    QCOMPARE(p.text(), QString::fromUtf8("发送 a.bin: 48.8 KB / 97.7 KB, 2.0 KB/s, 剩余 25 s"));
    p.finished = true;
    p.upload = true;
    QCOMPARE(p.text(), QString::fromUtf8("接收 a.bin: 48.8 KB / 97.7 KB, 2.0 KB/s, 完成"));
}

void TstTftpServer::progressDuringTransfer()
{
    if (!m_haveBusybox)
        QSKIP("busybox is not installed");
    const int size = 100000;
    const QByteArray data = randomBytes(size, 77);
    QVERIFY(writeFile(m_root + "/prog.bin", data));

    // The checks every transfer's reports must pass.
    auto check = [](const QList<TftpProgress> &spy, bool upload, qint64 firstTotal) {
        QVERIFY(spy.count() >= 2);
        qint64 last = -1;
        for (int i = 0; i < spy.count(); ++i) {
            const TftpProgress &p = spy.at(i);
            QCOMPARE(p.upload, upload);
            QVERIFY2(p.bytes >= last, qPrintable(QString("report %1 went back").arg(i)));
            last = p.bytes;
            QCOMPARE(p.finished, i == spy.count() - 1);
            if (!p.finished)
                QCOMPARE(p.total, firstTotal);
            if (!p.finished && firstTotal > 0 && p.bytesPerSec > 0)
                QVERIFY(p.remainingMs >= 0);
        }
        const TftpProgress &first = spy.first();
        QCOMPARE(first.bytes, qint64(0));
        const TftpProgress &end = spy.last();
        QCOMPARE(end.bytes, qint64(100000));
        QCOMPARE(end.total, qint64(100000));
        QCOMPARE(end.remainingMs, qint64(0));
    };

    // The gateway fetches from the root: size known from the file, a report per percent.
    ProgressLog readSpy(m_tftp);
    QElapsedTimer took;
    took.start();
    QCOMPARE(runClient("busybox", {"tftp", "-g", "-r", "prog.bin", "-l", m_client + "/prog.bin", "127.0.0.1",
                                   "5069"}),
             0);
    QTRY_VERIFY(readSpy.endedWith(false));
    check(readSpy.all, false, size);
    QVERIFY2(readSpy.all.count() >= 50, qPrintable(QString::number(readSpy.all.count())));
    // The start, one per percent, the end, and on a slow transfer at most one
    // more per minimum gap of the time it took.
    const qint64 maxReports = 102 + took.elapsed() / TransferMeter::kMinGapMs;
    QVERIFY2(readSpy.all.count() <= maxReports,
             qPrintable(QString("%1 reports in %2 ms").arg(readSpy.all.count()).arg(took.elapsed())));
    QCOMPARE(readSpy.all.at(1).name, QString("prog.bin"));

    // busybox announces the size of an upload (tsize): known from the start.
    ProgressLog writeSpy(m_tftp);
    QCOMPARE(runClient("busybox", {"tftp", "-p", "-l", m_client + "/prog.bin", "-r", "prog-up.bin", "127.0.0.1",
                                   "5069"}),
             0);
    QTRY_VERIFY(writeSpy.endedWith(false));
    check(writeSpy.all, true, size);
    QVERIFY2(writeSpy.all.count() >= 50, qPrintable(QString::number(writeSpy.all.count())));

    // Without tsize the total stays unknown until the end.
    ProgressLog rawSpy(m_tftp);
    RawPeer peer;
    peer.send(request(QTftp::WRQ, "raw-up.bin"));
    QCOMPARE(peer.recv(2000), packet(QTftp::ACK, 0));
    for (quint16 b = 1; b <= 196; ++b) {
        const QByteArray chunk = data.mid((b - 1) * 512, 512);
        peer.send(packet(QTftp::DATA, b, chunk));
        QCOMPARE(peer.recv(2000), packet(QTftp::ACK, b));
    }
    QTRY_VERIFY(rawSpy.endedWith(false));
    check(rawSpy.all, true, -1);
    QCOMPARE(readFile(m_root + "/raw-up.bin"), data);

    // tsize is read from the request's options, in any case.
    QString v;
    const QByteArray req = request(QTftp::WRQ, "x") + "TSIZE" + '\0' + "1234" + '\0';
    QVERIFY(QTftp::requestOption(req.constData(), req.size(), "tsize", &v));
    QCOMPARE(v, QString("1234"));
    QVERIFY(!QTftp::requestOption(req.constData(), req.size() - 1, "tsize", &v));  // value not terminated
    const QByteArray plain = request(QTftp::RRQ, "x");
    QVERIFY(!QTftp::requestOption(plain.constData(), plain.size(), "tsize", &v));
}

void TstTftpServer::pastBlock65535_data()
{
    QTest::addColumn<QString>("client");
    QTest::newRow("busybox") << QString("busybox");
    QTest::newRow("tftp-hpa") << QString("tftp-hpa");
}

void TstTftpServer::pastBlock65535()
{
    QFETCH(QString, client);
    const bool busybox = client == "busybox";
    if (busybox ? !m_haveBusybox : !m_haveHpa)
        QSKIP(qPrintable(client + " is not installed"));
    const QString name = "wrap-" + client + ".bin";
    const QString upName = "up-" + name;
    const QString src = m_root + "/" + name;
    const QString local = m_client + "/" + name;
    QVERIFY(writeRandomFile(src, kWrapSize, 65537));
    const QByteArray want = md5Of(src);
    QueuedSpy sent(m_tftp, &QTftp::fileSent);
    QueuedSpy received(m_tftp, &QTftp::fileReceived);
    const int limitMs = 300000;  // far slower on a loaded machine or under wine

    QElapsedTimer t;
    t.start();
    if (busybox) {
        QCOMPARE(runClient("busybox", {"tftp", "-g", "-r", name, "-l", local, "127.0.0.1", "5069"}, QString(), limitMs), 0);
    } else {
        runClient("tftp", {"-m", "binary", "127.0.0.1", "5069", "-c", "get", name, local}, QString(), limitMs);
    }
    const qint64 getMs = t.restart();
    QCOMPARE(QFileInfo(local).size(), kWrapSize);
    QCOMPARE(md5Of(local), want);
    QTRY_COMPARE(sent.count(), 1);
    QCOMPARE(sent.at(0).at(0).toString(), name);

    if (busybox) {
        QCOMPARE(runClient("busybox", {"tftp", "-p", "-l", local, "-r", upName, "127.0.0.1", "5069"}, QString(), limitMs), 0);
    } else {
        runClient("tftp", {"-m", "binary", "127.0.0.1", "5069", "-c", "put", local, upName}, QString(), limitMs);
    }
    const qint64 putMs = t.elapsed();
    QTRY_COMPARE(received.count(), 1);
    QCOMPARE(received.at(0).at(0).toString(), upName);
    QCOMPARE(QFileInfo(m_root + "/" + upName).size(), kWrapSize);
    QCOMPARE(md5Of(m_root + "/" + upName), want);
    qInfo("%s: %lld bytes, get %lld ms, put %lld ms", qPrintable(client), kWrapSize, getMs, putMs);
    // The private /tmp is memory.
    QFile::remove(src);
    QFile::remove(local);
    QFile::remove(m_root + "/" + upName);
}

QTEST_MAIN(TstTftpServer)
#include "tst_tftpserver.moc"

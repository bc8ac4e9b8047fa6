#ifndef QTFTP_H
#define QTFTP_H

// TFTP server engine (RFC 1350, octet transfers, 512-byte blocks) on UDP port
// 5069. It serves one request at a time from that one socket, in a blocking
// loop that runs in the engine's own thread; the loop waits in short slices
// so a stop ends it within a fraction of a second, even mid-transfer.

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <atomic>

#include "tftpprogress.h"

class QFile;
class QThread;
class QUdpSocket;

class QTftp : public QObject
{
    Q_OBJECT
public:
    static const quint16 kPort = 5069;
    enum Opcode { RRQ = 1, WRQ = 2, DATA = 3, ACK = 4, ERROR = 5 };

    // No parent: the engine moves to its own thread.
    QTftp();
    ~QTftp() override;

    // Directory that request names are resolved in, native or '/' separators.
    // Set it while stopped.
    void setRootDir(const QString &dir);
    QString rootDir() const { return m_root; }

    // Start and stop from the thread that created the engine. stop() returns
    // once the loop has ended and the socket is closed; the thread is left
    // ready for the next start().
    void start();
    void stop();
    bool isRunning() const;

    // Whether a request may use this name: a plain file name directly in the
    // root, nothing that could reach outside it on Windows or Linux.
    static bool isSafeName(const QString &name);
    // The file a request names, directly in the root; empty when refused.
    QString filePath(const QString &name) const;
    // The file name of a read or write request (opcode, name, 0, mode, 0);
    // false when the name is not terminated inside the packet.
    static bool requestFileName(const char *packet, qint64 len, QString *name);
    static QString errorText(int code);
    // The value of a request option (RFC 2347, such as "tsize"), matched
    // without regard to case; false when the request does not carry it.
    static bool requestOption(const char *packet, qint64 len, const char *option, QString *value);

    // Read and write requests from any other address get ERROR 2. A null
    // address lets every host in. Safe to call while the server runs.
    void setAllowedPeer(const QHostAddress &peer);
    // A second host let in beside the allowed one (the gateway a site
    // operation works on); null: none. No effect while every host is let in.
    void setSitePeer(const QHostAddress &peer);
    bool peerAllowed(const QHostAddress &peer) const;

signals:
    void startfileDownlaod(QString);
    void fileSent(QString);
    void fileReceived(QString);
    void doServer();
    void error(int);
    void progress(int);
    void send(bool);
    void refused(QString peer);
    // Bytes, total, rate and remaining time of the transfer in progress,
    // throttled (see TransferMeter); the last one of a transfer is finished.
    void transferProgress(TftpProgress);

public slots:
    void server();

private:
    enum WaitResult { Got, Timeout, Stopped, PeerAborted };
    qint64 receive(char *buf, qint64 max, int ms, QHostAddress *from, quint16 *fromPort);
    WaitResult waitAck(quint16 block);
    bool sendBlock(qint64 len, quint16 block);
    void serveRead(qint64 len);
    void serveWrite(qint64 len);
    void sendError(int code);
    void sendAck(quint16 block);
    bool requestName(qint64 len, QString *name);
    void beginProgress(const QString &name, bool upload, qint64 total);
    void stepProgress(qint64 bytes, bool finished = false);
    // A transfer that ended without its last report broke off: say so.
    void closeProgress();

    QThread *m_thread;
    QUdpSocket *m_socket = nullptr;
    QHostAddress m_peer;
    quint16 m_peerPort = 0;
    char m_buf[516];        // requests, outgoing DATA, incoming DATA
    char m_ackBuf[516];     // incoming ACKs (and ERRORs: Windows refuses a datagram larger than the buffer), so a block can be resent
    QString m_root;
    std::atomic<bool> m_stop{false};
    std::atomic<quint32> m_allowedPeer{0};  // IPv4; 0: any host
    std::atomic<quint32> m_sitePeer{0};     // IPv4; 0: none
    QElapsedTimer m_clock;
    TransferMeter m_meter;
    TftpProgress m_progress;
    bool m_progressOpen = false;
    // The last finished upload, to re-acknowledge its final block when that
    // acknowledgement was lost and the client sends the block again.
    QHostAddress m_lastWritePeer;
    quint16 m_lastWritePort = 0;
    quint16 m_lastWriteBlock = 0;
};

#endif // QTFTP_H

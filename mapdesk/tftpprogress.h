#ifndef TFTPPROGRESS_H
#define TFTPPROGRESS_H

#include <QMetaType>
#include <QString>

// Where one TFTP transfer stands, as the engine reports it to the panel.
struct TftpProgress {
    QString name;
    bool upload = false;      // the peer pushes a file to us (write request)
    qint64 bytes = 0;         // moved so far
    qint64 total = -1;        // -1 while unknown (an upload without tsize)
    double bytesPerSec = 0;   // average since the transfer began
    qint64 remainingMs = -1;  // -1 while unknown
    bool finished = false;
    bool failed = false;      // the transfer broke off (timeout, peer's error, stop)

    int percent() const { return total > 0 ? int(qMin<qint64>(100, bytes * 100 / total)) : -1; }
    // "发送 a.bin: 48.8 KB / 97.7 KB, 120.5 KB/s, 剩余 1 s"
    QString text() const;
};
Q_DECLARE_METATYPE(TftpProgress)

// Rate and remaining time of one transfer, and when the next report is due:
// at the start, whenever the whole percent changes (known size), at least
// every kMinGapMs otherwise, and at the end. Times are passed in, so the
// decisions can be checked without a clock.
class TransferMeter
{
public:
    static const qint64 kMinGapMs = 200;

    void start(qint64 total, qint64 nowMs);
    // Takes the new byte count; true when a report should go out now.
    bool update(qint64 bytes, qint64 nowMs);
    void fill(TftpProgress *p, qint64 nowMs) const;
    static QString sizeText(qint64 bytes);

private:
    qint64 m_total = -1;
    qint64 m_bytes = 0;
    qint64 m_startMs = 0;
    qint64 m_lastReportMs = 0;
    int m_lastPercent = -1;
};

#endif // TFTPPROGRESS_H

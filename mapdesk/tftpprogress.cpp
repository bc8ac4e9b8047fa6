#include "tftpprogress.h"

#include <QtMath>

QString TransferMeter::sizeText(qint64 bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(bytes);
    if (bytes < 1024 * 1024)
        return QStringLiteral("%1 KB").arg(double(bytes) / 1024, 0, 'f', 1);
    return QStringLiteral("%1 MB").arg(double(bytes) / (1024 * 1024), 0, 'f', 2);
}

QString TftpProgress::text() const
{
    QString s = (upload ? QStringLiteral("接收 ") : QStringLiteral("发送 ")) + name + QStringLiteral(": ")
                + TransferMeter::sizeText(bytes);
    if (total >= 0)
        s += QStringLiteral(" / ") + TransferMeter::sizeText(total);
    if (bytesPerSec > 0)
        s += QStringLiteral(", ") + TransferMeter::sizeText(qint64(bytesPerSec)) + QStringLiteral("/s");
    if (finished)
        s += QStringLiteral(", 完成");
    else if (failed)
        s += QStringLiteral(", 中断");
    else if (remainingMs >= 0)
        s += QStringLiteral(", 剩余 %1 s").arg((remainingMs + 999) / 1000);
    return s;
}

void TransferMeter::start(qint64 total, qint64 nowMs)
{
    m_total = total;
    m_bytes = 0;
    m_startMs = nowMs;
    m_lastReportMs = nowMs;
    m_lastPercent = total > 0 ? 0 : -1;
}

bool TransferMeter::update(qint64 bytes, qint64 nowMs)
{
    m_bytes = bytes;
    bool due = nowMs - m_lastReportMs >= kMinGapMs;
    if (m_total > 0) {
        const int percent = int(qMin<qint64>(100, bytes * 100 / m_total));
        if (percent != m_lastPercent)
            due = true;
        if (due)
            m_lastPercent = percent;
    }
    if (due)
        m_lastReportMs = nowMs;
    return due;
}

void TransferMeter::fill(TftpProgress *p, qint64 nowMs) const
{
    p->bytes = m_bytes;
    p->total = m_total;
    const qint64 elapsed = nowMs - m_startMs;
    // Under a millisecond nothing sensible can be said about the rate.
    p->bytesPerSec = elapsed > 0 ? double(m_bytes) * 1000.0 / double(elapsed) : 0;
    if (m_total >= 0 && p->bytesPerSec > 0)
        p->remainingMs = qMax<qint64>(0, qint64(double(m_total - m_bytes) * 1000.0 / p->bytesPerSec));
    else if (m_total >= 0 && m_bytes >= m_total)
        p->remainingMs = 0;
    else
        p->remainingMs = -1;
}

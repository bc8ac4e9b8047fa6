#ifndef QUEUEDSPY_H
#define QUEUEDSPY_H

// QSignalSpy records in the thread that emits, and its list is not safe to
// read or clear from another one. The TFTP server and the SSH shell emit from
// threads of their own: this spy takes each emission in the thread that made
// it (queued), where the test reads it, with the same list-like use.

#include <QCoreApplication>
#include <QList>
#include <QObject>
#include <QTest>
#include <QVariant>

template <typename Sender, typename... Args>
class QueuedSpy : public QList<QList<QVariant>>
{
public:
    QueuedSpy(const Sender *sender, void (Sender::*signal)(Args...))
    {
        QObject::connect(
            sender, signal, &m_context, [this](Args... a) { append(QList<QVariant>{QVariant::fromValue(a)...}); },
            Qt::QueuedConnection);
    }
    QueuedSpy(const QueuedSpy &) = delete;
    QueuedSpy &operator=(const QueuedSpy &) = delete;

    // True when one more emission arrives within ms.
    bool wait(int ms = 5000)
    {
        const int before = size();
        return QTest::qWaitFor([&] { return size() > before; }, ms);
    }
    // The count once what the sender has already posted has been taken.
    int settled()
    {
        QCoreApplication::processEvents();
        return size();
    }

private:
    QObject m_context;
};

#endif // QUEUEDSPY_H

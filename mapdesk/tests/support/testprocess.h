#ifndef TESTPROCESS_H
#define TESTPROCESS_H

// Ends a peer a test started: SIGTERM, then SIGKILL when it does not go.

#include <QProcess>

inline void stopProcess(QProcess &p, int termMs = 3000)
{
    if (p.state() == QProcess::NotRunning)
        return;
    p.terminate();
    if (!p.waitForFinished(termMs)) {
        p.kill();
        p.waitForFinished(2000);
    }
}

#endif // TESTPROCESS_H

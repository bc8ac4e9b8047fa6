#ifndef STATUSBARPROGRESS_H
#define STATUSBARPROGRESS_H

// What runs shows in the status bar whichever tab the engineer is on: the
// current step of a remote flow, and a TFTP transfer's progress (a 50 s
// upload is started from another tab than the TFTP panel's).

#include <QObject>

class ElidedLabel;
class QProgressBar;
class QStatusBar;
class QTimer;
class QtftpWidget;
class RemoteFlowRunner;

class StatusBarProgress : public QObject
{
    Q_OBJECT
public:
    StatusBarProgress(QStatusBar *bar, RemoteFlowRunner *runner, QtftpWidget *tftp, QObject *parent = nullptr);

private:
    ElidedLabel *m_step;
    ElidedLabel *m_transferText;
    QProgressBar *m_transfer;
    QTimer *m_hideTransfer;
};

#endif // STATUSBARPROGRESS_H

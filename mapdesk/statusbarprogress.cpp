#include "statusbarprogress.h"

#include "elidedlabel.h"
#include "qtftpwidget.h"
#include "remoteflows.h"
#include "tftpprogress.h"
#include "utf8text.h"

#include <QProgressBar>
#include <QStatusBar>
#include <QTimer>

StatusBarProgress::StatusBarProgress(QStatusBar *bar, RemoteFlowRunner *runner, QtftpWidget *tftp, QObject *parent)
    : QObject(parent)
    , m_step(new ElidedLabel(bar))
    , m_transferText(new ElidedLabel(bar))
    , m_transfer(new QProgressBar(bar))
    , m_hideTransfer(new QTimer(this))
{
    m_transfer->setObjectName("statusTransferBar");
    m_transfer->setMaximumWidth(160);
    m_transfer->setTextVisible(true);
    m_transfer->hide();
    m_transferText->setObjectName("statusTransferLabel");
    m_transferText->setPreferredWidth(280);
    m_transferText->hide();
    bar->addPermanentWidget(m_transferText);
    bar->addPermanentWidget(m_transfer);
    m_hideTransfer->setSingleShot(true);
    connect(m_hideTransfer, &QTimer::timeout, m_transfer, &QWidget::hide);
    connect(m_hideTransfer, &QTimer::timeout, m_transferText, &QWidget::hide);
    connect(tftp, &QtftpWidget::sigTransferProgress, this, [this](TftpProgress p) {
        m_hideTransfer->stop();
        m_transfer->setRange(0, p.total > 0 || p.finished ? 100 : 0);
        m_transfer->setValue(p.finished ? 100 : qMax(0, p.percent()));
        m_transferText->setFullText(p.text());
        m_transfer->show();
        m_transferText->show();
        if (p.finished || p.failed)
            m_hideTransfer->start(5000);
    });

    m_step->setObjectName("flowStepLabel");
    m_step->setPreferredWidth(320);
    m_step->hide();
    bar->addPermanentWidget(m_step);
    connect(runner, &RemoteFlowRunner::stepStarted, m_step, [this](int index, int count, const QString &text) {
        m_step->setFullText(u("步骤") + QString::number(index + 1) + "/" + QString::number(count) + ": " + text);
        m_step->show();
    });
    connect(runner, &RemoteFlowRunner::busyChanged, m_step, [this, runner]() {
        if (runner->pendingCode() == RemoteFlows::None)
            m_step->hide();
    });
}

#ifndef QTFTPWIDGET_H
#define QTFTPWIDGET_H

// Panel of the tool's TFTP server: root directory, start/stop, progress.
// It tells the main window when the gateway has pulled a file from the root
// (sigSendOneFile) or pushed one into it (sigRcvOneFile).

#include <QString>
#include <QWidget>

#include "tftpprogress.h"

class QCheckBox;
class QTftp;

namespace Ui {
class QtftpWidget;
}

class QtftpWidget : public QWidget
{
    Q_OBJECT
public:
    explicit QtftpWidget(QWidget *parent = nullptr);
    ~QtftpWidget() override;

    QString rootDir() const;
    bool isServerRunning() const;
    // The selected gateway: the only host the server serves, unless the
    // panel's "any host" box is ticked. Empty: no gateway, any host.
    void setGatewayHost(const QString &ip);
    // The gateway a site operation works on, let in beside the selected one; empty: none.
    void setSiteHost(const QString &ip);

signals:
    void sigTftpRootDirChanged();
    void sigRcvOneFile(QString fileName);
    void sigSendOneFile(QString fileName);
    // The engine's progress reports, for displays outside the panel.
    void sigTransferProgress(TftpProgress p);

public slots:
    void startServer();
    void setRoot();
    void startDownload(QString name);
    void sent(QString name);
    void received(QString name);
    void error(int code);
    void enableServer(QString path);
    // Bar and text (bytes, rate, remaining time) of the transfer in progress.
    void showProgress(TftpProgress p);

private:
    Ui::QtftpWidget *ui;
    void applyPeerRule();

    QTftp *m_tftp;
    QCheckBox *m_anyHost = nullptr;
    QString m_gatewayHost;
public:
    QTftp *engine() const { return m_tftp; }
};

#endif // QTFTPWIDGET_H

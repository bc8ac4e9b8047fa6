#include "qtftpwidget.h"
#include "ui_qtftpwidget.h"

#include "qtftp.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QHostAddress>
#include <QLayout>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QStandardPaths>

QtftpWidget::QtftpWidget(QWidget *parent)
    : QWidget(parent), ui(new Ui::QtftpWidget), m_tftp(new QTftp)
{
    ui->setupUi(this);

    connect(ui->start, &QPushButton::clicked, this, &QtftpWidget::startServer);
    connect(ui->browse, &QPushButton::clicked, this, &QtftpWidget::setRoot);
    connect(ui->root, &QLineEdit::textChanged, this, &QtftpWidget::enableServer);
    connect(m_tftp, &QTftp::fileSent, this, &QtftpWidget::sent);
    connect(m_tftp, &QTftp::fileReceived, this, &QtftpWidget::received);
    connect(m_tftp, &QTftp::error, this, &QtftpWidget::error);
    connect(m_tftp, &QTftp::startfileDownlaod, this, &QtftpWidget::startDownload);
    connect(m_tftp, &QTftp::send, ui->progressBar, &QProgressBar::setEnabled);
    connect(m_tftp, &QTftp::progress, ui->progressBar, &QProgressBar::setValue);
    connect(m_tftp, &QTftp::transferProgress, this, &QtftpWidget::showProgress);
    connect(m_tftp, &QTftp::transferProgress, this, &QtftpWidget::sigTransferProgress);

    // While a gateway is selected only it may use the server, unless allowed here.
    m_anyHost = new QCheckBox(QStringLiteral("允许任何主机访问"), ui->servergroup);
    m_anyHost->setObjectName("anyHostCheckBox");
    m_anyHost->setToolTip(QStringLiteral("不勾选时, 只有所选网关可以从TFTP根目录取文件或向其写文件"));
    if (ui->servergroup->layout())
        ui->servergroup->layout()->addWidget(m_anyHost);
    connect(m_anyHost, &QCheckBox::toggled, this, &QtftpWidget::applyPeerRule);
    connect(m_tftp, &QTftp::refused, this, [this](const QString &peer) {
        ui->statusLabel->setText(QStringLiteral("拒绝来自") + peer + QStringLiteral("的TFTP请求"));
    });

    // The packages and fetched files live beside the program by default; in
    // the user's documents where that folder cannot be made (the program
    // unzipped under C:\Program Files, writable only with elevation).
    QString dir = QCoreApplication::applicationDirPath() + "/data";
    if (!QDir().mkpath(dir)) {
        dir = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) + "/mapdesk/data";
        QDir().mkpath(dir);
    }
    QDir::setCurrent(dir);
    ui->root->setText(QDir::toNativeSeparators(dir));  // enableServer() announces the root once
}

QtftpWidget::~QtftpWidget()
{
    delete m_tftp;  // stops the server and waits for its thread
    delete ui;
}

void QtftpWidget::setGatewayHost(const QString &ip)
{
    m_gatewayHost = ip;
    applyPeerRule();
}

void QtftpWidget::setSiteHost(const QString &ip)
{
    m_tftp->setSitePeer(ip.isEmpty() ? QHostAddress() : QHostAddress(ip));
}

void QtftpWidget::applyPeerRule()
{
    const QHostAddress gw(m_gatewayHost);
    m_tftp->setAllowedPeer(m_anyHost->isChecked() || m_gatewayHost.isEmpty() ? QHostAddress() : gw);
}

QString QtftpWidget::rootDir() const
{
    // With '/' only, so that root + "/" + name is one path on Windows too,
    // whether the engineer typed "C:\tftp\" or chose the folder.
    const QString text = ui->root->text();
    return text.isEmpty() ? text : QDir::cleanPath(QDir::fromNativeSeparators(text));
}

bool QtftpWidget::isServerRunning() const
{
    return m_tftp->isRunning();
}

void QtftpWidget::startServer()
{
    if (m_tftp->isRunning()) {
        m_tftp->stop();
        ui->progressBar->reset();
        ui->start->setText(QStringLiteral("开启tftp服务"));
        ui->statusLabel->setText(QStringLiteral("Server stopped"));
    } else {
        // Requests are served from the directory shown, whatever the process's
        // current directory is at the time.
        m_tftp->setRootDir(QDir(rootDir()).absolutePath());
        m_tftp->start();
        ui->progressBar->reset();
        ui->start->setText(QStringLiteral("停止tftp服务"));
        ui->statusLabel->setText(QStringLiteral("Server started"));
    }
    const bool stopped = !m_tftp->isRunning();
    ui->root->setEnabled(stopped);
    ui->browse->setEnabled(stopped);
}

void QtftpWidget::setRoot()
{
    const QString dir = QFileDialog::getExistingDirectory(this, QString(), ui->root->text(),
                                                          QFileDialog::ShowDirsOnly);
    if (dir.isEmpty() || !QFileInfo(dir).isDir())
        return;
    QDir::setCurrent(dir);
    ui->root->setText(QDir::toNativeSeparators(dir));
    emit sigTftpRootDirChanged();
}

void QtftpWidget::startDownload(QString name)
{
    ui->statusLabel->setText(QStringLiteral("开始下载") + name);
}

void QtftpWidget::sent(QString name)
{
    ui->statusLabel->setText(QStringLiteral("发送") + name + QStringLiteral("成功"));
    ui->progressBar->setRange(0, 100);
    ui->progressBar->reset();
    emit sigSendOneFile(name);
}

void QtftpWidget::received(QString name)
{
    ui->statusLabel->setText(QStringLiteral("接收") + name + QStringLiteral("成功"));
    emit sigRcvOneFile(name);
}

void QtftpWidget::error(int code)
{
    QString text;
    switch (code) {
    case 0: return;
    case 1: text = QStringLiteral("Operation timed out"); break;
    case 2: text = QStringLiteral("Failed to bind socket\nMaybe it's already bound or you need root privileges"); break;
    case 4: text = QStringLiteral("Network Error"); break;
    default: text = QStringLiteral("Error"); break;
    }
    QMessageBox::critical(this, QStringLiteral("Error"), text);
}

void QtftpWidget::enableServer(QString path)
{
    ui->start->setEnabled(QFileInfo(path).isDir());
    emit sigTftpRootDirChanged();
}

void QtftpWidget::showProgress(TftpProgress p)
{
    if (p.finished) {
        ui->progressBar->setRange(0, 100);
        ui->progressBar->setValue(100);
    } else if (p.failed) {
        ui->progressBar->setRange(0, 100);  // stays where it broke off
    } else if (p.total > 0) {
        ui->progressBar->setRange(0, 100);
        ui->progressBar->setValue(p.percent());
    } else {
        ui->progressBar->setRange(0, 0);  // size unknown: busy
    }
    ui->progressBar->setEnabled(true);
    ui->progressLabel->setText(p.text());
}

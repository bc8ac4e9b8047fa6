// Transfer rate of the tool's TFTP server against tftpd-hpa, both driven by
// the same busybox tftp client over loopback (512-byte blocks, lock-step).
// Port 5069 is fixed, so the program re-runs itself in a private network and
// mount namespace (root needed). Prints MB/s per server and the ratio.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QThread>
#include <QUdpSocket>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "qtftp.h"

namespace {
const int kFileBytes = 4 * 1024 * 1024;
const int kRuns = 3;

bool runClient(const QStringList &args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start("busybox", QStringList{"tftp"} + args);
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished(2000);
        return false;
    }
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// Best of kRuns, in MB/s; 0 when a transfer failed.
double rate(bool get, const QString &client, const QString &serverDir)
{
    std::vector<double> mbs;
    for (int i = 0; i < kRuns; ++i) {
        QElapsedTimer t;
        t.start();
        bool ok;
        if (get) {
            ok = runClient({"-g", "-r", "bench.bin", "-l", client + "/got.bin", "127.0.0.1", "5069"});
            ok = ok && QFileInfo(client + "/got.bin").size() == kFileBytes;
        } else {
            QFile::remove(serverDir + "/up.bin");
            ok = runClient({"-p", "-l", client + "/src.bin", "-r", "up.bin", "127.0.0.1", "5069"});
            QThread::msleep(50);
            ok = ok && QFileInfo(serverDir + "/up.bin").size() == kFileBytes;
        }
        if (!ok)
            return 0;
        mbs.push_back(kFileBytes / 1e6 / (t.nsecsElapsed() / 1e9));
    }
    return *std::max_element(mbs.begin(), mbs.end());
}

bool portFree()
{
    QUdpSocket s;
    return s.bind(QHostAddress::AnyIPv4, 5069);
}
}

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("TFTP_RATE_INNER")) {
        qputenv("TFTP_RATE_INNER", "1");
        QProcess p;
        p.setProcessChannelMode(QProcess::ForwardedChannels);
        p.start("unshare", {"-n", "-m", "--", "sh", "-c",
                            // tftpd-hpa resolves its bind address with AI_ADDRCONFIG, which
                            // wants one non-loopback address: a veth pair inside the namespace gives it.
                            "ip link set lo up && ip link add trbench0 type veth peer name trbench1 && "
                            "ip addr add 10.200.77.1/24 dev trbench0 && ip link set trbench0 up && ip link set trbench1 up && "
                            "mount -t tmpfs tmpfs /tmp && exec \"$0\"",
                            QString::fromLocal8Bit(argv[0])});
        if (!p.waitForStarted(5000) || !p.waitForFinished(600000)) {
            std::fprintf(stderr, "tftp_rate: cannot run in a private namespace (root needed)\n");
            return 1;
        }
        return p.exitCode();
    }

    QCoreApplication app(argc, argv);
    const QString base = "/tmp/tftp_rate";
    const QString ours = base + "/ours", hpa = base + "/hpa", client = base + "/client";
    for (const QString &d : {ours, hpa, client})
        QDir().mkpath(d);
    QFile::setPermissions(hpa, QFileDevice::Permissions(0x7777));
    QByteArray data(kFileBytes, Qt::Uninitialized);
    QRandomGenerator gen(1);
    for (int i = 0; i < kFileBytes; ++i)
        data[i] = char(gen.bounded(256));
    for (const QString &f : {ours + "/bench.bin", hpa + "/bench.bin", client + "/src.bin"}) {
        QFile out(f);
        if (!out.open(QIODevice::WriteOnly) || out.write(data) != data.size())
            return 1;
        out.setPermissions(QFileDevice::Permissions(0x7666));
    }

    QTftp engine;
    engine.setRootDir(ours);
    engine.start();
    QThread::msleep(200);
    const double oursGet = rate(true, client, ours);
    const double oursPut = rate(false, client, ours);
    engine.stop();

    if (!portFree()) {
        std::fprintf(stderr, "tftp_rate: port 5069 still bound\n");
        return 1;
    }
    QProcess tftpd;
    tftpd.setProcessChannelMode(QProcess::ForwardedChannels);
    tftpd.start("in.tftpd", {"-L", "-a", "127.0.0.1:5069", "-s", hpa, "-c", "-u", "nobody"});
    if (!tftpd.waitForStarted(5000)) {
        std::fprintf(stderr, "tftp_rate: in.tftpd (tftpd-hpa) not available\n");
        return 1;
    }
    QThread::msleep(200);
    const double hpaGet = rate(true, client, hpa);
    const double hpaPut = rate(false, client, hpa);
    tftpd.terminate();
    tftpd.waitForFinished(3000);

    std::printf("tftp_rate: %d-byte file, busybox tftp client, best of %d runs\n", kFileBytes, kRuns);
    std::printf("  get: ours %.2f MB/s, tftpd-hpa %.2f MB/s, ratio %.2f\n", oursGet, hpaGet,
                hpaGet > 0 ? oursGet / hpaGet : 0.0);
    std::printf("  put: ours %.2f MB/s, tftpd-hpa %.2f MB/s, ratio %.2f\n", oursPut, hpaPut,
                hpaPut > 0 ? oursPut / hpaPut : 0.0);
    return (oursGet > 0 && oursPut > 0 && hpaGet > 0 && hpaPut > 0) ? 0 : 1;
}

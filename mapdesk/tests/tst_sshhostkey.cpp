// needs: namespace
// Host-key pinning against a real OpenSSH server on loopback that is
// restarted with a second host key on the same address and port, as a
// replaced gateway (or someone else answering on its address) would be.
#include <QtTest>

#include <QProcess>
#include <QSettings>
#include <QTcpSocket>
#include <QTemporaryDir>

#include "hostkeystore.h"
#include "sshconnection.h"
#include "testsshd.h"

using namespace QSsh;

namespace {
const int kSshPort = 22023;
const QString kGateway = HostKeyStore::gatewayId("GW0042", "a1b2c3d4");

struct Attempt {
    bool connected = false;
    SshError error = SshNoError;
    QString errorString;
    QStringList unknown;            // fingerprints offered for a first use
    QList<QStringList> changed;     // (pinned, offered)
};
}

class TstSshHostKey : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void firstUseAsksAndStoresOnlyWhenAccepted();
    void sameKeyPassesSilently();
    void changedKeyStopsBeforeLogin();
    void deliberateReplacementPasses();
    void noIdMeansNoCheck();

private:
    bool startSshd(const QString &key);
    // answer: 1 accept, 0 reject a first-use question.
    Attempt attempt(const QString &id, int answer, const QString &password = QString());

    QTemporaryDir m_tmp;
    QString m_user, m_password;
    QString m_keyA, m_keyB, m_fpA, m_fpB;
    QProcess m_sshd;
    QSettings *m_settings = nullptr;
    HostKeyStore *m_store = nullptr;
    bool m_userMade = false;
};

bool TstSshHostKey::startSshd(const QString &key)
{
    return TestSshd::start(m_sshd, m_tmp.path(), kSshPort, key, m_user);
}

void TstSshHostKey::initTestCase()
{
    const QString why = TestSshd::unavailable();
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    QVERIFY(m_tmp.isValid());
    const QString pid = QString::number(QCoreApplication::applicationPid());
    m_user = "mdkey" + pid;
    m_password = "Pw-" + pid + "-k";
    QVERIFY(TestSshd::makeAccount(m_tmp.path(), m_user, m_password));
    m_userMade = true;
    m_keyA = m_tmp.filePath("hostkeyA");
    m_keyB = m_tmp.filePath("hostkeyB");
    QVERIFY(TestSshd::makeHostKey(m_keyA) && TestSshd::makeHostKey(m_keyB));
    m_fpA = TestSshd::fingerprint(m_keyA);
    m_fpB = TestSshd::fingerprint(m_keyB);
    QVERIFY(m_fpA.startsWith("SHA256:"));
    QVERIFY(m_fpB.startsWith("SHA256:") && m_fpB != m_fpA);
    m_settings = new QSettings(m_tmp.filePath("mapdesk.ini"), QSettings::IniFormat);
    m_store = new HostKeyStore(m_settings);
    QVERIFY(startSshd(m_keyA));
}

void TstSshHostKey::cleanupTestCase()
{
    TestSshd::stop(m_sshd);
    delete m_store;
    delete m_settings;
    if (m_userMade)
        QVERIFY(TestSshd::removeAccount(m_user));
}

Attempt TstSshHostKey::attempt(const QString &id, int answer, const QString &password)
{
    SshConnectionParameters params;
    params.host = "127.0.0.1";
    params.port = kSshPort;
    params.userName = m_user;
    params.password = password.isEmpty() ? m_password : password;
    params.timeout = 10;
    params.hostKeyId = id;
    SshConnection conn(params);
    conn.setHostKeyStore(m_store);
    Attempt a;
    bool done = false;
    connect(&conn, &SshConnection::connected, [&] { a.connected = true; done = true; });
    connect(&conn, &SshConnection::error, [&](SshError e) {
        a.error = e;
        a.errorString = conn.errorString();
        done = true;
    });
    connect(&conn, &SshConnection::hostKeyUnknown, [&](const QString &fp) {
        a.unknown << fp;
        // Nothing is pinned while the engineer is asked.
        QVERIFY(m_store->pinned(id).isEmpty());
        QCOMPARE(conn.state(), SshConnection::AwaitingHostKey);
        // Answered later, as a dialog would.
        QTimer::singleShot(50, &conn, [&conn, answer] {
            if (answer)
                conn.acceptHostKey();
            else
                conn.rejectHostKey();
        });
    });
    connect(&conn, &SshConnection::hostKeyChanged, [&](const QString &pinned, const QString &offered) {
        a.changed << QStringList{pinned, offered};
    });
    conn.connectToHost();
    if (!QTest::qWaitFor([&] { return done; }, 15000))
        a.errorString = QStringLiteral("no outcome within 15 s");
    conn.disconnectFromHost();
    return a;
}

void TstSshHostKey::firstUseAsksAndStoresOnlyWhenAccepted()
{
    m_store->forget(kGateway);
    Attempt no = attempt(kGateway, 0);
    QCOMPARE(no.unknown, QStringList{m_fpA});
    QVERIFY(!no.connected);
    QCOMPARE(no.error, SshHostKeyError);
    QVERIFY(m_store->pinned(kGateway).isEmpty());

    Attempt yes = attempt(kGateway, 1);
    QCOMPARE(yes.unknown, QStringList{m_fpA});
    QVERIFY2(yes.connected, qPrintable(yes.errorString));
    QCOMPARE(m_store->pinned(kGateway), m_fpA);
    // Kept in the settings file, not only in memory.
    QSettings reread(m_settings->fileName(), QSettings::IniFormat);
    QVERIFY(reread.allKeys().join(' ').contains("GW0042"));
}

void TstSshHostKey::sameKeyPassesSilently()
{
    QCOMPARE(m_store->pinned(kGateway), m_fpA);
    Attempt a = attempt(kGateway, 0);  // a question would be refused
    QVERIFY2(a.connected, qPrintable(a.errorString));
    QVERIFY(a.unknown.isEmpty());
    QVERIFY(a.changed.isEmpty());
}

void TstSshHostKey::changedKeyStopsBeforeLogin()
{
    TestSshd::stop(m_sshd);
    QVERIFY(startSshd(m_keyB));
    Attempt a = attempt(kGateway, 1);  // even a yes-man is not asked
    QVERIFY(!a.connected);
    QVERIFY(a.unknown.isEmpty());
    QCOMPARE(a.changed.size(), 1);
    QCOMPARE(a.changed[0], (QStringList{m_fpA, m_fpB}));
    QCOMPARE(a.error, SshHostKeyError);
    QVERIFY2(a.errorString.contains(m_fpA) && a.errorString.contains(m_fpB), qPrintable(a.errorString));
    QCOMPARE(m_store->pinned(kGateway), m_fpA);
    // Another gateway (other serial) is unaffected: asked as a first use.
    Attempt other = attempt(HostKeyStore::gatewayId("GW0043", "a1b2c3d4"), 0);
    QCOMPARE(other.unknown, QStringList{m_fpB});
}

void TstSshHostKey::deliberateReplacementPasses()
{
    m_store->pin(kGateway, m_fpB);  // the engineer accepted the replaced gateway's key
    Attempt a = attempt(kGateway, 0);
    QVERIFY2(a.connected, qPrintable(a.errorString));
    QVERIFY(a.unknown.isEmpty() && a.changed.isEmpty());
    // And the old key is now the stranger.
    TestSshd::stop(m_sshd);
    QVERIFY(startSshd(m_keyA));
    Attempt back = attempt(kGateway, 1);
    QVERIFY(!back.connected);
    QCOMPARE(back.changed.value(0), (QStringList{m_fpB, m_fpA}));
}

void TstSshHostKey::noIdMeansNoCheck()
{
    Attempt a = attempt(QString(), 0);
    QVERIFY2(a.connected, qPrintable(a.errorString));
    QVERIFY(a.unknown.isEmpty() && a.changed.isEmpty());
}

QTEST_GUILESS_MAIN(TstSshHostKey)
#include "tst_sshhostkey.moc"

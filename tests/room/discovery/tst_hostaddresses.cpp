#include "hostaddresses.h"

#include <QTest>

using namespace TAVIXLibCtl;

class tst_HostAddresses : public QObject
{
    Q_OBJECT

private slots:
    void addressesToGive_data();
    void addressesToGive();
};

void tst_HostAddresses::addressesToGive_data()
{
    QTest::addColumn<QStringList>("candidates");
    QTest::addColumn<QStringList>("given");

    QTest::newRow("IPv4 comes before IPv6 whatever the interfaces' order")
            << QStringList{"fd12::5", "192.168.1.20", "2a01:4f8::1", "10.0.0.7"}
            << QStringList{"192.168.1.20", "10.0.0.7", "fd12::5", "2a01:4f8::1"};
    QTest::newRow("every private IPv4 range is given")
            << QStringList{"10.1.2.3", "172.16.0.1", "192.168.0.9", "100.64.0.1"}
            << QStringList{"10.1.2.3", "172.16.0.1", "192.168.0.9", "100.64.0.1"};
    QTest::newRow("loopback reaches no one else")
            << QStringList{"127.0.0.1", "::1", "127.1.2.3", "192.0.2.2"}
            << QStringList{"192.0.2.2"};
    QTest::newRow("link-local is left out")
            << QStringList{"169.254.7.1", "fe80::fc:ff:fe00:1%eth0", "fd00::2"}
            << QStringList{"fd00::2"};
    QTest::newRow("multicast, broadcast and unspecified are left out")
            << QStringList{"224.0.0.1", "255.255.255.255", "0.0.0.0", "ff02::1", "::"}
            << QStringList();
    QTest::newRow("site-local and IPv4-mapped IPv6 are left out")
            << QStringList{"fec0::1", "::ffff:192.168.1.20"} << QStringList();
    QTest::newRow("an address on two interfaces is given once")
            << QStringList{"192.168.1.20", "fd12::5", "192.168.1.20", "fd12::5"}
            << QStringList{"192.168.1.20", "fd12::5"};
    QTest::newRow("no address gives none") << QStringList() << QStringList();
}

void tst_HostAddresses::addressesToGive()
{
    QFETCH(QStringList, candidates);
    QFETCH(QStringList, given);

    QList<QHostAddress> addresses;
    for (const QString &text : candidates) {
        addresses.append(QHostAddress(text));
        QVERIFY2(!addresses.constLast().isNull(), qPrintable(text));
    }
    QStringList result;
    for (const QHostAddress &address : TAVIXLibCtl::addressesToGive(addresses))
        result.append(address.toString());
    QCOMPARE(result, given);
}

QTEST_MAIN(tst_HostAddresses)
#include "tst_hostaddresses.moc"

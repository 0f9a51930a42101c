#include "membertable.h"

#include <QtTest>

using TAVIXLibCtl::MemberTable;
using TAVIXLibCtl::MemberValues;

class tst_MemberTable : public QObject
{
    Q_OBJECT

private slots:
    void freeSlotIsTheLowestAndReusedAfterADeparture();
    void presenceIsNeverStored_data();
    void presenceIsNeverStored();
    void vacatingForgetsTheValues();
    void limitsBoundWhatAMemberKeeps();
};

void tst_MemberTable::freeSlotIsTheLowestAndReusedAfterADeparture()
{
    MemberTable table(4);
    table.occupy(0);
    QCOMPARE(table.freeSlot(1), 1);
    table.occupy(1);
    table.occupy(2);
    QCOMPARE(table.freeSlot(1), 3);
    table.vacate(1);
    QCOMPARE(table.freeSlot(1), 1);
    table.occupy(1);
    table.occupy(3);
    QCOMPARE(table.freeSlot(1), -1);
    QCOMPARE(table.presentCount(), 4);
    table.occupy(3); // twice is once
    QCOMPARE(table.presentCount(), 4);
}

void tst_MemberTable::presenceIsNeverStored_data()
{
    QTest::addColumn<int>("slot");
    QTest::addColumn<bool>("occupied");
    QTest::addColumn<QString>("cnt");
    QTest::newRow("a present member reads 1") << 1 << true << QStringLiteral("1");
    QTest::newRow("an empty slot reads 0") << 1 << false << QStringLiteral("0");
    QTest::newRow("a slot outside the room reads 0") << 9 << false << QStringLiteral("0");
    QTest::newRow("a negative slot reads 0") << -1 << false << QStringLiteral("0");
}

void tst_MemberTable::presenceIsNeverStored()
{
    QFETCH(int, slot);
    QFETCH(bool, occupied);
    QFETCH(QString, cnt);
    MemberTable table(3);
    if (occupied)
        table.occupy(slot);
    table.setValue(slot, QStringLiteral("cnt"), QStringLiteral("1"));
    QCOMPARE(table.value(slot, QStringLiteral("cnt")), cnt);
    QCOMPARE(table.value(slot, QStringLiteral("name")), QString());
}

void tst_MemberTable::vacatingForgetsTheValues()
{
    MemberTable table(3);
    table.occupy(2);
    table.setValue(2, QStringLiteral("name"), QStringLiteral("あ"));
    QCOMPARE(table.value(2, QStringLiteral("name")), QStringLiteral("あ"));
    table.vacate(2);
    QCOMPARE(table.value(2, QStringLiteral("name")), QString());
    QCOMPARE(table.presentCount(), 0);
}

void tst_MemberTable::limitsBoundWhatAMemberKeeps()
{
    MemberTable table(2);
    const QString longest(32767, QChar(u'x'));
    QVERIFY(table.fits(1, QStringLiteral("name"), longest));
    table.setValue(1, QStringLiteral("name"), longest);
    QVERIFY(table.fits(1, QStringLiteral("chat"), longest));
    table.setValue(1, QStringLiteral("chat"), longest);
    // Replacing a value counts only the difference.
    QVERIFY(table.fits(1, QStringLiteral("chat"), longest));

    for (int i = 2; i < MemberValues::kMaxKeys; ++i)
        table.setValue(0, QString::number(i), QStringLiteral("v"));
    table.setValue(0, QStringLiteral("a"), QStringLiteral("v"));
    table.setValue(0, QStringLiteral("b"), QStringLiteral("v"));
    QCOMPARE(table.values(0).size(), MemberValues::kMaxKeys);
    QVERIFY(!table.fits(0, QStringLiteral("one more"), QStringLiteral("v")));
    QVERIFY(table.fits(0, QStringLiteral("a"), QStringLiteral("changed")));

    // Long values run into the size limit well before the key limit.
    int more = 0;
    while (table.fits(1, QString::number(more), longest))
        table.setValue(1, QString::number(more++), longest);
    QVERIFY(more > 0);
    QVERIFY(table.values(1).size() < MemberValues::kMaxKeys);
}

QTEST_APPLESS_MAIN(tst_MemberTable)
#include "tst_membertable.moc"

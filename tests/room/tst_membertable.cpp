#include "membertable.h"

#include <QTest>

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
    void aSlotHoldsWhatFitsInTheOrderFirstSet_data();
    void aSlotHoldsWhatFitsInTheOrderFirstSet();
};

namespace {
// "k0=v" .. "k<n-1>=v"
QStringList keys(int n)
{
    QStringList list;
    for (int i = 0; i < n; ++i)
        list << QStringLiteral("k%1=v").arg(i);
    return list;
}
} // namespace

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
    QCOMPARE(int(table.values(0).size()), MemberValues::kMaxKeys);
    QVERIFY(!table.fits(0, QStringLiteral("one more"), QStringLiteral("v")));
    QVERIFY(table.fits(0, QStringLiteral("a"), QStringLiteral("changed")));

    // Long values run into the size limit well before the key limit.
    int more = 0;
    while (table.fits(1, QString::number(more), longest))
        table.setValue(1, QString::number(more++), longest);
    QVERIFY(more > 0);
    QVERIFY(int(table.values(1).size()) < MemberValues::kMaxKeys);
}

void tst_MemberTable::aSlotHoldsWhatFitsInTheOrderFirstSet_data()
{
    // Each change "key=value" is stored when it fits, as the room stores
    // them; "-" vacates the slot.
    QTest::addColumn<QStringList>("changes");
    QTest::addColumn<QStringList>("held");
    QTest::addColumn<bool>("roomForAnotherKey");
    QTest::newRow("a key set again is overwritten in place")
        << QStringList{QStringLiteral("name=a"), QStringLiteral("chat=x"), QStringLiteral("name=b")}
        << QStringList{QStringLiteral("name=b"), QStringLiteral("chat=x")} << true;
    QTest::newRow("the 32nd key is kept and a 33rd refused") << keys(33) << keys(32) << false;
    QTest::newRow("a vacated slot forgets its keys and takes 32 again")
        << keys(32) + QStringList{QStringLiteral("-")} + keys(32) << keys(32) << false;
    QTest::newRow("a removed key reads empty")
        << QStringList{QStringLiteral("name=a"), QStringLiteral("-"), QStringLiteral("chat=x")}
        << QStringList{QStringLiteral("chat=x")} << true;
}

void tst_MemberTable::aSlotHoldsWhatFitsInTheOrderFirstSet()
{
    QFETCH(QStringList, changes);
    QFETCH(QStringList, held);
    QFETCH(bool, roomForAnotherKey);
    MemberTable table(2);
    table.occupy(1);
    for (const QString &change : changes) {
        const QString key = change.section(u'=', 0, 0);
        const QString value = change.section(u'=', 1);
        if (change == QLatin1String("-"))
            table.vacate(1);
        else if (table.fits(1, key, value))
            table.setValue(1, key, value);
    }
    QStringList got;
    for (const auto &[key, value] : table.values(1))
        got << key + u'=' + value;
    QCOMPARE(got, held);
    for (const QString &pair : held)
        QCOMPARE(table.value(1, pair.section(u'=', 0, 0)), pair.section(u'=', 1));
    QCOMPARE(table.value(1, QStringLiteral("name")), held.contains(QStringLiteral("name=b")) ? QStringLiteral("b") : QString());
    QCOMPARE(table.fits(1, QStringLiteral("another"), QStringLiteral("v")), roomForAnotherKey);
}

QTEST_APPLESS_MAIN(tst_MemberTable)
#include "tst_membertable.moc"

#include "membertable.h"

namespace TAVIXLibCtl {

namespace {
const QString kPresenceKey = QStringLiteral("cnt");
}

void MemberTable::reset(int size)
{
    m_slots.assign(size_t(qMax(0, size)), Slot{});
    m_present = 0;
}

bool MemberTable::isPresent(int slot) const
{
    return valid(slot) && m_slots[size_t(slot)].present;
}

int MemberTable::freeSlot(int from) const
{
    for (int i = qMax(0, from); i < size(); ++i) {
        if (!m_slots[size_t(i)].present)
            return i;
    }
    return -1;
}

void MemberTable::occupy(int slot)
{
    if (!valid(slot) || m_slots[size_t(slot)].present)
        return;
    m_slots[size_t(slot)].present = true;
    ++m_present;
}

void MemberTable::vacate(int slot)
{
    if (!valid(slot))
        return;
    Slot &s = m_slots[size_t(slot)];
    if (s.present)
        --m_present;
    s = Slot{};
}

QString MemberTable::value(int slot, const QString &key) const
{
    if (key == kPresenceKey)
        return isPresent(slot) ? QStringLiteral("1") : QStringLiteral("0");
    if (!valid(slot))
        return {};
    return m_slots[size_t(slot)].values.value(key);
}

bool MemberTable::fits(const Values &values, qsizetype units, const QString &key, const QString &value)
{
    const auto it = values.constFind(key);
    if (it == values.cend())
        return values.size() < kMaxKeys && units + unitsOf(key, value) <= kMaxUnits;
    return units - it->size() + value.size() <= kMaxUnits;
}

bool MemberTable::fits(int slot, const QString &key, const QString &value) const
{
    if (!valid(slot))
        return false;
    const Slot &s = m_slots[size_t(slot)];
    return fits(s.values, s.units, key, value);
}

void MemberTable::setValue(int slot, const QString &key, const QString &value)
{
    if (!valid(slot) || key == kPresenceKey)
        return;
    Slot &s = m_slots[size_t(slot)];
    auto it = s.values.find(key);
    if (it == s.values.end()) {
        s.values.insert(key, value);
        s.units += unitsOf(key, value);
    } else {
        s.units += value.size() - it->size();
        *it = value;
    }
}

} // namespace TAVIXLibCtl

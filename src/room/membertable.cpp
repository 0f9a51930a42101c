#include "membertable.h"

#include "memberkeys.h"

namespace TAVIXLibCtl {

QString MemberValues::kept(const QString &key, const QString &value)
{
    if (key != MemberKeys::Name || value.size() <= kMaxName)
        return value;
    const bool pairAtCut = value.at(kMaxName - 1).isHighSurrogate();
    return value.left(pairAtCut ? kMaxName - 1 : kMaxName);
}

qsizetype MemberValues::find(const QString &key) const
{
    for (size_t i = 0; i < m_values.size(); ++i) {
        if (m_values[i].key == key)
            return qsizetype(i);
    }
    return kAbsent;
}

bool MemberValues::fits(qsizetype at, const QString &key, const QString &value) const
{
    if (at == kAbsent)
        return m_values.size() < size_t(kMaxKeys) && m_units + key.size() + value.size() <= kMaxUnits;
    return m_units - m_values[size_t(at)].value.size() + value.size() <= kMaxUnits;
}

void MemberValues::set(qsizetype at, const QString &key, const QString &value)
{
    if (at == kAbsent) {
        m_values.push_back({key, value});
        m_units += key.size() + value.size();
        return;
    }
    QString &held = m_values[size_t(at)].value;
    m_units += value.size() - held.size();
    held = value;
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
    if (key == MemberKeys::Presence)
        return isPresent(slot) ? MemberKeys::Present : MemberKeys::Absent;
    if (!valid(slot))
        return {};
    return m_slots[size_t(slot)].values.value(key);
}

bool MemberTable::fits(int slot, const QString &key, const QString &value) const
{
    return valid(slot) && m_slots[size_t(slot)].values.fits(key, value);
}

void MemberTable::setValue(int slot, const QString &key, const QString &value)
{
    if (valid(slot) && key != MemberKeys::Presence)
        m_slots[size_t(slot)].values.set(key, value);
}

} // namespace TAVIXLibCtl

#pragma once

#include "wirecodec.h"

#include <QHash>
#include <QString>

#include <vector>

namespace TAVIXLibCtl {

// One member's values, kept within limits so that no member can grow a
// host's memory.
class MemberValues
{
public:
    using Values = QHash<QString, QString>;

    static constexpr int kMaxKeys = 32;
    // UTF-16 units over all keys and values: three keys with values at their
    // longest, a name and a chat line among them.
    static constexpr qsizetype kMaxUnits = 3 * 2 * (Wire::kMaxText + 1);

    // Whether storing key=value keeps the member within its limits.
    bool fits(const QString &key, const QString &value) const;
    void set(const QString &key, const QString &value);
    QString value(const QString &key) const { return m_values.value(key); }
    const Values &all() const { return m_values; }

private:
    Values m_values;
    qsizetype m_units = 0;
};

// The values of every slot of a room. "cnt" is not stored: it reads "1" while
// the slot holds a member and "0" otherwise.
class MemberTable
{
public:
    using Values = MemberValues::Values;

    explicit MemberTable(int size = 0) { reset(size); }

    void reset(int size);
    int size() const { return int(m_slots.size()); }
    int presentCount() const { return m_present; }

    bool isPresent(int slot) const;
    // Lowest free slot at or above `from`, or -1 when the room is full.
    int freeSlot(int from = 0) const;
    void occupy(int slot);
    // Empties the slot, values and all.
    void vacate(int slot);

    QString value(int slot, const QString &key) const;
    const Values &values(int slot) const { return m_slots.at(size_t(slot)).values.all(); }
    bool fits(int slot, const QString &key, const QString &value) const;
    void setValue(int slot, const QString &key, const QString &value);

private:
    struct Slot
    {
        bool present = false;
        MemberValues values;
    };
    bool valid(int slot) const { return slot >= 0 && slot < size(); }

    std::vector<Slot> m_slots;
    int m_present = 0;
};

} // namespace TAVIXLibCtl

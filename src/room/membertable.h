#pragma once

#include <QHash>
#include <QString>

#include <vector>

namespace TAVIXLibCtl {

// The values of every slot of a room. "cnt" is not stored: it reads "1" while
// the slot holds a member and "0" otherwise.
class MemberTable
{
public:
    using Values = QHash<QString, QString>;

    // What one member may keep, so that no member can grow a host's memory.
    static constexpr int kMaxKeys = 32;
    static constexpr qsizetype kMaxUnits = 3 * 65536; // UTF-16 units, keys and values

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
    const Values &values(int slot) const { return m_slots.at(size_t(slot)).values; }
    // Whether storing key=value keeps the slot within its limits.
    bool fits(int slot, const QString &key, const QString &value) const;
    void setValue(int slot, const QString &key, const QString &value);

    static bool fits(const Values &values, qsizetype units, const QString &key, const QString &value);
    static qsizetype unitsOf(const QString &key, const QString &value) { return key.size() + value.size(); }

private:
    struct Slot
    {
        bool present = false;
        Values values;
        qsizetype units = 0;
    };
    bool valid(int slot) const { return slot >= 0 && slot < size(); }

    std::vector<Slot> m_slots;
    int m_present = 0;
};

} // namespace TAVIXLibCtl

#pragma once

#include "wirecodec.h"

#include <QString>

#include <vector>

namespace TAVIXLibCtl {

// One member's values, kept within limits so that no member can grow a
// host's memory. A member holds a handful of keys: a short vector searched
// with == beats hashing every line's key.
class MemberValues
{
public:
    struct Value
    {
        QString key;
        QString value;
    };
    // In the order the keys were first set.
    using Values = std::vector<Value>;

    static constexpr int kMaxKeys = 32;
    // UTF-16 units over all keys and values: three keys with values at their
    // longest, a name and a chat line among them.
    static constexpr qsizetype kMaxUnits = 3 * 2 * (Wire::kMaxText + 1);
    // What find() gives for a key not held.
    static constexpr qsizetype kAbsent = -1;
    // A name is shown in every line about its member: it is kept short.
    static constexpr qsizetype kMaxName = 64;

    // `value` as it is kept under `key`: a name cut to kMaxName UTF-16 units,
    // before a surrogate pair rather than through it; any other value whole.
    static QString kept(const QString &key, const QString &value);

    // Where `key` is held, or kAbsent: found once for both fits() and set().
    qsizetype find(const QString &key) const;
    // Whether storing key=value, `key` being at `at`, keeps the member within its limits.
    bool fits(qsizetype at, const QString &key, const QString &value) const;
    // Stores key=value, `key` being at `at`: in place when held, else added.
    void set(qsizetype at, const QString &key, const QString &value);

    bool fits(const QString &key, const QString &value) const { return fits(find(key), key, value); }
    void set(const QString &key, const QString &value) { set(find(key), key, value); }
    QString value(const QString &key) const { return valueAt(find(key)); }
    // The value at `at`; empty when absent.
    QString valueAt(qsizetype at) const { return at == kAbsent ? QString() : m_values[size_t(at)].value; }
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
    // A slot's values, to look a key up once for a check and a store; null
    // outside the room. Presence is the caller's to keep out.
    MemberValues *slotValues(int slot) { return valid(slot) ? &m_slots[size_t(slot)].values : nullptr; }

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

#pragma once

#include <QList>
#include <QString>
#include <optional>

// The distinct manual sends of this run, newest first, kept in memory only
// (serial consoles carry passwords). Stepping through them works as a shell's
// history does: older and newer from where the stepping stands, and past the
// newest back to what was being typed.
class RecentSends
{
public:
    struct Entry {
        QString text;
        bool hex = false;
        bool operator==(const Entry &) const = default;
    };
    static constexpr int kMax = 50;

    // A send: it becomes the newest (moved there when it was in the list), and
    // stepping starts again from the top.
    void add(const Entry &e);
    const QList<Entry> &entries() const { return m_entries; }

    // The next older entry, or nothing at the oldest. draft is what the send box
    // holds now; it is kept when the stepping starts, to come back at the end.
    std::optional<Entry> older(const Entry &draft);
    // The next newer entry; past the newest, the draft; nothing when not stepping.
    std::optional<Entry> newer();
    // The box was changed by hand: stepping starts again from the top.
    void stopStepping() { m_at = -1; }

private:
    QList<Entry> m_entries;
    int m_at = -1; // the entry the box shows; -1: not stepping
    Entry m_draft;
};

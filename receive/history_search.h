#pragma once

#include "receive/document_snapshot.h"
#include "receive/text_search.h"

#include <QObject>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

// Where a search looks: down, the first match starting at or after origin; up,
// the last match ending at or before origin.
struct SearchFrom {
    bool down = true;
    qint64 origin = 0;
};

// The match nearest origin in pieces [first, end) of the snapshot: in a piece,
// or starting in one and running on past its end. -1 when there is none, or
// when stop was set before one was found. done counts the characters looked at.
qint64 searchPieces(const DocumentSnapshot &snapshot, DocumentSnapshot::Reader &reader,
                    const TextNeedle &needle, SearchFrom from, std::size_t first, std::size_t end,
                    const std::atomic<bool> &stop, std::atomic<qint64> &done);

// Searches a snapshot of the receive box's content on threads of its own, so
// the window goes on receiving, painting and answering; the answer comes on the
// window's thread. A long history is cut into stretches that the threads take
// in turn, nearest the origin first; a match in one stretch is answered once
// every stretch before it is done. Each thread holds at most two blocks of
// each kind read back from the temporary file.
class HistorySearch : public QObject
{
    Q_OBJECT

public:
    // Stretches are a sixteenth of the range, within these bounds.
    static constexpr qint64 kStretchChars = qint64(64) << 20;
    static constexpr qint64 kMinStretchChars = qint64(4) << 20;

    // Blocks of the history the search holds in memory at most, all told.
    static constexpr int blocksHeld(int threads)
    {
        return 2 * threads + 2;
    } // and the copies of the open blocks

    explicit HistorySearch(QObject *parent = nullptr);
    ~HistorySearch() override;

    // Ends any search under way and begins this one. loan: what the search
    // holds while it runs (memory the history lent it), let go when it ends,
    // before its answer, or when it is stopped.
    void start(std::shared_ptr<const DocumentSnapshot> snapshot, const TextNeedle &needle,
               SearchFrom from, int threads = 2, qint64 stretchChars = kStretchChars,
               std::shared_ptr<void> loan = {});
    // Ends the search under way without an answer; waits for its threads.
    void stop();
    bool running() const { return m_job != nullptr; }
    // How much of the range has been looked at, 0 to 1.
    double progress() const;

signals:
    // The match's start, or -1 when there is none.
    void finished(qint64 start);

private:
    struct Job;
    void work(Job &job);
    void answer(quint64 generation);
    std::shared_ptr<Job> m_job;
    std::shared_ptr<void> m_loan;
    std::vector<std::thread> m_threads;
    quint64 m_generation = 0;
};

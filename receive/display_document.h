#pragma once

#include <QByteArrayView>
#include <QString>

#include "receive/spill_store.h"
#include <functional>
#include <memory>
#include <utility>
#include <vector>

// The content of the receive box. Received bytes shown as hexadecimal are held
// once, as bytes; their "0F " text is made only when it is read. Text that needs
// no more than one byte per character is held in one byte per character, other
// text as UTF-16. All of it lives in fixed-size blocks, so appending never moves
// what is already held, and the content is a list of pieces that point into
// those blocks, so an edit anywhere touches only the pieces it meets. A block
// that is full goes to a SpillStore, which keeps only a few in memory: the
// memory held stays bounded however much is received.
//
// Positions are character positions in the text as shown (a hex byte counts 3).
//
// A block the store could not read back (the temporary file damaged) reads as
// kGapMark, one for each character it held, so it shows, is copied and is
// saved as a clearly marked gap of its own length, never as noise.
class DisplayDocument
{
public:
    DisplayDocument();
    ~DisplayDocument();

    static constexpr char16_t kGapMark = u'▓';

    qint64 size() const { return m_size; }
    bool isEmpty() const { return m_size == 0; }

    // sent: the text stands for something sent (it is drawn apart); text
    // typed or pasted into the box never is.
    void appendText(QStringView text, bool sent = false);
    void appendHex(QByteArrayView bytes);

    // The stretches of [from, to) that were appended as sent, in order, each
    // clipped to [from, to).
    std::vector<std::pair<qint64, qint64>> sentRuns(qint64 from, qint64 to) const;

    // Replaces the characters in [from, to) with text.
    void replace(qint64 from, qint64 to, QStringView text);
    void clear();

    QString text(qint64 from, qint64 to) const;
    QString toString() const { return text(0, m_size); }
    char16_t at(qint64 pos) const;

    // Calls f with the characters of [from, to) in consecutive runs, until f
    // returns false.
    void scan(qint64 from, qint64 to,
              const std::function<bool(const char16_t *chars, qsizetype n)> &f) const;

    // Bytes held for the content, whatever its kind.
    qint64 memoryBytes() const;

    // While a reader of a snapshot holds blocks of its own, the document keeps
    // that many fewer in memory (0: as before).
    void lendBlocks(int blocks) { m_spill->lend(blocks); }

    // The store behind the blocks (tests look at it).
    const SpillStore &spill() const { return *m_spill; }

    // How a piece holds its characters: UTF-16, one byte each, or bytes shown as hex pairs.
    enum class Kind : quint8 { Text, Latin1, Hex };

private:
    friend class DocumentSnapshot;
    struct Piece {
        Kind kind;
        quint32 block;
        qint64 offset; // in units of the block: chars for text, bytes otherwise
        qint64 units;
        bool sent = false;
        qint64 chars() const { return kind == Kind::Hex ? units * 3 : units; }
    };
    template <typename T> struct Store {
        std::vector<SpillStore::Id> sealed; // full blocks, in the spill store
        QByteArray open;                    // the block being filled (null before the first)
        qint64 used = 0;                    // units used in it
        T *data() { return reinterpret_cast<T *>(open.data()); }
        quint32 openIndex() const { return quint32(sealed.size()); }
    };

    template <typename T>
    void append(Kind kind, Store<T> &store, const T *data, qint64 n, bool sent = false);
    // Starts a new open block when the open one cannot take need more units.
    template <typename T> void makeRoom(Store<T> &store, qint64 need);
    template <typename T>
    const T *blockData(const Store<T> &store, quint32 block, bool *damaged = nullptr) const;
    // Index of the piece holding pos (pos < size), and where that piece starts.
    std::size_t pieceAt(qint64 pos, qint64 *start) const;
    // Makes pos a piece boundary; returns the index of the piece starting there.
    std::size_t splitAt(qint64 pos);
    void rebuildStarts(std::size_t from);

    std::unique_ptr<SpillStore> m_spill;
    Store<char16_t> m_text;
    Store<char> m_latin;
    Store<char> m_hex;
    std::vector<Piece> m_pieces;
    std::vector<qint64> m_starts; // start position of each piece
    qint64 m_size = 0;
};

#pragma once

#include "receive/display_document.h"

#include <array>
#include <memory>
#include <vector>

// What a DisplayDocument holds at one moment, to be read on any thread while
// the document goes on: appends, edits and clears after it leave it as it was.
// Blocks still in memory are shared, those in the temporary file are read back
// (and opened) by each reader into memory of its own; the blocks being filled
// are copied.
class DocumentSnapshot
{
public:
    using Kind = DisplayDocument::Kind;
    static std::shared_ptr<const DocumentSnapshot> of(const DisplayDocument &doc);

    qint64 size() const { return m_size; }
    std::size_t pieceCount() const { return m_pieces.size(); }
    qint64 pieceStart(std::size_t i) const { return m_starts[i]; }
    qint64 pieceEnd(std::size_t i) const { return m_starts[i] + m_pieces[i].chars(); }
    // The piece holding pos (0 <= pos < size()).
    std::size_t pieceAt(qint64 pos) const;

    // Reads pieces on one thread; keeps the last two blocks of each kind read
    // back from the file.
    class Reader
    {
    public:
        explicit Reader(const DocumentSnapshot &snapshot) : m_s(snapshot) {}
        struct View {
            Kind kind;
            const void *data; // char16_t for text, bytes otherwise
            qint64 units;
            bool damaged; // could not be read back: shows as kGapMark
        };
        View piece(std::size_t i);
        // The characters of [from, to) as shown.
        QString text(qint64 from, qint64 to);

    private:
        struct Cached {
            quint32 block = UINT32_MAX;
            QByteArray buffer;
            QByteArrayView bytes;
            bool damaged = false;
            quint64 used = 0;
        };
        const DocumentSnapshot &m_s;
        std::array<std::array<Cached, 2>, 3> m_cache;
        quint64 m_reads = 0;
    };

private:
    using Piece = DisplayDocument::Piece;
    std::vector<Piece> m_pieces;
    std::vector<qint64> m_starts;
    qint64 m_size = 0;
    std::array<std::vector<SpillStore::Id>, 3> m_sealed; // by kind
    std::array<QByteArray, 3> m_open;                    // by kind: the used part
    SpillStore::Pages m_pages;
};

#pragma once

#include <QByteArrayView>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

// The content of the receive box. Received bytes shown as hexadecimal are held
// once, as bytes; their "0F " text is made only when it is read. Received and
// typed text is held as UTF-16. Both live in fixed-size blocks, so appending
// never moves what is already held, and the content is a list of pieces that
// point into those blocks, so an edit anywhere touches only the pieces it meets.
//
// Positions are character positions in the text as shown (a hex byte counts 3).
class DisplayDocument
{
public:
    DisplayDocument();
    ~DisplayDocument();

    qint64 size() const { return m_size; }
    bool isEmpty() const { return m_size == 0; }

    void appendText(QStringView text);
    void appendHex(QByteArrayView bytes);

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

private:
    enum class Kind : quint8 { Text, Hex };
    struct Piece {
        Kind kind;
        quint32 block;
        qint64 offset; // in units of the block: chars for text, bytes for hex
        qint64 units;
        qint64 chars() const { return kind == Kind::Hex ? units * 3 : units; }
    };
    template <typename T>
    struct Store {
        std::vector<std::unique_ptr<T[]>> blocks;
        qint64 used = 0; // units used in the last block
    };

    template <typename T>
    void append(Kind kind, Store<T> &store, const T *data, qint64 n);
    // Index of the piece holding pos (pos < size), and where that piece starts.
    std::size_t pieceAt(qint64 pos, qint64 *start) const;
    // Makes pos a piece boundary; returns the index of the piece starting there.
    std::size_t splitAt(qint64 pos);
    void rebuildStarts(std::size_t from);

    Store<char16_t> m_text;
    Store<char> m_hex;
    std::vector<Piece> m_pieces;
    std::vector<qint64> m_starts; // start position of each piece
    qint64 m_size = 0;
};

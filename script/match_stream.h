#pragma once

#include "serial/codepage936.h"

#include <QByteArray>
#include <QString>
#include <memory>

// What a script has received and not yet let go of, as bytes and as the text
// the receive box shows for them (code page 936), with where each character's
// bytes begin. Positions count from the start of the run: bytes as received,
// characters as decoded. Bounded: at least kKeep bytes back are always kept,
// and never more than kMaxKept, however fast the device sends and however
// long nothing is let go.
class MatchStream
{
public:
    static constexpr qsizetype kKeep = 1 << 20;
    static constexpr qsizetype kMaxKept = 4 * kKeep;

    MatchStream();
    void append(QByteArrayView bytes);
    // The port was opened again: a character the last opening left unfinished
    // is dropped.
    void restart();
    // Bytes skipped (not kept at all): the positions move on past them.
    void skip(qint64 n);

    qint64 begin() const { return m_byteBase; }
    qint64 end() const { return m_byteBase + m_bytes.size(); }
    qint64 charBegin() const { return m_charBase; }
    qint64 charEnd() const { return m_charBase + m_text.size(); }

    // The bytes from byte position from (at least begin()) to the end.
    QByteArrayView bytes(qint64 from) const;
    // The characters from character position from to the end.
    QStringView text(qint64 from) const;
    // The first character that begins at or after byte position at.
    qint64 charAt(qint64 at) const;
    // Where character c's bytes begin; for charEnd(), where the next one will.
    qint64 byteOf(qint64 c) const;

    // Nothing before byte position at is needed any more.
    void release(qint64 at);

private:
    void drop(qint64 at);

    cp936::OffsetDecoder m_decoder;
    QByteArray m_bytes;
    QString m_text;
    // The low 32 bits of each character's first byte's position.
    std::unique_ptr<quint32[]> m_starts;
    qsizetype m_startCount = 0, m_startRoom = 0;
    qint64 m_byteBase = 0;
    qint64 m_charBase = 0;
};

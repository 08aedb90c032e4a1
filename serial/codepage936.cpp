#include "serial/codepage936.h"

#include <QStringEncoder>
#include <algorithm>
#include <cstring>
#include <utility>

namespace cp936
{
namespace
{
constexpr const char *kName = "windows-936";

bool isAscii(QStringView text)
{
    for (QChar c : text)
        if (c.unicode() >= 0x80)
            return false;
    return true;
}
} // namespace

QByteArray encode(QStringView text)
{
    if (isAscii(text))
        return text.toLatin1();
    QStringEncoder encoder(kName);
    return encoder.encode(text);
}

qsizetype byteLength(QStringView text)
{
    return isAscii(text) ? text.size() : encode(text).size();
}

namespace
{
// Every character of the Basic Multilingual Plane as encode makes it: one or
// two bytes (code page 936 has no longer ones), and the pair of surrogates
// that stands for a character beyond it. (A lone surrogate is a "?".)
struct Table {
    quint8 length[0x10000];
    char bytes[0x10000][2];
    QByteArray pair;

    Table()
    {
        for (char32_t c = 0; c < 0x10000; ++c) {
            const char16_t unit = char16_t(c);
            const QByteArray b = encode(QStringView(&unit, 1));
            length[c] = quint8(std::min<qsizetype>(b.size(), 2));
            bytes[c][0] = b.size() > 0 ? b[0] : 0;
            bytes[c][1] = b.size() > 1 ? b[1] : 0;
        }
        pair = encode(u"\U00010000");
    }
};

const Table &table()
{
    static const Table t;
    return t;
}
} // namespace

StreamEncoder::StreamEncoder()
{
    table();
}

void StreamEncoder::encode(QStringView text, QByteArray &out)
{
    const Table &t = table();
    const qsizetype at = out.size();
    out.resize(at + 2 * text.size() + 2 * t.pair.size()); // at most two bytes a unit
    char *p = out.data() + at;
    for (QChar ch : text) {
        const char16_t c = ch.unicode();
        if (m_high) {
            if (QChar::isLowSurrogate(c)) {
                std::memcpy(p, t.pair.constData(), size_t(t.pair.size()));
                p += t.pair.size();
                m_high = 0;
                continue;
            }
            *p++ = '?'; // a lone half, as encode gives it
            m_high = 0;
        }
        if (c < 0x80) {
            *p++ = char(c);
        } else if (QChar::isHighSurrogate(c)) {
            m_high = c;
        } else if (QChar::isLowSurrogate(c)) {
            *p++ = '?';
        } else {
            p[0] = t.bytes[c][0];
            p[1] = t.bytes[c][1];
            p += t.length[c];
        }
    }
    out.truncate(p - out.constData());
}

void StreamEncoder::finish(QByteArray &out)
{
    if (std::exchange(m_high, 0))
        out += '?';
}

StreamDecoder::StreamDecoder() : m_decoder(kName) {}

QString StreamDecoder::decode(QByteArrayView bytes)
{
    return m_decoder.decode(bytes);
}

void StreamDecoder::reset()
{
    m_decoder.resetState(); // cheap: it runs at every read shown as hex
}

} // namespace cp936

namespace cp936
{
namespace
{
// What StreamDecoder makes of each byte and each pair of bytes. A byte is
// either a character of its own or a lead byte that takes the next one; a
// lead and the byte after it give one character, and either both bytes are
// used or only the lead (which then gives U+FFFD, and the second byte is read
// again on its own).
struct DecodeTable {
    bool lead[256];
    char16_t single[256];
    char16_t pair[128][256];
    bool pairWhole[128][256]; // both bytes make the character

    QStringDecoder d{kName};

    // As a new decoder would (one decoder made once, set back each time: making one costs much
    // more).
    QString fresh(QByteArrayView bytes)
    {
        d.resetState();
        return d.decode(bytes);
    }

    DecodeTable()
    {
        for (int b = 0; b < 256; ++b) {
            const char c = char(b);
            const QString s = fresh(QByteArrayView(&c, 1));
            lead[b] = s.isEmpty();
            single[b] = s.isEmpty() ? u'\uFFFD' : char16_t(s.at(0).unicode());
        }
        for (int l = 128; l < 256; ++l) {
            for (int t = 0; t < 256; ++t) {
                // A space after the pair cannot be part of it, and shows where it ends.
                const char probe[3] = {char(l), char(t), ' '};
                const QString both = fresh(QByteArrayView(probe, 3));
                const bool whole = both.size() == 2 && both.at(1) == u' ';
                pairWhole[l - 128][t] = whole;
                pair[l - 128][t] = whole ? char16_t(both.at(0).unicode()) : u'\uFFFD';
            }
        }
    }
};

const DecodeTable &decodeTable()
{
    static const DecodeTable t;
    return t;
}
} // namespace

OffsetDecoder::OffsetDecoder()
{
    decodeTable();
}

qsizetype OffsetDecoder::decode(QByteArrayView bytes, qint64 base, QString &text, quint32 *where)
{
    const DecodeTable &t = decodeTable();
    const qsizetype n = bytes.size();
    const auto *p = reinterpret_cast<const quint8 *>(bytes.data());
    const qsizetype at = text.size();
    text.resize(at + n + 1); // at most a character a byte, and the waiting lead's
    char16_t *out = reinterpret_cast<char16_t *>(text.data()) + at;
    qsizetype k = 0, i = 0;
    if (m_lead >= 0 && n > 0) {
        const int l = std::exchange(m_lead, -1);
        where[k] = quint32(m_leadAt);
        if (t.pairWhole[l - 128][p[0]]) {
            out[k++] = t.pair[l - 128][p[0]];
            i = 1;
        } else {
            out[k++] = u'\uFFFD';
        }
    }
    while (i < n) {
        const quint8 b = p[i];
        if (b < 0x80) { // the usual case: a run of ASCII
            const quint32 from = quint32(base + i) - quint32(k);
            do {
                where[k] = from + quint32(k);
                out[k++] = p[i++];
            } while (i < n && p[i] < 0x80);
            continue;
        }
        where[k] = quint32(base + i);
        if (!t.lead[b]) {
            out[k++] = t.single[b];
            ++i;
        } else if (i + 1 == n) {
            m_lead = b;
            m_leadAt = base + i;
            ++i;
        } else if (t.pairWhole[b - 128][p[i + 1]]) {
            out[k++] = t.pair[b - 128][p[i + 1]];
            i += 2;
        } else {
            out[k++] = u'\uFFFD';
            ++i;
        }
    }
    text.resize(at + k);
    return k;
}

} // namespace cp936

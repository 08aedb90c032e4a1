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

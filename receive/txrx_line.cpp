#include "receive/txrx_line.h"

#include <QDateTime>
#include <QTimeZone>
#include <array>
#include <charconv>

namespace txrx
{
namespace
{
struct Word {
    Kind kind;
    const char *text;
};
constexpr std::array<Word, 10> kWords{{{Kind::Tx, "TX"},
                                       {Kind::Rx, "RX"},
                                       {Kind::Dtr, "DTR"},
                                       {Kind::Rts, "RTS"},
                                       {Kind::Break, "BREAK"},
                                       {Kind::Pulse, "PULSE"},
                                       {Kind::Open, "OPEN"},
                                       {Kind::Close, "CLOSE"},
                                       {Kind::Lost, "LOST"},
                                       {Kind::Note, "NOTE"}}};

constexpr char kDigits[] = "0123456789ABCDEF";

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::optional<int> number(QByteArrayView text)
{
    int v = 0;
    const char *end = text.data() + text.size();
    const auto r = std::from_chars(text.data(), end, v);
    if (text.isEmpty() || r.ec != std::errc() || r.ptr != end || v < 0)
        return std::nullopt;
    return v;
}

// "yyyy-MM-dd HH:mm:ss.uuuuuu" as local time.
std::optional<qint64> parseTime(QByteArrayView t)
{
    if (t.size() != 26 || t[10] != ' ' || t[19] != '.')
        return std::nullopt;
    const QDateTime whole = QDateTime::fromString(QString::fromLatin1(t.first(19)),
                                                  QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const auto micro = number(t.sliced(20));
    if (!whole.isValid() || !micro)
        return std::nullopt;
    return whole.toMSecsSinceEpoch() * 1000 + *micro;
}
} // namespace

QByteArrayView word(Kind kind)
{
    for (const Word &w : kWords)
        if (w.kind == kind)
            return QByteArrayView(w.text);
    return {};
}

QByteArray timeText(qint64 usecs)
{
    qint64 secs = usecs / 1000000;
    qint64 micro = usecs % 1000000;
    if (micro < 0) {
        micro += 1000000;
        --secs;
    }
    // Lines come many a second: the date and time of the last second is kept.
    static thread_local qint64 lastSecs = -1;
    static thread_local QByteArray lastText;
    if (secs != lastSecs || lastText.isEmpty()) {
        lastSecs = secs;
        lastText = QDateTime::fromSecsSinceEpoch(secs)
                       .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss."))
                       .toLatin1();
    }
    QByteArray out = lastText;
    char frac[6];
    for (int i = 5; i >= 0; --i, micro /= 10)
        frac[i] = char('0' + micro % 10);
    out.append(frac, 6);
    return out;
}

void appendBytesLine(QByteArray &out, qint64 usecs, Kind kind, QByteArrayView bytes)
{
    out += timeText(usecs);
    out += ' ';
    out += word(kind);
    const qsizetype at = out.size();
    out.resize(at + bytes.size() * 3 + 1);
    char *p = out.data() + at;
    for (char b : bytes) {
        const auto u = static_cast<unsigned char>(b);
        *p++ = ' ';
        *p++ = kDigits[u >> 4];
        *p++ = kDigits[u & 15];
    }
    *p = '\n';
}

QByteArray format(const Entry &e)
{
    QByteArray out;
    switch (e.kind) {
    case Kind::Tx:
    case Kind::Rx:
        appendBytesLine(out, e.usecs, e.kind, e.bytes);
        return out;
    default:
        break;
    }
    out = timeText(e.usecs) + ' ' + word(e.kind).toByteArray();
    switch (e.kind) {
    case Kind::Dtr:
    case Kind::Rts:
    case Kind::Break:
    case Kind::Pulse:
        out += ' ' + QByteArray::number(e.value);
        break;
    case Kind::Open:
    case Kind::Note: {
        QString text = e.text;
        for (QChar &c : text)
            if (c == u'\n' || c == u'\r')
                c = u' ';
        out += ' ' + text.toUtf8();
        break;
    }
    default:
        break;
    }
    out += '\n';
    return out;
}

std::optional<Entry> parse(QByteArrayView line)
{
    if (line.endsWith('\n'))
        line.chop(1);
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.size() < 28 || line[26] != ' ')
        return std::nullopt;
    Entry e;
    const auto at = parseTime(line.first(26));
    if (!at)
        return std::nullopt;
    e.usecs = *at;
    const QByteArrayView rest = line.sliced(27);
    const qsizetype space = rest.indexOf(' ');
    const QByteArrayView w = space < 0 ? rest : rest.first(space);
    const QByteArrayView arg = space < 0 ? QByteArrayView() : rest.sliced(space + 1);
    const Word *found = nullptr;
    for (const Word &k : kWords)
        if (w == QByteArrayView(k.text))
            found = &k;
    if (!found)
        return std::nullopt;
    e.kind = found->kind;
    switch (e.kind) {
    case Kind::Tx:
    case Kind::Rx: {
        // "01 03 ..." after the word: pairs, one space apart.
        if (arg.size() % 3 != 2 && !arg.isEmpty())
            return std::nullopt;
        e.bytes.reserve((arg.size() + 1) / 3);
        for (qsizetype i = 0; i < arg.size(); i += 3) {
            const int hi = hexValue(arg[i]), lo = hexValue(arg[i + 1]);
            if (hi < 0 || lo < 0 || (i + 2 < arg.size() && arg[i + 2] != ' '))
                return std::nullopt;
            e.bytes.append(char(hi << 4 | lo));
        }
        if (e.bytes.isEmpty())
            return std::nullopt;
        return e;
    }
    case Kind::Dtr:
    case Kind::Rts:
    case Kind::Break:
    case Kind::Pulse: {
        const auto v = number(arg);
        if (!v || ((e.kind == Kind::Dtr || e.kind == Kind::Rts) && *v > 1))
            return std::nullopt;
        e.value = *v;
        return e;
    }
    case Kind::Open:
    case Kind::Note:
        e.text = QString::fromUtf8(arg);
        return e;
    case Kind::Close:
    case Kind::Lost:
        if (!arg.isEmpty())
            return std::nullopt;
        return e;
    }
    return std::nullopt;
}
} // namespace txrx

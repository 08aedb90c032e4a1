#include "plot/number_reader.h"

#include "serial/codepage936.h"

#include <array>
#include <charconv>
#include <cmath>

namespace plot
{
namespace
{
// What each byte is to a line's fields, looked up rather than compared
// (every byte of every line passes through here).
enum : uchar { kSeparator = 1, kSpace = 2, kPairMark = 4, kControl = 8 };
constexpr std::array<uchar, 256> kClasses = [] {
    std::array<uchar, 256> t{};
    for (int c = 0; c < 0x20; ++c)
        t[c] = kControl;
    t[0x7f] = kControl;
    t[uchar(' ')] = kSeparator | kSpace;
    t[uchar('\t')] = kSeparator | kSpace;
    t[uchar(',')] = kSeparator;
    t[uchar(';')] = kSeparator;
    t[uchar('=')] = kPairMark;
    t[uchar(':')] = kPairMark;
    return t;
}();

bool isSeparator(char c)
{
    return kClasses[uchar(c)] & kSeparator;
}

bool isSpace(char c)
{
    return kClasses[uchar(c)] & kSpace;
}

// The end of a label: a separator or = or :.
bool endsLabel(char c)
{
    return kClasses[uchar(c)] & (kSeparator | kPairMark);
}

bool isControl(char c)
{
    return kClasses[uchar(c)] & kControl;
}

// Labels are names: not a number themselves, so a time like 12:30:05 is no pair.
bool startsLikeANumber(char c)
{
    return (c >= '0' && c <= '9') || c == '.' || c == '+' || c == '-';
}

// The numbers devices mostly print, like -23.50, read without from_chars:
// with at most 15 digits and 22 decimals, the digits as a whole number and
// the power of ten are both exact doubles, so one division gives the value
// rounded as C rounds it. False for anything else (an exponent, more digits).
bool plainDecimal(const char *p, const char *end, double *value, qsizetype *used)
{
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                         1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const char *q = p;
    const bool negative = q < end && *q == '-';
    q += negative;
    quint64 m = 0;
    int significant = 0, decimals = 0;
    bool digits = false, point = false;
    for (; q < end; ++q) {
        const unsigned d = unsigned(*q - '0');
        if (d < 10) {
            m = m * 10 + d;
            significant += m != 0;
            decimals += point;
            digits = true;
            if (significant > 15)
                return false;
        } else if (*q == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (!digits || decimals > 22 || (q < end && (*q == 'e' || *q == 'E')))
        return false;
    const double v = double(m) / kPowers[decimals];
    *value = negative ? -v : v;
    *used = q - p;
    return true;
}

} // namespace

QString NumberReader::text(QByteArrayView bytes) const
{
    for (const char c : bytes) {
        if (uchar(c) >= 0x80) {
            m_decoder.reset();
            return m_decoder.decode(bytes);
        }
    }
    return QString::fromLatin1(bytes);
}

const QString &NumberReader::label(QByteArrayView bytes) const
{
    for (const auto &[key, name] : m_labels)
        if (key == bytes)
            return name;
    constexpr std::size_t kMaxLabels = 64; // a line with ever new labels
    if (m_labels.size() >= kMaxLabels)
        m_labels.clear();
    m_labels.emplace_back(bytes.toByteArray(), text(bytes));
    return m_labels.back().second;
}

const QString &NumberReader::place(std::size_t k) const
{
    while (m_places.size() <= k)
        m_places.push_back(QString::number(m_places.size() + 1));
    return m_places[k];
}

bool NumberReader::number(QByteArrayView text, double *value, qsizetype *used)
{
    const char *begin = text.data();
    const char *end = begin + text.size();
    const char *p = begin;
    if (p < end && *p == '+') {
        ++p; // C takes a plus sign; from_chars does not
        if (p < end && *p == '-')
            return false;
    }
    if (plainDecimal(p, end, value, used)) {
        *used += p - begin;
        return true;
    }
    double v = 0;
    const auto [stop, ec] = std::from_chars(p, end, v, std::chars_format::general);
    if (ec != std::errc() || std::isnan(v) || std::isinf(v))
        return false;
    *value = v;
    *used = stop - begin;
    return true;
}

bool NumberReader::setPattern(const QString &pattern, QString *why)
{
    if (pattern.isEmpty()) {
        m_hasPattern = false;
        m_regex = QRegularExpression();
        return true;
    }
    QRegularExpression re(pattern);
    if (!re.isValid()) {
        *why = re.errorString();
        return false;
    }
    if (re.captureCount() < 1) {
        *why = QStringLiteral("表达式中没有捕获组");
        return false;
    }
    re.optimize();
    m_regex = re;
    m_hasPattern = true;
    const QStringList names = re.namedCaptureGroups();
    m_labelGroup = int(names.indexOf(QStringLiteral("label")));
    m_valueGroup = int(names.indexOf(QStringLiteral("value")));
    if (m_labelGroup > 0 && m_valueGroup < 0)
        m_valueGroup = m_labelGroup == 1 ? (re.captureCount() >= 2 ? 2 : -1) : 1;
    return true;
}

void NumberReader::read(QByteArrayView line, std::vector<Reading> &out) const
{
    if (line.size() > kMaxLine)
        return;
    if (m_hasPattern)
        return readPattern(line, out);
    const char *s = line.data();
    const qsizetype n = line.size();
    const std::size_t first = out.size();
    std::vector<double> &plain = m_plain;
    plain.clear();
    bool allPlain = true;
    bool pairs = false;
    qsizetype i = 0;
    while (i < n) {
        while (i < n && isSeparator(s[i]))
            ++i;
        if (i >= n)
            break;
        const qsizetype start = i;
        // A name has no control characters: a field with one (noise, or a
        // colour code stuck to a word) names nothing.
        bool control = false;
        while (i < n && !endsLabel(s[i]))
            control |= isControl(s[i++]);
        const qsizetype labelEnd = i;
        qsizetype j = i;
        while (j < n && isSpace(s[j]))
            ++j;
        if (labelEnd > start && j < n && (s[j] == '=' || s[j] == ':') && !control &&
            !startsLikeANumber(s[start])) {
            const qsizetype afterMark = ++j;
            while (j < n && isSpace(s[j]))
                ++j;
            double v = 0;
            qsizetype used = 0;
            allPlain = false;
            if (number(line.sliced(j), &v, &used)) {
                out.push_back({label(line.sliced(start, labelEnd - start)), v});
                pairs = true;
                j += used;
            } else if (j > afterMark) {
                // "app: T=23.5": what follows the space is a field of its own.
                i = j;
                continue;
            }
            // The unit, or whatever is not a number, up to the next separator.
            while (j < n && !isSeparator(s[j]))
                ++j;
            i = j;
            continue;
        }
        // A field of its own: a plain number, or the line is not one of plain numbers.
        while (i < n && !isSeparator(s[i]))
            ++i;
        double v = 0;
        qsizetype used = 0;
        if (allPlain && number(line.sliced(start, i - start), &v, &used) && used == i - start)
            plain.push_back(v);
        else
            allPlain = false;
    }
    if (pairs || !allPlain) {
        if (!pairs)
            out.resize(first);
        return;
    }
    for (std::size_t k = 0; k < plain.size(); ++k)
        out.push_back({place(k), plain[k]});
}

void NumberReader::readPattern(QByteArrayView line, std::vector<Reading> &out) const
{
    const QString text = this->text(line);
    const QStringList names = m_regex.namedCaptureGroups();
    const auto valueOf = [](const QString &field, double *v) {
        const QByteArray bytes = field.trimmed().toLatin1();
        qsizetype used = 0;
        return !bytes.isEmpty() && number(bytes, v, &used);
    };
    if (m_labelGroup > 0) {
        // Every match names a series and gives its value.
        auto it = m_regex.globalMatch(text);
        while (it.hasNext()) {
            const QRegularExpressionMatch m = it.next();
            if (m.capturedLength(0) == 0)
                break;
            double v = 0;
            const QString label = m.captured(m_labelGroup);
            if (!label.isEmpty() && m_valueGroup > 0 && valueOf(m.captured(m_valueGroup), &v))
                out.push_back({label, v});
        }
        return;
    }
    // The first match: each capture is a series, named by its name or place.
    const QRegularExpressionMatch m = m_regex.match(text);
    if (!m.hasMatch())
        return;
    for (int g = 1; g <= m_regex.captureCount(); ++g) {
        double v = 0;
        if (valueOf(m.captured(g), &v))
            out.push_back({names.value(g).isEmpty() ? QString::number(g) : names.value(g), v});
    }
}
} // namespace plot

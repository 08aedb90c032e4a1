#include "serial/numeric_value.h"

#include <QString>
#include <cmath>

namespace numeric
{
namespace
{

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

int digitValue(QChar c, int radix)
{
    const char16_t u = c.unicode();
    int d = -1;
    if (u >= u'0' && u <= u'9')
        d = u - u'0';
    else if (u >= u'a' && u <= u'f')
        d = u - u'a' + 10;
    else if (u >= u'A' && u <= u'F')
        d = u - u'A' + 10;
    return d < radix ? d : -1;
}

class Reader
{
public:
    Reader(QStringView text, bool skipBlanks) : m_text(text), m_skip(skipBlanks) { skip(); }

    bool atEnd() const { return m_pos >= m_text.size(); }
    QChar peek() const { return atEnd() ? QChar() : m_text[m_pos]; }
    void advance()
    {
        ++m_pos;
        if (m_skip)
            skip();
    }
    qsizetype pos() const { return m_pos; }
    void reset(qsizetype pos) { m_pos = pos; }

private:
    void skip()
    {
        while (!atEnd() && isBlank(m_text[m_pos]))
            ++m_pos;
    }

    QStringView m_text;
    bool m_skip;
    qsizetype m_pos = 0;
};

Scan scanRadix(Reader &r, int radix)
{
    Scan s;
    double v = 0;
    for (int d; !r.atEnd() && (d = digitValue(r.peek(), radix)) >= 0; r.advance()) {
        v = v * radix + d;
        s.hasDigits = true;
        s.end = r.pos() + 1;
    }
    s.value = v;
    return s;
}

} // namespace

Scan scan(QStringView text, bool skipBlanks)
{
    Reader r(text, skipBlanks);
    Scan s;

    if (r.peek() == u'&') {
        const qsizetype amp = r.pos();
        r.advance();
        const QChar p = r.peek().toUpper();
        if (p == u'H' || p == u'O') {
            r.advance();
            s = scanRadix(r, p == u'H' ? 16 : 8);
            if (!s.hasDigits)
                s.end = amp;
            return s;
        }
        s.end = amp;
        return s;
    }

    // Collect the characters of a decimal number, then let strtod do the arithmetic
    // so that the result is correctly rounded.
    std::string lit;
    const qsizetype start = r.pos();
    s.end = start;
    if (r.peek() == u'+' || r.peek() == u'-') {
        lit += char(r.peek().unicode());
        r.advance();
    }
    auto digits = [&] {
        while (!r.atEnd() && digitValue(r.peek(), 10) >= 0) {
            lit += char(r.peek().unicode());
            s.hasDigits = true;
            s.end = r.pos() + 1;
            r.advance();
        }
    };
    digits();
    if (r.peek() == u'.') {
        lit += '.';
        if (s.hasDigits)
            s.end = r.pos() + 1;
        r.advance();
        digits();
    }
    if (!s.hasDigits) {
        s.end = start;
        return s;
    }
    const QChar e = r.peek().toUpper();
    if (e == u'E' || e == u'D') {
        const qsizetype mark = r.pos();
        std::string exp = "e";
        r.advance();
        if (r.peek() == u'+' || r.peek() == u'-') {
            exp += char(r.peek().unicode());
            r.advance();
        }
        qsizetype expEnd = -1;
        while (!r.atEnd() && digitValue(r.peek(), 10) >= 0) {
            exp += char(r.peek().unicode());
            expEnd = r.pos() + 1;
            r.advance();
        }
        if (expEnd >= 0) {
            lit += exp;
            s.end = expEnd;
        } else {
            r.reset(mark);
        }
    }
    s.value = std::strtod(lit.c_str(), nullptr);
    return s;
}

double value(QStringView text)
{
    return scan(text, true).value;
}

double roundHalfEven(double x)
{
    if (!std::isfinite(x))
        return x;
    const double fl = std::floor(x);
    const double diff = x - fl;
    if (diff < 0.5)
        return fl;
    if (diff > 0.5)
        return fl + 1;
    return std::fmod(fl, 2.0) == 0.0 ? fl : fl + 1;
}

std::optional<double> wholeNumber(QStringView text)
{
    const QStringView t = text.trimmed();
    if (t.isEmpty())
        return std::nullopt;
    const Scan s = scan(t, false);
    if (!s.hasDigits || s.end != t.size())
        return std::nullopt;
    return s.value;
}

std::optional<std::int64_t> wholeInteger(QStringView text, std::int64_t lo, std::int64_t hi)
{
    const auto v = wholeNumber(text);
    if (!v)
        return std::nullopt;
    const double r = roundHalfEven(*v);
    if (!(r >= double(lo) && r <= double(hi)))
        return std::nullopt;
    return std::int64_t(r);
}

QString plainDecimal(double x)
{
    // Seven significant digits, as a single-precision value shows itself.
    QString s = QString::number(x, 'g', 7);
    if (s.contains(u'e')) {
        const int decimals = std::max(0, 6 - int(std::floor(std::log10(std::fabs(x)))));
        s = QString::number(x, 'f', decimals);
    }
    if (s.contains(u'.')) {
        while (s.endsWith(u'0'))
            s.chop(1);
        if (s.endsWith(u'.'))
            s.chop(1);
    }
    if (s == u"-0")
        s = QStringLiteral("0");
    return s;
}

} // namespace numeric

#include "txrx_print.h"

#include <QStringDecoder>

namespace txrx
{
namespace
{
void appendHexByte(QString &out, unsigned char b)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    out += QLatin1String("\\x");
    out += QLatin1Char(digits[b >> 4]);
    out += QLatin1Char(digits[b & 15]);
}
} // namespace

QString escapedText(QByteArrayView bytes)
{
    QString out;
    out.reserve(bytes.size());
    QStringDecoder gbk("GBK");
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b == '\r') {
            out += QLatin1String("\\r");
        } else if (b == '\n') {
            out += QLatin1String("\\n");
        } else if (b == '\t') {
            out += QLatin1String("\\t");
        } else if (b == '\\') {
            out += QLatin1String("\\\\");
        } else if (b >= 0x20 && b < 0x7f) {
            out += QLatin1Char(char(b));
        } else if (b >= 0x81 && b <= 0xfe && i + 1 < bytes.size()) {
            const auto t = static_cast<unsigned char>(bytes[i + 1]);
            const QString c =
                t >= 0x40 && t <= 0xfe && t != 0x7f ? gbk.decode(bytes.sliced(i, 2)) : QString();
            gbk.resetState();
            if (c.size() == 1 && c[0] != QChar::ReplacementCharacter) {
                out += c;
                ++i;
            } else {
                appendHexByte(out, b);
            }
        } else {
            appendHexByte(out, b);
        }
    }
    return out;
}

QByteArray hexDump(QByteArrayView bytes)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    QByteArray out;
    for (qsizetype row = 0; row < bytes.size(); row += 16) {
        char offset[32];
        std::snprintf(offset, sizeof offset, "  %04llx  ", static_cast<unsigned long long>(row));
        out += offset;
        QByteArray ascii;
        for (qsizetype i = row; i < row + 16; ++i) {
            if (i < bytes.size()) {
                const auto b = static_cast<unsigned char>(bytes[i]);
                out += digits[b >> 4];
                out += digits[b & 15];
                out += ' ';
                ascii += b >= 0x20 && b < 0x7f ? char(b) : '.';
            } else {
                out += "   ";
            }
        }
        out += " |" + ascii + "|\n";
    }
    return out;
}
} // namespace txrx

// quorvex-txrx: reads back a two-way log ("记录收发", txrx-*.log) and prints
// it as text, as hexadecimal and ASCII, or as the raw bytes of one direction
// (to replay into a device or compare with what it saw).
#include "receive/txrx_line.h"
#include "txrx_print.h"

#include <QFile>
#include <cstdio>
#include <cstring>

namespace
{
int usage(const char *self)
{
    std::fprintf(
        stderr,
        "usage: %s [--text | --hex | --raw tx|rx] FILE\n"
        "  --text  each line, sent and received bytes as text (the default)\n"
        "  --hex   sent and received bytes as hexadecimal and ASCII\n"
        "  --raw   the bytes of one direction alone, as they were, to standard output\n"
        "exit status: 0; 1 when FILE cannot be read or holds lines that are not\n"
        "a two-way log's (each is named on standard error, the rest is printed); 2 usage\n",
        self);
    return 2;
}

void put(const QByteArray &b)
{
    std::fwrite(b.constData(), 1, size_t(b.size()), stdout);
}
} // namespace

int main(int argc, char *argv[])
{
    enum class Mode { Text, Hex, Raw } mode = Mode::Text;
    txrx::Kind direction = txrx::Kind::Tx;
    const char *path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (std::strcmp(a, "--text") == 0) {
            mode = Mode::Text;
        } else if (std::strcmp(a, "--hex") == 0) {
            mode = Mode::Hex;
        } else if (std::strcmp(a, "--raw") == 0 && i + 1 < argc) {
            mode = Mode::Raw;
            const char *d = argv[++i];
            if (std::strcmp(d, "tx") == 0)
                direction = txrx::Kind::Tx;
            else if (std::strcmp(d, "rx") == 0)
                direction = txrx::Kind::Rx;
            else
                return usage(argv[0]);
        } else if (a[0] != '-' && !path) {
            path = a;
        } else {
            return usage(argv[0]);
        }
    }
    if (!path)
        return usage(argv[0]);
    QFile file(QString::fromLocal8Bit(path));
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "%s: %s: %s\n", argv[0], path, qPrintable(file.errorString()));
        return 1;
    }
    int bad = 0;
    qint64 number = 0;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine(1 << 20);
        ++number;
        const auto e = txrx::parse(line);
        if (!e) {
            if (++bad <= 20)
                std::fprintf(stderr, "%s:%lld: not a two-way log line\n", path,
                             static_cast<long long>(number));
            continue;
        }
        const bool bytes = e->kind == txrx::Kind::Tx || e->kind == txrx::Kind::Rx;
        if (mode == Mode::Raw) {
            if (e->kind == direction)
                put(e->bytes);
            continue;
        }
        if (!bytes) {
            put(line.endsWith('\n') ? line : line + '\n');
            continue;
        }
        const QByteArray head = txrx::timeText(e->usecs) + ' ' + txrx::word(e->kind).toByteArray();
        if (mode == Mode::Text)
            put(head + ' ' + txrx::escapedText(e->bytes).toUtf8() + '\n');
        else
            put(head + " (" + QByteArray::number(e->bytes.size()) + " bytes)\n" +
                txrx::hexDump(e->bytes));
    }
    std::fflush(stdout);
    if (bad > 20)
        std::fprintf(stderr, "%s: %d lines in all are not a two-way log's\n", path, bad);
    return bad > 0 ? 1 : 0;
}

#include "receive/txrx_log.h"

TxRxLog::TxRxLog(QObject *parent) : QObject(parent)
{
    m_quiet.setSingleShot(true);
    m_quiet.setInterval(kQuietMs);
    connect(&m_quiet, &QTimer::timeout, this, &TxRxLog::endBurst);
    connect(&m_file, &ReceiveRecorder::failed, this, [this](const QString &path) {
        stop();
        emit failed(path);
    });
}

TxRxLog::~TxRxLog()
{
    stop();
}

QString TxRxLog::logFilePath(const QString &folder, const QDateTime &now)
{
    return folder + QStringLiteral("/txrx-") + now.toString(QStringLiteral("yyyyMMdd-HHmmss")) +
           QStringLiteral(".log");
}

QString settingsText(const LineSettings &line)
{
    char parity = 'N';
    switch (line.parity) {
    case QSerialPort::OddParity:
        parity = 'O';
        break;
    case QSerialPort::EvenParity:
        parity = 'E';
        break;
    case QSerialPort::MarkParity:
        parity = 'M';
        break;
    case QSerialPort::SpaceParity:
        parity = 'S';
        break;
    default:
        break;
    }
    const char *stop = line.stopBits == QSerialPort::TwoStop          ? "2"
                       : line.stopBits == QSerialPort::OneAndHalfStop ? "1.5"
                                                                      : "1";
    return QStringLiteral("%1,%2,%3,%4")
        .arg(line.baud)
        .arg(QLatin1Char(parity))
        .arg(int(line.dataBits))
        .arg(QLatin1String(stop));
}

bool TxRxLog::start(const QString &path, Port *port)
{
    stop();
    if (!m_file.start(path))
        return false;
    if (port) {
        if (port->isOpen())
            event(txrx::Kind::Open, Port::nowUsecs(), settingsText(port->lineSettings()));
        watch(port);
    }
    return true;
}

void TxRxLog::watch(Port *port)
{
    m_watching << connect(port, &Port::received, this, &TxRxLog::received)
               << connect(port, &Port::wrote, this, &TxRxLog::sent)
               << connect(port, &Port::controlled, this, &TxRxLog::controlled)
               << connect(port, &Port::opened, this,
                          [this, port] {
                              event(txrx::Kind::Open, Port::nowUsecs(),
                                    settingsText(port->lineSettings()));
                          })
               << connect(port, &Port::closed, this,
                          [this, port] {
                              // A lost device is told by lost() alone.
                              if (!port->losing())
                                  event(txrx::Kind::Close, Port::nowUsecs());
                          })
               << connect(port, &Port::lost, this,
                          [this] { event(txrx::Kind::Lost, Port::nowUsecs()); });
}

void TxRxLog::stop()
{
    for (const auto &c : std::as_const(m_watching))
        disconnect(c);
    m_watching.clear();
    if (!m_file.recording())
        return;
    endBurst();
    m_file.stop();
}

void TxRxLog::write(const QByteArray &line)
{
    m_file.record(line);
}

void TxRxLog::endBurst()
{
    m_quiet.stop();
    if (m_burst.isEmpty())
        return;
    m_line.clear();
    txrx::appendBytesLine(m_line, m_burstAt, txrx::Kind::Rx, m_burst);
    m_burst.clear();
    write(m_line);
}

void TxRxLog::received(const QByteArray &bytes, const std::vector<Port::Arrival> &arrivals)
{
    if (!logging())
        return;
    qsizetype from = 0;
    for (const Port::Arrival &a : arrivals) {
        QByteArrayView stretch = QByteArrayView(bytes).sliced(from, a.end - from);
        from = a.end;
        if (!m_burst.isEmpty() && a.usecs - m_lastRead >= kBurstGapUs)
            endBurst();
        while (!stretch.isEmpty()) {
            if (m_burst.isEmpty())
                m_burstAt = a.usecs;
            const qsizetype n = std::min(stretch.size(), kMaxBurst - m_burst.size());
            m_burst.append(stretch.first(n));
            stretch = stretch.sliced(n);
            if (m_burst.size() == kMaxBurst)
                endBurst();
        }
        m_lastRead = a.usecs;
    }
    if (!m_burst.isEmpty())
        m_quiet.start();
}

void TxRxLog::sent(const QByteArray &bytes, qint64 usecs)
{
    if (!logging())
        return;
    endBurst();
    for (qsizetype at = 0; at < bytes.size(); at += kMaxBurst) {
        m_line.clear();
        txrx::appendBytesLine(
            m_line, usecs, txrx::Kind::Tx,
            QByteArrayView(bytes).sliced(at, std::min(kMaxBurst, bytes.size() - at)));
        write(m_line);
    }
}

void TxRxLog::controlled(Port::Control what, int value, qint64 usecs)
{
    static constexpr txrx::Kind kinds[] = {txrx::Kind::Dtr, txrx::Kind::Rts, txrx::Kind::Pulse,
                                           txrx::Kind::Break};
    if (!logging())
        return;
    endBurst();
    txrx::Entry e;
    e.usecs = usecs;
    e.kind = kinds[int(what)];
    e.value = value;
    write(txrx::format(e));
}

void TxRxLog::event(txrx::Kind kind, qint64 usecs, const QString &text)
{
    if (!logging())
        return;
    endBurst();
    txrx::Entry e;
    e.usecs = usecs;
    e.kind = kind;
    e.text = text;
    write(txrx::format(e));
}

void TxRxLog::note(const QString &text, qint64 usecs)
{
    event(txrx::Kind::Note, usecs < 0 ? Port::nowUsecs() : usecs, text);
}

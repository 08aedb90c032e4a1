#pragma once

#include <QString>
#include <QtSerialPort/QSerialPort>
#include <optional>

// What one opening of the port uses, read from the five settings selectors.
struct PortSettings {
    int portNumber = 0; // 0 to 255; 0 opens nothing
    QString devicePath; // set when the port selector names a device path or a network port
    QString baud;       // as typed
    QString parity;     // one letter, case kept; empty when the selector is empty
    int dataBits = 0;
    double stopBits = 0;
};

// The five selector texts, in the order the window reads them.
struct SelectorTexts {
    QString com, baud, parity, dataBits, stopBits;
};

// Nothing when a text cannot be read: a port number outside 0 to 255, data bits or
// stop bits that are not numbers, data bits outside a 16-bit integer.
std::optional<PortSettings> parsePortSettings(const SelectorTexts &texts);

// The device s names: its device path, or the device its port number stands
// for (empty for port 0).
QString portDevice(const PortSettings &s);

// The status line while open, built from the selector texts as they stand; the
// port selector's text stands at kStatusNameFrom.
QString openStatusLine(const SelectorTexts &texts);
inline constexpr qsizetype kStatusNameFrom = 7;
QString closedStatusLine();
// The closed status line while a lost device is awaited, to be opened again.
QString awaitingStatusLine();

// The line settings of an opening, in QSerialPort's terms.
struct LineSettings {
    qint32 baud = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
    bool operator==(const LineSettings &) const = default;
};

// The line settings s asks for. Nothing unless the baud is a positive number in
// digits alone, the parity a letter N, O, E, M or S (either case), the data bits
// 4 to 8 and the stop bits 1, 1.5 or 2. Four data bits are valid here but no
// port on this platform takes them.
std::optional<LineSettings> lineSettings(const PortSettings &s);

// The stop bits to hand a serial driver on this platform for ls. Linux makes
// 1.5 stop bits only on a line of 5 data bits, where its flag for two stop bits
// means 1.5; with more data bits there is no 1.5, and nothing is returned (the
// line cannot be set as asked, rather than silently getting 1).
std::optional<QSerialPort::StopBits> driverStopBits(const LineSettings &ls);

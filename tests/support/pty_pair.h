#pragma once

#include <QByteArray>
#include <QString>

// A pseudo-terminal that stands in for a serial device: the program opens the
// device end by its path, the test plays the device on the other end.
class PtyPair
{
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return m_master >= 0; }
    QString devicePath() const { return m_path; }
    int masterFd() const { return m_master; }

    // Writes everything, waiting for room as needed.
    bool write(const QByteArray &bytes);
    // Reads until n bytes have come or timeoutMs passed without any.
    QByteArray read(qsizetype n, int timeoutMs = 2000);
    // The same, while the program's events go on being handled (for data the
    // program sends from its own timers).
    QByteArray readWithEvents(qsizetype n, int timeoutMs = 2000);
    // The device goes away.
    void closeDevice();

private:
    int m_master = -1;
    QString m_path;
};

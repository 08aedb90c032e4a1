#pragma once

#include "receive/receive_recorder.h"
#include "receive/txrx_line.h"
#include "serial/port.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>
#include <vector>

// The two-way log: what was sent and what was received, in the order it
// happened, one line per burst with the time it was written or read (see
// txrx_line.h), and the control lines, openings, losses and notes among them.
// A burst is one write, or received bytes without a gap of kBurstGapUs or
// more and at most kMaxBurst bytes; longer writes take several TX lines of
// kMaxBurst. The file is written as records are (a new 0600 file, never
// through a link, on a thread of its own); a failed write ends the log and
// failed() tells it, keeping what was written.
class TxRxLog : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 kBurstGapUs = 5000;
    static constexpr qsizetype kMaxBurst = 4096;
    // Received bytes wait this long after the last of them for more to join
    // their burst before their line is written anyway.
    static constexpr int kQuietMs = 100;

    explicit TxRxLog(QObject *parent = nullptr);
    ~TxRxLog() override;

    // "txrx-YYYYMMDD-HHMMSS.log" in folder, the local time now.
    static QString logFilePath(const QString &folder, const QDateTime &now);

    // Starts a new log at path (a suffix is added when the name is taken; path()
    // tells the name used). The port, when given and open, is noted with an
    // OPEN line first, and from then on everything it does is logged.
    bool start(const QString &path, Port *port = nullptr);
    // Writes what is waiting and closes the file.
    void stop();
    bool logging() const { return m_file.recording(); }
    QString path() const { return m_file.path(); }

    // What goes into the log, told by the port's signals or by hand.
    void received(const QByteArray &bytes, const std::vector<Port::Arrival> &arrivals);
    void sent(const QByteArray &bytes, qint64 usecs);
    void controlled(Port::Control what, int value, qint64 usecs);
    void event(txrx::Kind kind, qint64 usecs, const QString &text = QString());
    void note(const QString &text, qint64 usecs = -1);

signals:
    void failed(const QString &path);

private:
    void endBurst();
    void write(const QByteArray &line);
    void watch(Port *port);

    ReceiveRecorder m_file;
    QByteArray m_burst; // received bytes not yet on a line
    qint64 m_burstAt = 0;
    qint64 m_lastRead = 0;
    QByteArray m_line; // used again from line to line
    QTimer m_quiet;
    QList<QMetaObject::Connection> m_watching;
};

// The settings of an opening as the log and the status line give them: 115200,N,8,1.
QString settingsText(const LineSettings &line);

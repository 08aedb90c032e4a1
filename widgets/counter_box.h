#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

class QLineEdit;

// Shows a byte counter in its text box as "RX:" or "TX:" and the count. A count
// that changes now and then is shown at once; one that changes many times a
// second (data streaming in) is shown five times a second, which is as fast
// as anyone reads it and spares laying out and painting the box at every read,
// and its last value follows within kSettleMs once the changes stop.
class CounterBox : public QObject
{
public:
    static constexpr int kEveryMs = 200;
    static constexpr int kSettleMs = 300;

    CounterBox(QLineEdit *box, QString prefix, QObject *parent);
    // now: the user's own action (resetting the counters) shows at once.
    void show(qint64 count, bool now = false);

private:
    void write();

    QLineEdit *m_box;
    QString m_prefix;
    qint64 m_count = 0;
    QElapsedTimer m_written;
    QTimer m_settle;
};

#include "widgets/counter_box.h"

#include "receive/counters.h"

#include <QLineEdit>

CounterBox::CounterBox(QLineEdit *box, QString prefix, QObject *parent)
    : QObject(parent), m_box(box), m_prefix(std::move(prefix))
{
    m_settle.setSingleShot(true);
    connect(&m_settle, &QTimer::timeout, this, &CounterBox::write);
}

void CounterBox::show(qint64 count, bool now)
{
    m_count = count;
    if (now || !m_written.isValid() || m_written.elapsed() >= kEveryMs) {
        write();
        return;
    }
    // Started once, not again at every change: restarting a timer at every read
    // costs more than the rest of the counting.
    if (!m_settle.isActive())
        m_settle.start(kSettleMs);
}

void CounterBox::write()
{
    m_settle.stop();
    m_written.start();
    m_box->setText(counterText(m_prefix, m_count));
    m_box->setCursorPosition(0); // a count wider than the box shows its start
}

#include "receive/counter_box.h"

#include "receive/counters.h"

#include <QLineEdit>
#include <QTimerEvent>

CounterBox::CounterBox(QLineEdit *box, QString prefix, QObject *parent)
    : QObject(parent), m_box(box), m_prefix(std::move(prefix))
{
}

void CounterBox::show(qint64 count)
{
    if (!m_paint.isActive()) {
        // Paints now happen when the timer ends, together.
        m_box->setUpdatesEnabled(false);
        m_paint.start(kPaintMs, this);
    }
    m_box->setText(counterText(m_prefix, count));
}

void CounterBox::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_paint.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    m_paint.stop();
    m_box->setUpdatesEnabled(true);
}

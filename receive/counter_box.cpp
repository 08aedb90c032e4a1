#include "receive/counter_box.h"

#include "receive/counters.h"
#include "receive/frame_clock.h"

#include <QLineEdit>

CounterBox::CounterBox(QLineEdit *box, QString prefix, QObject *parent)
    : QObject(parent), m_box(box), m_prefix(std::move(prefix))
{
}

void CounterBox::show(qint64 count)
{
    if (!FrameClock::instance().pending(this)) {
        // The box paints again, once, at the frame's end.
        m_box->setUpdatesEnabled(false);
        FrameClock::instance().request(this, [this] { m_box->setUpdatesEnabled(true); });
    }
    m_box->setText(counterText(m_prefix, count));
    m_box->setCursorPosition(0); // a count wider than the box shows its start
}

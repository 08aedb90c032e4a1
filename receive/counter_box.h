#pragma once

#include <QObject>
#include <QString>

class QLineEdit;

// Shows a byte counter in its text box as "RX:" or "TX:" and the count. The
// box's text is always current; when the count changes many times a second the
// box is repainted once a frame (FrameClock) instead of at every change.
class CounterBox : public QObject
{
public:
    CounterBox(QLineEdit *box, QString prefix, QObject *parent);
    void show(qint64 count);

private:
    QLineEdit *m_box;
    QString m_prefix;
};

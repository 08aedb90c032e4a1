#pragma once

#include <QBasicTimer>
#include <QObject>
#include <QString>

class QLineEdit;

// Shows a byte counter in its text box as "RX:" or "TX:" and the count. The
// box's text is always current; when the count changes many times a second the
// box is repainted at most every kPaintMs instead of at every change.
class CounterBox : public QObject
{
public:
    static constexpr int kPaintMs = 50;

    CounterBox(QLineEdit *box, QString prefix, QObject *parent);
    void show(qint64 count);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    QLineEdit *m_box;
    QString m_prefix;
    QBasicTimer m_paint;
};

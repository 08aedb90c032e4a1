#pragma once

#include "transfer/transfer_run.h"

#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;

// The 文件传输 window: what a transfer is (protocol, direction, file), how far
// it got (a progress bar with bytes, blocks, rate, retries and time left) and
// 取消 while it runs; at the end its result in words.
class TransferWindow : public QWidget
{
    Q_OBJECT

public:
    // Shows run's transfers; run is used, not owned.
    explicit TransferWindow(TransferRun *run, QWidget *parent = nullptr);

    // A transfer began: the window shows it from the start.
    void begin();

    QLabel *what() const { return m_what; }
    QLabel *figures() const { return m_figures; }
    QLabel *result() const { return m_result; }
    QProgressBar *bar() const { return m_bar; }
    QPushButton *cancelButton() const { return m_cancel; }

    // "12.3 KB/s · 剩余 00:42" and the rest, as the figures line shows them.
    static QString figuresText(const TransferRun::Figures &f);

private:
    void showFigures();
    void onFinished(bool ok, const QString &result);

    TransferRun *m_run;
    QLabel *m_what;
    QProgressBar *m_bar;
    QLabel *m_figures;
    QLabel *m_result;
    QPushButton *m_cancel;
};

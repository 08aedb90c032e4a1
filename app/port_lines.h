#pragma once

#include "serial/port.h"

#include <QList>
#include <QPoint>
#include <QWidget>

class QAction;
class QCheckBox;
class QLabel;
class QPushButton;

// The 控制线 window: DTR and RTS, the reset pulse and the break, and four lamps
// that follow CTS, DSR, DCD and RI while the window is open (grey while the
// port is closed or has no control lines). Closed, it costs nothing: the
// lines are watched only while it is shown.
class ControlLinesWindow : public QWidget
{
    Q_OBJECT

public:
    ControlLinesWindow(Port *port, QAction *dtr, QAction *rts, QWidget *parent = nullptr);
    // What a lamp says (its accessible name): "CTS：亮", "CTS：灭", "CTS：不可用".
    QString lampText(int lamp) const;

protected:
    void showEvent(QShowEvent *e) override;
    void hideEvent(QHideEvent *e) override;

private:
    void refresh();
    void showLines(const Port::ModemLines &lines);

    Port *m_port;
    QCheckBox *m_dtr, *m_rts;
    QPushButton *m_pulse, *m_break;
    QLabel *m_lamps[4];
    bool m_lit[4] = {};
};

// The port area's context menu (on the lamp pictures and the open/close
// switch; the Menu key and Shift+F10 on the focused switch): DTR, RTS,
// 复位脉冲, 发送 Break and 控制线…. The DTR and RTS choices hold while the
// program runs and are the port's.
class PortLinesMenu : public QObject
{
    Q_OBJECT

public:
    PortLinesMenu(Port *port, const QList<QWidget *> &area, QWidget *window);

    QAction *dtrAction() const { return m_dtr; }
    QAction *rtsAction() const { return m_rts; }
    void showMenu(const QPoint &pos);
    ControlLinesWindow *linesWindow();

    static QString noLinesTip() { return QStringLiteral("此设备不支持控制线"); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    Port *m_port;
    QWidget *m_window;
    QAction *m_dtr, *m_rts;
    ControlLinesWindow *m_linesWindow = nullptr;
};

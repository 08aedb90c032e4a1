#include "app/port_lines.h"

#include "app/tool_window.h"
#include "widgets/menu_switches.h"

#include <QAction>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>
#include <memory>

namespace
{
const char *const kLampNames[4] = {"CTS", "DSR", "DCD", "RI"};
enum class Lamp { Lit, Dark, Grey };

QPixmap lampPicture(Lamp how)
{
    QPixmap p(14, 14);
    p.fill(Qt::transparent);
    QPainter painter(&p);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QColor(60, 60, 60));
    painter.setBrush(how == Lamp::Lit    ? QColor(40, 200, 40)
                     : how == Lamp::Dark ? QColor(20, 60, 20)
                                         : QColor(170, 170, 170));
    painter.drawEllipse(1, 1, 12, 12);
    return p;
}

// Why the control lines cannot be used now.
QString whyNoLines(const Port *port)
{
    return port->isOpen() ? PortLinesMenu::noLinesTip() : QStringLiteral("串口没有打开");
}

// Greyed with the reason as its tooltip, or enabled without one.
void allow(QAction *a, bool enabled, const QString &whyNot)
{
    a->setEnabled(enabled);
    a->setToolTip(enabled ? QString() : whyNot);
}
} // namespace

ControlLinesWindow::ControlLinesWindow(Port *port, QAction *dtr, QAction *rts, QWidget *parent)
    : QWidget(parent, Qt::Window), m_port(port)
{
    setObjectName(QStringLiteral("ControlLinesWindow"));
    setWindowTitle(QStringLiteral("控制线"));
    setAccessibleName(QStringLiteral("控制线"));

    // The check boxes mirror the menu's switches both ways.
    auto mirror = [this](QAction *a, const char *name) {
        auto *box = new QCheckBox(a->text(), this);
        box->setObjectName(QString::fromLatin1(name));
        box->setChecked(a->isChecked());
        connect(box, &QCheckBox::toggled, a, [a](bool on) {
            if (a->isChecked() != on)
                a->trigger();
        });
        connect(a, &QAction::toggled, box, &QCheckBox::setChecked);
        return box;
    };
    m_dtr = mirror(dtr, "ChkDtr");
    m_rts = mirror(rts, "ChkRts");
    m_pulse = new QPushButton(QStringLiteral("复位脉冲"), this);
    m_pulse->setObjectName(QStringLiteral("CmdPulse"));
    m_break = new QPushButton(QStringLiteral("发送 Break"), this);
    m_break->setObjectName(QStringLiteral("CmdBreak"));
    connect(m_pulse, &QPushButton::clicked, this, [this] { m_port->pulseReset(); });
    connect(m_break, &QPushButton::clicked, this, [this] { m_port->sendBreak(); });

    auto *lamps = new QGridLayout;
    for (int i = 0; i < 4; ++i) {
        m_lamps[i] = new QLabel(this);
        m_lamps[i]->setObjectName(QStringLiteral("Lamp") + QLatin1String(kLampNames[i]));
        lamps->addWidget(m_lamps[i], 0, i, Qt::AlignHCenter);
        lamps->addWidget(new QLabel(QLatin1String(kLampNames[i]), this), 1, i, Qt::AlignHCenter);
    }
    auto *outputs = new QHBoxLayout;
    for (QWidget *w : std::initializer_list<QWidget *>{m_dtr, m_rts, m_pulse, m_break})
        outputs->addWidget(w);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(outputs);
    layout->addLayout(lamps);
    addCloseKeys(this, layout);

    connect(m_port, &Port::opened, this, &ControlLinesWindow::refresh);
    connect(m_port, &Port::closed, this, &ControlLinesWindow::refresh);
    connect(m_port, &Port::modemLinesChanged, this, &ControlLinesWindow::showLines);
    refresh();
}

QString ControlLinesWindow::lampText(int lamp) const
{
    return m_lamps[lamp]->accessibleName();
}

void ControlLinesWindow::refresh()
{
    const bool lines = m_port->hasControlLines();
    const QString tip = whyNoLines(m_port);
    for (QWidget *w : std::initializer_list<QWidget *>{m_pulse, m_break}) {
        w->setEnabled(lines);
        w->setToolTip(lines ? QString() : tip);
    }
    for (QWidget *w : std::initializer_list<QWidget *>{m_dtr, m_rts}) {
        w->setEnabled(lines || !m_port->isOpen());
        w->setToolTip(w->isEnabled() ? QString() : tip);
    }
    for (int i = 0; i < 4; ++i) {
        if (!lines)
            m_lit[i] = false;
        m_lamps[i]->setPixmap(lampPicture(!lines ? Lamp::Grey : m_lit[i] ? Lamp::Lit : Lamp::Dark));
        m_lamps[i]->setAccessibleName(QLatin1String(kLampNames[i]) + QStringLiteral("：") +
                                      (!lines     ? QStringLiteral("不可用")
                                       : m_lit[i] ? QStringLiteral("亮")
                                                  : QStringLiteral("灭")));
    }
}

void ControlLinesWindow::showLines(const Port::ModemLines &lines)
{
    const bool lit[4] = {lines.cts, lines.dsr, lines.dcd, lines.ri};
    std::copy(std::begin(lit), std::end(lit), m_lit);
    refresh();
}

void ControlLinesWindow::showEvent(QShowEvent *e)
{
    m_port->watchModemLines(true);
    refresh();
    QWidget::showEvent(e);
}

void ControlLinesWindow::hideEvent(QHideEvent *e)
{
    m_port->watchModemLines(false);
    QWidget::hideEvent(e);
}

PortLinesMenu::PortLinesMenu(Port *port, const QList<QWidget *> &area, QWidget *window)
    : QObject(window), m_port(port), m_window(window)
{
    m_dtr = new QAction(QStringLiteral("DTR"), this);
    m_rts = new QAction(QStringLiteral("RTS"), this);
    for (QAction *a : {m_dtr, m_rts})
        a->setCheckable(true);
    m_dtr->setChecked(port->dtr());
    m_rts->setChecked(port->rts());
    connect(m_dtr, &QAction::toggled, port, &Port::setDtr);
    connect(m_rts, &QAction::toggled, port, &Port::setRts);
    // Levels a script chooses show here too (setting a switch to what the
    // port holds changes nothing more).
    connect(port, &Port::linesChosen, this, [this](bool dtr, bool rts) {
        m_dtr->setChecked(dtr);
        m_rts->setChecked(rts);
    });
    for (QWidget *w : area)
        w->installEventFilter(this);
}

ControlLinesWindow *PortLinesMenu::linesWindow()
{
    if (!m_linesWindow)
        m_linesWindow = new ControlLinesWindow(m_port, m_dtr, m_rts, m_window);
    return m_linesWindow;
}

void PortLinesMenu::showMenu(const QPoint &pos)
{
    const bool lines = m_port->hasControlLines();
    const QString tip = whyNoLines(m_port);
    // The switches can be chosen while closed; they hold for the next opening.
    allow(m_dtr, lines || !m_port->isOpen(), tip);
    allow(m_rts, lines || !m_port->isOpen(), tip);
    QMenu menu;
    menu.setToolTipsVisible(true);
    addSwitchItem(&menu, m_dtr);
    addSwitchItem(&menu, m_rts);
    QAction *pulse = addCommandItem(&menu, QStringLiteral("复位脉冲"), lines, tip);
    QAction *brk = addCommandItem(&menu, QStringLiteral("发送 Break"), lines, tip);
    connect(pulse, &QAction::triggered, m_port, [this] { m_port->pulseReset(); });
    connect(brk, &QAction::triggered, m_port, [this] { m_port->sendBreak(); });
    menu.addSeparator();
    connect(menu.addAction(QStringLiteral("控制线…")), &QAction::triggered, this, [this] {
        linesWindow()->show();
        linesWindow()->raise();
        linesWindow()->activateWindow();
    });
    menu.exec(pos);
}

bool PortLinesMenu::eventFilter(QObject *watched, QEvent *event)
{
    auto *w = qobject_cast<QWidget *>(watched);
    if (w && event->type() == QEvent::ContextMenu) {
        auto *e = static_cast<QContextMenuEvent *>(event);
        showMenu(e->reason() == QContextMenuEvent::Keyboard ? w->mapToGlobal(w->rect().center())
                                                            : e->globalPos());
        return true;
    }
    if (w && event->type() == QEvent::KeyPress) {
        auto *k = static_cast<QKeyEvent *>(event);
        if (k->key() == Qt::Key_F10 && k->modifiers() == Qt::ShiftModifier) {
            showMenu(w->mapToGlobal(w->rect().center()));
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

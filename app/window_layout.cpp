#include "app/window_layout.h"

#include "widgets/status_line.h"

#include "receive/receive_display.h"
#include "widgets/settings_selector.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFrame>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QStyleFactory>
#include <QStyleOptionComplex>
#include <cmath>
#include <limits>

namespace layout
{
int px(int twips)
{
    return int(std::lround(twips / 15.0));
}
} // namespace layout

namespace
{
using layout::px;

template <typename W> W *place(W *w, const char *name, int l, int t, int wd, int h)
{
    w->setObjectName(QString::fromLatin1(name));
    w->setGeometry(px(l), px(t), px(wd), px(h));
    return w;
}

void paintBackground(QWidget *w, QPalette::ColorRole role)
{
    QPalette p = w->palette();
    p.setColor(role, layout::kBackground);
    w->setPalette(p);
}

QLabel *label(QWidget *parent, const char *name, int l, int t, int w, int h, const QString &text,
              bool centred = false)
{
    auto *lbl = place(new QLabel(text, parent), name, l, t, w, h);
    lbl->setAlignment(Qt::AlignTop | (centred ? Qt::AlignHCenter : Qt::AlignLeft));
    return lbl;
}

// Enter presses the focused button, as Space does.
class EnterPressesButton : public QObject
{
public:
    using QObject::QObject;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::KeyPress)
            return false;
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter)
            return false;
        if (!key->isAutoRepeat())
            static_cast<QPushButton *>(watched)->click();
        return true;
    }
};

QPushButton *button(QWidget *parent, const char *name, int l, int t, int w, int h,
                    const QString &caption)
{
    auto *b = place(new QPushButton(caption, parent), name, l, t, w, h);
    b->setAutoDefault(false);
    b->installEventFilter(new EnterPressesButton(b));
    return b;
}

// No text box limits its length (Qt's own limit is 32,767 characters).
void unlimited(QLineEdit *e)
{
    e->setMaxLength(std::numeric_limits<int>::max());
}

// The selectors are 53 pixels wide: a slim arrow leaves room for "115200" and "SPACE".
class CompactComboStyle : public QProxyStyle
{
public:
    using QProxyStyle::QProxyStyle;
    QRect subControlRect(ComplexControl cc, const QStyleOptionComplex *opt, SubControl sc,
                         const QWidget *w) const override
    {
        if (cc != CC_ComboBox || (sc != SC_ComboBoxArrow && sc != SC_ComboBoxEditField))
            return QProxyStyle::subControlRect(cc, opt, sc, w);
        const QRect r = opt->rect.adjusted(2, 2, -2, -2);
        if (sc == SC_ComboBoxArrow)
            return QRect(r.right() - kArrow + 1, r.top(), kArrow, r.height());
        return r.adjusted(0, 0, -kArrow, 0);
    }

private:
    static constexpr int kArrow = 11;
};

QStyle *compactComboStyle(QWidget *owner)
{
    QWidget *form = owner->window();
    if (auto *s = form->findChild<CompactComboStyle *>())
        return s;
    auto *s = new CompactComboStyle(QStyleFactory::create(QApplication::style()->name()));
    s->setParent(form);
    return s;
}

SettingsSelector *combo(QWidget *parent, const char *name, int l, int t, int w, int h,
                        const QString &text, const QStringList &items)
{
    auto *c = place(new SettingsSelector(parent), name, l, t, w, h);
    c->setStyle(compactComboStyle(parent));
    unlimited(c->lineEdit());
    c->addItems(items);
    c->setCurrentIndex(-1);
    c->setEditText(text);
    return c;
}

QCheckBox *check(QWidget *parent, const char *name, int l, int t, const QString &caption)
{
    auto *c = place(new QCheckBox(caption, parent), name, l, t, 255, 255);
    return c;
}

template <typename Edit = QLineEdit>
Edit *lineEdit(QWidget *parent, const char *name, int l, int t, int w, int h, const QString &text,
               bool centred = false, bool blend = false)
{
    auto *e = place(new Edit(parent), name, l, t, w, h);
    e->setText(text);
    unlimited(e);
    if (centred)
        e->setAlignment(Qt::AlignHCenter);
    if (blend)
        paintBackground(e, QPalette::Base);
    return e;
}

QPlainTextEdit *multiLine(QWidget *parent, const char *name, int l, int t, int w, int h)
{
    auto *e = place(new QPlainTextEdit(parent), name, l, t, w, h);
    e->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    e->setTabChangesFocus(true); // Tab moves on; a tab character never reaches the wire
    return e;
}

QLabel *picture(QWidget *parent, const char *name, int l, int t, const char *resource)
{
    auto *p = place(new QLabel(parent), name, l, t, 450, 420);
    p->setPixmap(QPixmap(QString::fromLatin1(resource)));
    return p;
}

QStringList numbered(const char *prefix, int from, int to)
{
    QStringList l;
    for (int i = from; i <= to; ++i)
        l << QString::fromLatin1(prefix) + QString::number(i);
    return l;
}
} // namespace

// The pictures live in the library's resources; a static library drops them
// unless something refers to them, so every window asks for them by name.
static void registerPictures()
{
    Q_INIT_RESOURCE(resources);
}

static void initPictures()
{
    static const bool registered = (registerPictures(), true);
    (void)registered;
}

void showText(QLineEdit *box, const QString &text)
{
    box->setText(text);
    box->setCursorPosition(0);
}

QIcon windowIconPicture()
{
    initPictures();
    QIcon icon;
    for (int size : {16, 32, 48})
        icon.addPixmap(QPixmap(QStringLiteral(":/pictures/icon_%1.xpm").arg(size)));
    return icon;
}

void buildMainForm(QWidget *form, MainFormControls &c)
{
    initPictures();
    QPalette pal = form->palette();
    pal.setColor(QPalette::Window, layout::kBackground);
    form->setPalette(pal);
    form->setAutoFillBackground(true);

    // Settings frame; its top lies above the client area, so its upper edge is not seen.
    c.Frame1 = place(new QFrame(form), "Frame1", 0, -100, 1650, 2200);
    c.Frame1->setFrameStyle(QFrame::Box | QFrame::Sunken);
    QWidget *f = c.Frame1;
    c.Label4 = label(f, "Label4", 50, 160, 600, 255, QStringLiteral("串口"), true);
    c.CboCom =
        combo(f, "CboCom", 750, 111, 800, 300, QStringLiteral("COM1"), numbered("COM", 1, 16));
    c.Label5 = label(f, "Label5", 50, 470, 600, 255, QStringLiteral("波特率"), true);
    c.CboBaudrate = combo(f, "CboBaudrate", 750, 400, 800, 300, QStringLiteral("9600"),
                          {"2400", "4800", "9600", "14400", "19200", "28800", "38400", "56000",
                           "57600", "115200", "128000", "256000"});
    c.Label6 = label(f, "Label6", 50, 760, 600, 255, QStringLiteral("校验位"), true);
    c.CboParitybit = combo(f, "CboParitybit", 750, 700, 800, 300, QStringLiteral("NONE"),
                           {"NONE", "ODD", "ENEV", "SPACE", "MARK"});
    c.Label7 = label(f, "Label7", 50, 1080, 600, 255, QStringLiteral("数据位"), true);
    c.CboDatabit =
        combo(f, "CboDatabit", 750, 1000, 800, 300, QStringLiteral("8"), {"8", "7", "6", "5"});
    c.Label8 = label(f, "Label8", 50, 1400, 600, 255, QStringLiteral("停止位"), true);
    c.CboStopbit =
        combo(f, "CboStopbit", 750, 1300, 800, 300, QStringLiteral("1"), {"1", "1.5", "2"});
    c.ImgSwitchOn = picture(f, "ImgSwitchOn", 120, 1680, ":/pictures/lamp_on.xpm");
    c.ImgSwitchOn->hide();
    c.ImgSwitchOff = picture(f, "ImgSwitchOff", 120, 1680, ":/pictures/lamp_off.xpm");
    c.CmdSwitch = button(f, "CmdSwitch", 720, 1740, 870, 440, QStringLiteral("关闭串口"));

    c.CmdClearReceive =
        button(form, "CmdClearReceive", 30, 2190, 1050, 310, QStringLiteral("清空接收区"));
    c.LblReceive = label(form, "LblReceive", 1130, 2180, 595, 255, QStringLiteral("接收区"));
    c.CmdStopdisp = button(form, "CmdStopdisp", 30, 2520, 1050, 310, QStringLiteral("停止显示"));
    c.ChkAutoClear = check(form, "ChkAutoClear", 50, 2850, QStringLiteral("Check1"));
    c.LblArtoclear = label(form, "LblArtoclear", 330, 2870, 800, 200, QStringLiteral("自动清空"));
    c.ChkHexReceive = check(form, "ChkHexReceive", 50, 3100, QStringLiteral("Check2"));
    c.Label10 = label(form, "Label10", 330, 3140, 1200, 200, QStringLiteral("十六进制显示"));
    c.CmdSaveDisp =
        button(form, "CmdSaveDisp", 30, 3450, 1225, 300, QStringLiteral("保存显示数据"));
    c.CmdAmend = button(form, "CmdAmend", 1250, 3450, 505, 300, QStringLiteral("更改"));
    c.TxtSavePath = lineEdit(form, "TxtSavePath", 60, 3760, 1650, 270,
                             QDir::homePath() + QStringLiteral("/COMDATA"), false, true);
    c.LblNowTime =
        label(form, "LblNowTime", 240, 4200, 1215, 195, QStringLiteral("当前时间"), true);
    QPalette black = c.LblNowTime->palette();
    black.setColor(QPalette::WindowText, Qt::black);
    c.LblNowTime->setPalette(black);
    c.LblNewDate =
        label(form, "LblNewDate", 240, 4440, 1215, 255, QStringLiteral("显示日前"), true);

    c.TxtReceive = place(new ReceiveDisplay(form), "TxtReceive", 1800, 6, 5745, 4750);

    c.CmdClearSend = button(form, "CmdClearSend", 100, 4850, 870, 300, QStringLiteral("清空重填"));
    c.LblSend = label(form, "LblSend", 1100, 4850, 1420, 270, QStringLiteral("发送的字符/数据"));
    c.TxtSend = multiLine(form, "TxtSend", 2560, 4820, 4980, 865);
    c.ChkHexSend = check(form, "ChkHexSend", 30, 5160, QStringLiteral("Check3"));
    c.Label11 = label(form, "Label11", 240, 5200, 1200, 200, QStringLiteral("十六进制发送"), true);
    c.CmdSend = button(form, "CmdSend", 1590, 5160, 870, 300, QStringLiteral("手动发送"));
    c.ChkAutoSend = check(form, "ChkAutoSend", 30, 5480, QStringLiteral("Check4"));
    c.LblAutoSend = label(form, "LblAutoSend", 240, 5510, 2215, 200,
                          QStringLiteral("自动发送(周期改变后重选)"), true);
    c.LblArtoSendCyc =
        label(form, "LblArtoSendCyc", 60, 5760, 1270, 200, QStringLiteral("自动发送周期："));
    c.TxtAutoSendTime =
        lineEdit(form, "TxtAutoSendTime", 1320, 5730, 660, 300, QStringLiteral("1000"));
    c.Label14 = label(form, "Label14", 2000, 5760, 450, 255, QStringLiteral("毫秒"));
    c.CmdSelectFile =
        button(form, "CmdSelectFile", 2520, 5700, 1225, 280, QStringLiteral("选择发送文件"));
    c.TxtSendPath = lineEdit(form, "TxtSendPath", 3800, 5740, 1700, 270,
                             QStringLiteral("还没有选择文件"), true, true);
    c.CmdSendFile = button(form, "CmdSendFile", 5580, 5700, 900, 280, QStringLiteral("发送文件"));
    c.CmdQuit = button(form, "CmdQuit", 6600, 5760, 870, 495, QStringLiteral("关闭程序"));

    c.TxtStatus =
        lineEdit<StatusLine>(form, "TxtStatus", 0, 6080, 2985, 270, QString(), true, true);
    c.TxtRXCount =
        lineEdit(form, "TxtRXCount", 3000, 6080, 1335, 270, QStringLiteral("RX:0"), true, true);
    c.TxtTXCount =
        lineEdit(form, "TxtTXCount", 4320, 6080, 1335, 270, QStringLiteral("TX:0"), true, true);
    c.CmdClearCounter =
        button(form, "CmdClearCounter", 5640, 6080, 865, 300, QStringLiteral("计数清零"));

    // Assistive technology reads each control by the label beside it; a check
    // box's own caption ("Check1" and so on) is never seen.
    const std::pair<QWidget *, QLabel *> named[] = {{c.ChkAutoClear, c.LblArtoclear},
                                                    {c.ChkHexReceive, c.Label10},
                                                    {c.ChkHexSend, c.Label11},
                                                    {c.ChkAutoSend, c.LblAutoSend},
                                                    {c.CboCom, c.Label4},
                                                    {c.CboBaudrate, c.Label5},
                                                    {c.CboParitybit, c.Label6},
                                                    {c.CboDatabit, c.Label7},
                                                    {c.CboStopbit, c.Label8},
                                                    {c.TxtReceive, c.LblReceive},
                                                    {c.TxtSend, c.LblSend},
                                                    {c.TxtAutoSendTime, c.LblArtoSendCyc}};
    for (const auto &[control, lbl] : named) {
        control->setAccessibleName(lbl->text());
        if (auto *cbo = qobject_cast<QComboBox *>(control)) // its field is what takes the focus
            cbo->lineEdit()->setAccessibleName(lbl->text());
    }
    // The boxes that stand without a label are named for what they show.
    c.TxtStatus->setAccessibleName(QStringLiteral("串口状态"));
    c.TxtRXCount->setAccessibleName(QStringLiteral("接收计数"));
    c.TxtTXCount->setAccessibleName(QStringLiteral("发送计数"));
    c.TxtSavePath->setAccessibleName(QStringLiteral("保存目录"));
    c.TxtSendPath->setAccessibleName(QStringLiteral("发送文件"));
    c.ImgSwitchOn->setAccessibleName(QStringLiteral("串口指示灯：亮"));
    c.ImgSwitchOff->setAccessibleName(QStringLiteral("串口指示灯：灭"));

    const QList<QWidget *> tabOrder{
        c.TxtReceive,    c.CmdSwitch,   c.CmdClearReceive, c.CmdStopdisp,     c.ChkAutoClear,
        c.ChkHexReceive, c.TxtSavePath, c.TxtSend,         c.CmdClearSend,    c.CmdSend,
        c.ChkHexSend,    c.ChkAutoSend, c.TxtStatus,       c.TxtRXCount,      c.TxtTXCount,
        c.CmdSelectFile, c.TxtSendPath, c.CmdSendFile,     c.CmdClearCounter, c.CmdQuit,
        c.CboCom,        c.CboBaudrate, c.CboParitybit,    c.CboDatabit,      c.CboStopbit,
        c.CmdSaveDisp,   c.CmdAmend,    c.TxtAutoSendTime};
    for (QWidget *w : tabOrder)
        w->setFocusPolicy(Qt::StrongFocus);
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);
    c.TxtReceive->setFocus();
}

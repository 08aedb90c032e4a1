#include "widgets/status_line.h"

#include <QFontMetrics>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>

QString elidedStatus(const QString &text, qsizetype nameFrom, qsizetype nameLength,
                     const QFontMetrics &metrics, int width)
{
    if (metrics.horizontalAdvance(text) <= width)
        return text;
    if (nameFrom >= 0 && nameLength > 0 && nameFrom + nameLength <= text.size()) {
        const QString before = text.left(nameFrom);
        const QString after = text.mid(nameFrom + nameLength);
        const int room = width - metrics.horizontalAdvance(before + after);
        const QString name =
            metrics.elidedText(text.mid(nameFrom, nameLength), Qt::ElideMiddle, room);
        // Keep at least a character either side of the ellipsis: a name shortened
        // to "…" alone tells nothing.
        if (name.size() >= 3)
            return before + name + after;
    }
    return metrics.elidedText(text, Qt::ElideRight, width);
}

StatusLine::StatusLine(QWidget *parent) : QLineEdit(parent)
{
    // Typed into by hand, the box no longer knows where a name is.
    connect(this, &QLineEdit::textEdited, this, [this] { m_nameFrom = -1; });
}

void StatusLine::showStatus(const QString &text, qsizetype nameFrom, qsizetype nameLength)
{
    setText(text);
    setCursorPosition(0);
    setToolTip(text);
    m_nameFrom = nameFrom;
    m_nameLength = nameLength;
    update();
}

QRect StatusLine::textArea() const
{
    QStyleOptionFrame option;
    initStyleOption(&option);
    // Qt's line edit keeps 2 pixels of margin left and right, 1 above and below.
    const QMargins m = textMargins();
    return style()
        ->subElementRect(QStyle::SE_LineEditContents, &option, this)
        .adjusted(m.left() + 2, m.top() + 1, -m.right() - 2, -m.bottom() - 1);
}

QString StatusLine::shownText() const
{
    return elidedStatus(text(), m_nameFrom, m_nameLength, fontMetrics(), textArea().width());
}

void StatusLine::paintEvent(QPaintEvent *event)
{
    const QString shown = hasFocus() ? text() : shownText();
    if (shown == text()) {
        QLineEdit::paintEvent(event);
        return;
    }
    QPainter p(this);
    QStyleOptionFrame option;
    initStyleOption(&option);
    style()->drawPrimitive(QStyle::PE_PanelLineEdit, &option, &p, this);
    p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text));
    p.drawText(textArea(), (alignment() & Qt::AlignHorizontal_Mask) | Qt::AlignVCenter, shown);
}

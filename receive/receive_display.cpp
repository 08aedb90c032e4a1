#include "receive/receive_display.h"
#include "receive/quiet_scroll_bar.h"
#include "receive/receive_display_parts.h"

#include "receive/document_snapshot.h"

#include "receive/frame_clock.h"
#include "receive/receive_display_accessible.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFontMetrics>
#include <QPointer>
#include <QTextLayout>
#include <QTimer>
#include <algorithm>
#include <cmath>

using namespace receive_box;

namespace
{
// Advances in 1/64 pixel, so that a row's width adds up as the drawn text does.
constexpr int kUnit = 64;

std::function<int(char16_t)> measurer(const QFont &font)
{
    return [fm = QFontMetricsF(font)](char16_t c) {
        auto units = [](qreal px) { return int(std::lround(px * kUnit)); };
        if (c >= 0xD800 && c <= 0xDBFF)
            return units(fm.horizontalAdvance(QChar(0x4E00)));
        if (c >= 0xDC00 && c <= 0xDFFF)
            return 0;
        // Characters drawn as nothing count a pixel, so a flood of them (CR,
        // NUL: a wrong baud rate, a line in break) wraps like visible text.
        const char16_t s = shown(c);
        return std::max(units(1), s == 0x200B ? 0 : units(fm.horizontalAdvance(QChar(s))));
    };
}

QFont displayFont(QFont f)
{
    // Rows are wrapped with per-character advances; without kerning the drawn
    // row is exactly as wide as the sum of them.
    f.setKerning(false);
    return f;
}
} // namespace

ReceiveDisplay::ReceiveDisplay(QWidget *parent)
    : QAbstractScrollArea(parent), m_layout(measurer(displayFont(font())))
{
    installReceiveDisplayAccessibility();
    setFont(displayFont(font()));
    m_glyphRows = std::make_unique<GlyphRows>(font(), measurer(font()));
    makeGlyphCells();
    setVerticalScrollBar(new QuietScrollBar(Qt::Vertical, this));
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // With both bars' policies fixed, a range change cannot show or hide a bar;
    // the scroll area would still lay itself out again, through the event
    // queue, at every frame of streaming data.
    if (metaObject()->indexOfSlot("_q_showOrHideScrollBars()") >= 0)
        disconnect(verticalScrollBar(), SIGNAL(rangeChanged(int, int)), this,
                   SLOT(_q_showOrHideScrollBars()));
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    // The box fills its own background in its paint: one painter a frame
    // instead of two.
    viewport()->setAutoFillBackground(false);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    m_recordAction = new QAction(QStringLiteral("记录到文件"), this);
    m_recordAction->setCheckable(true);
    m_txrxAction = new QAction(QStringLiteral("记录收发"), this);
    m_txrxAction->setCheckable(true);
    m_stampAction = new QAction(QStringLiteral("显示时间戳"), this);
    m_stampAction->setCheckable(true);
    m_showSentAction = new QAction(QStringLiteral("显示发送数据"), this);
    m_showSentAction->setCheckable(true);
}

ReceiveDisplay::~ReceiveDisplay() = default;

ReceiveDisplay::Announcer ReceiveDisplay::s_announcer = nullptr;

void ReceiveDisplay::setAnnouncer(Announcer announcer)
{
    s_announcer = announcer;
}

bool ReceiveDisplay::announcing()
{
    return s_announcer || QAccessible::isActive();
}

void ReceiveDisplay::announce(QAccessibleEvent *event)
{
    if (s_announcer)
        s_announcer(event);
    else
        QAccessible::updateAccessibility(event);
}

// ---- content -----------------------------------------------------------------

void ReceiveDisplay::appendReceivedText(QStringView text)
{
    const qint64 old = m_doc.size();
    m_doc.appendText(text);
    m_layout.appended(m_doc, old);
    afterAppend(old);
}

void ReceiveDisplay::appendSentText(QStringView text)
{
    const qint64 old = m_doc.size();
    m_doc.appendText(text, true);
    m_layout.appended(m_doc, old);
    afterAppend(old);
}

QColor ReceiveDisplay::sentColor() const
{
    const QColor base = viewport()->palette().color(viewport()->backgroundRole());
    return base.lightness() >= 128 ? QColor(0x00, 0x4d, 0xb3) : QColor(0x7c, 0xb8, 0xff);
}

void ReceiveDisplay::appendReceivedHex(QByteArrayView bytes)
{
    const qint64 old = m_doc.size();
    m_doc.appendHex(bytes);
    m_layout.appendedHex(old, bytes);
    afterAppend(old);
}

void ReceiveDisplay::afterAppend(qint64 oldSize)
{
    if (m_doc.size() == oldSize)
        return;
    // Only what changed is painted again: the rows from the old end on, and the
    // caret's old place (a selection is simply painted whole).
    m_repaintFrom = std::min({m_repaintFrom < 0 ? oldSize : m_repaintFrom, oldSize, m_cursor});
    if (hasSelection())
        m_repaintAll = true;
    if (!m_hold) {
        m_cursor = m_anchor = m_doc.size();
        m_followCaret = true;
    }
    if (announcing()) {
        QAccessibleTextInsertEvent ev(this, int(std::min<qint64>(oldSize, INT_MAX)),
                                      boundedText(oldSize, m_doc.size()));
        announce(&ev);
        notifyCaret();
    }
    scheduleRefresh();
}

void ReceiveDisplay::setText(const QString &text)
{
    const QString old = announcing() ? boundedText(0, m_doc.size()) : QString();
    replaceAll(text);
    if (announcing()) {
        QAccessibleTextUpdateEvent ev(this, 0, old, text);
        announce(&ev);
    }
}

void ReceiveDisplay::clear()
{
    if (m_doc.isEmpty())
        return;
    if (announcing()) {
        QAccessibleTextRemoveEvent ev(this, 0, boundedText(0, m_doc.size()));
        announce(&ev);
    }
    replaceAll({});
}

void ReceiveDisplay::replaceAll(QStringView text)
{
    m_doc.clear();
    m_doc.appendText(text);
    m_layout.reset(m_doc);
    dropRowCache();
    m_cursor = m_anchor = 0;
    m_placedAnchor = m_placedCursor = -1;
    m_hold = false;
    refreshNow();
    emit contentReset();
}

void ReceiveDisplay::edit(qint64 from, qint64 to, const QString &text)
{
    const QString removed = announcing() && to > from ? boundedText(from, to) : QString();
    m_doc.replace(from, to, text);
    m_layout.edited(m_doc, from, to - from, text.size());
    dropRowCache();
    m_cursor = m_anchor = from + text.size();
    m_placedAnchor = m_placedCursor = -1;
    m_hold = false;
    m_targetX = -1;
    if (announcing()) {
        if (!removed.isEmpty()) {
            QAccessibleTextRemoveEvent ev(this, int(from), removed);
            announce(&ev);
        }
        if (!text.isEmpty()) {
            QAccessibleTextInsertEvent ev(this, int(from), text);
            announce(&ev);
        }
    }
    m_followCaret = true;
    restartBlink();
    refreshNow();
    notifyCaret();
    emit contentReset();
}

void ReceiveDisplay::insertText(const QString &text)
{
    edit(selectionStart(), selectionEnd(), text);
}

// ---- caret and selection -------------------------------------------------------

void ReceiveDisplay::setCaretPosition(qint64 pos, bool keepAnchor)
{
    m_cursor = std::clamp<qint64>(pos, 0, m_doc.size());
    if (!keepAnchor)
        m_anchor = m_cursor;
    m_placedAnchor = m_anchor;
    m_placedCursor = m_cursor;
    m_hold = false;
    m_followCaret = true;
    restartBlink();
    refreshNow();
    notifyCaret();
}

void ReceiveDisplay::setSelection(qint64 anchor, qint64 caret)
{
    m_anchor = std::clamp<qint64>(anchor, 0, m_doc.size());
    setCaretPosition(caret, true);
}

void ReceiveDisplay::selectAll()
{
    setSelection(0, m_doc.size());
}

std::pair<qint64, qint64> ReceiveDisplay::searchOrigin() const
{
    if (m_placedCursor < 0)
        return {m_anchor, m_cursor};
    return {m_placedAnchor, m_placedCursor};
}

void ReceiveDisplay::showMatch(qint64 from, qint64 to)
{
    setSelection(from, to);
    m_hold = true;
}

std::shared_ptr<const DocumentSnapshot> ReceiveDisplay::snapshot()
{
    return DocumentSnapshot::of(m_doc);
}

std::shared_ptr<void> ReceiveDisplay::lendBlocks(int blocks)
{
    m_doc.lendBlocks(blocks);
    struct Loan {
        QPointer<ReceiveDisplay> box;
        ~Loan()
        {
            if (box)
                box->m_doc.lendBlocks(0);
        }
    };
    auto loan = std::make_shared<Loan>();
    loan->box = this;
    return loan;
}

bool ReceiveDisplay::copy() const
{
    if (!hasSelection() || selectionEnd() - selectionStart() > kMaxCopyChars)
        return false;
    QApplication::clipboard()->setText(selectedText());
    return true;
}

void ReceiveDisplay::cut()
{
    if (copy())
        insertText(QString());
}

void ReceiveDisplay::paste()
{
    const QString t = QApplication::clipboard()->text();
    if (!t.isEmpty())
        insertText(t);
}

void ReceiveDisplay::notifyCaret()
{
    if (!announcing())
        return;
    if (hasSelection()) {
        QAccessibleTextSelectionEvent ev(this, int(selectionStart()), int(selectionEnd()));
        ev.setCursorPosition(int(m_cursor));
        announce(&ev);
    } else {
        QAccessibleTextCursorEvent ev(this, int(m_cursor));
        announce(&ev);
    }
}

// A line break written as CR LF moves as one character.
qint64 ReceiveDisplay::previousPosition(qint64 pos) const
{
    if (pos <= 0)
        return 0;
    const char16_t c = m_doc.at(pos - 1);
    if (pos >= 2 && ((c == u'\n' && m_doc.at(pos - 2) == u'\r') ||
                     (QChar::isLowSurrogate(c) && QChar::isHighSurrogate(m_doc.at(pos - 2)))))
        return pos - 2;
    return pos - 1;
}

qint64 ReceiveDisplay::nextPosition(qint64 pos) const
{
    if (pos >= m_doc.size())
        return m_doc.size();
    const char16_t c = m_doc.at(pos);
    if (pos + 1 < m_doc.size() &&
        ((c == u'\r' && m_doc.at(pos + 1) == u'\n') ||
         (QChar::isHighSurrogate(c) && QChar::isLowSurrogate(m_doc.at(pos + 1)))))
        return pos + 2;
    return pos + 1;
}

// ---- geometry ----------------------------------------------------------------

int ReceiveDisplay::lineHeight() const
{
    return std::max(1, QFontMetrics(font()).lineSpacing());
}

int ReceiveDisplay::visibleRows() const
{
    return std::max(1, (viewport()->height() - kMargin) / lineHeight());
}

int ReceiveDisplay::textWidth() const
{
    return std::max(1, viewport()->width() - 2 * kMargin);
}

qint64 ReceiveDisplay::firstVisibleRow() const
{
    return verticalScrollBar()->value();
}

QString ReceiveDisplay::rowText(qint64 row, qint64 *start) const
{
    *start = m_layout.rowStart(row);
    qint64 end = m_layout.rowEnd(row, m_doc.size());
    if (end > *start && m_doc.at(end - 1) == u'\n')
        --end;
    QString s = m_doc.text(*start, end);
    for (QChar &c : s)
        c = QChar(shown(c.unicode()));
    return s;
}

void ReceiveDisplay::layoutRow(QTextLayout &layout, const QString &text) const
{
    layout.setText(text);
    layout.setFont(font());
    layout.setCacheEnabled(true);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    if (line.isValid()) {
        line.setLineWidth(1e9);
        line.setPosition(QPointF(0, 0));
    }
    layout.endLayout();
}

// The row the caret is drawn in: at a wrap point, the start of the next row.
qint64 ReceiveDisplay::caretRow() const
{
    return m_layout.rowOf(m_cursor);
}

QRect ReceiveDisplay::characterRect(qint64 pos) const
{
    pos = std::clamp<qint64>(pos, 0, m_doc.size());
    const qint64 row = m_layout.rowOf(pos);
    qint64 start;
    const QString text = rowText(row, &start);
    const int inRow = int(pos - start);
    const int y0 = int(row - firstVisibleRow()) * lineHeight() + kMargin;
    if (const auto g = m_glyphRows->row(text)) {
        const qreal x0 = g->edges()[size_t(std::min(inRow, int(text.size())))];
        const qreal x1 = inRow < text.size() ? g->edges()[size_t(inRow + 1)] : x0 + 1;
        return QRect(kMargin + int(x0), y0, std::max(1, int(std::ceil(x1)) - int(x0)),
                     lineHeight());
    }
    QTextLayout layout;
    layoutRow(layout, text);
    const int x = layout.lineCount() ? int(layout.lineAt(0).cursorToX(inRow)) : 0;
    const int next = layout.lineCount() && inRow < layout.text().size()
                         ? int(layout.lineAt(0).cursorToX(inRow + 1))
                         : x + 1;
    const int y = int(row - firstVisibleRow()) * lineHeight() + kMargin;
    return QRect(kMargin + x, y, std::max(1, next - x), lineHeight());
}

qint64 ReceiveDisplay::positionAt(const QPoint &p) const
{
    if (m_doc.isEmpty())
        return 0;
    qint64 row = firstVisibleRow() + (p.y() - kMargin) / lineHeight();
    if (p.y() < kMargin)
        row = firstVisibleRow() - 1;
    if (row < 0)
        return 0;
    if (row >= m_layout.rowCount())
        return m_doc.size();
    return positionInRow(row, p.x() - kMargin);
}

qint64 ReceiveDisplay::positionInRow(qint64 row, qreal x) const
{
    qint64 start;
    const QString text = rowText(row, &start);
    if (const auto g = m_glyphRows->row(text))
        return start + g->positionAt(x);
    QTextLayout layout;
    layoutRow(layout, text);
    if (!layout.lineCount())
        return start;
    return start + layout.lineAt(0).xToCursor(x);
}

// ---- refresh -------------------------------------------------------------------

// Appends repaint once a frame, together with the counters.
void ReceiveDisplay::scheduleRefresh()
{
    FrameClock::instance().request(this, [this] { refreshNow(false); });
}

void ReceiveDisplay::refreshNow(bool all)
{
    updateScrollRange();
    if (m_followCaret)
        ensureCaretVisible(); // scrolls the pixels already drawn
    m_followCaret = false;
    if (all || m_repaintAll) {
        viewport()->update();
    } else if (m_repaintFrom >= 0) {
        const qint64 row = m_layout.rowOf(std::min(m_repaintFrom, m_doc.size()));
        const qint64 y = (row - firstVisibleRow()) * lineHeight() + kMargin;
        if (y < viewport()->height())
            viewport()->update(0, int(std::max<qint64>(0, y)), viewport()->width(),
                               viewport()->height());
    }
    m_repaintAll = false;
    m_repaintFrom = -1;
}

void ReceiveDisplay::updateScrollRange()
{
    const qint64 max = std::max<qint64>(0, m_layout.rowCount() - visibleRows());
    QScrollBar *bar = verticalScrollBar();
    bar->setRange(0, int(std::min<qint64>(max, INT_MAX)));
    bar->setPageStep(visibleRows());
    bar->setSingleStep(1);
}

void ReceiveDisplay::ensureCaretVisible()
{
    const qint64 row = caretRow();
    QScrollBar *bar = verticalScrollBar();
    if (row < bar->value())
        bar->setValue(int(row));
    else if (row >= bar->value() + visibleRows())
        bar->setValue(int(std::min<qint64>(row - visibleRows() + 1, INT_MAX)));
}

// Rows move up as data follows: the pixels drawn already move with them, and
// only the rows that come into view are painted.
void ReceiveDisplay::scrollContentsBy(int, int dy)
{
    if (std::abs(dy) < visibleRows())
        viewport()->scroll(0, dy * lineHeight());
    else
        viewport()->update();
}

void ReceiveDisplay::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    m_layout.setWidth(m_doc, textWidth() * kUnit);
    dropRowCache();
    m_followCaret = true;
    refreshNow();
    startRelayout();
}

// A long history is laid out for a new width or font in steps of a few
// milliseconds, between which the window goes on (data, paints, input); the
// rows laid out before serve until the new ones are complete. Every slice,
// the first too, comes from the timer, so the change itself returns at once.
void ReceiveDisplay::startRelayout()
{
    if (m_layout.relayoutPending())
        m_relayout.start(1, this);
    else
        m_relayout.stop();
}

void ReceiveDisplay::continueRelayout()
{
    if (!m_layout.relayoutPending()) {
        m_relayout.stop();
        return;
    }
    QElapsedTimer spent;
    spent.start();
    while (!spent.hasExpired(kRelayoutSliceMs)) {
        if (m_layout.relayoutStep(m_doc, qint64(1) << 16)) {
            m_relayout.stop();
            dropRowCache();
            m_followCaret = true;
            refreshNow(true);
            return;
        }
    }
}

void ReceiveDisplay::changeEvent(QEvent *event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        m_layout.remeasure(m_doc, measurer(font()));
        m_glyphRows = std::make_unique<GlyphRows>(font(), measurer(font()));
        makeGlyphCells();
        dropRowCache();
        refreshNow();
        startRelayout();
    }
}

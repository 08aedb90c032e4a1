#include "receive/receive_display.h"

#include "receive/document_snapshot.h"

#include "widgets/menu_switches.h"
#include "receive/frame_clock.h"
#include "receive/receive_display_accessible.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QAction>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QFontMetrics>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <optional>
#include <QTextLayout>
#include <QTimer>
#include <algorithm>
#include <cmath>

namespace {
constexpr int kMargin = 4;           // space between the frame and the text

// How a character is drawn: control characters take no room, a tab shows as a space.
char16_t shown(char16_t c)
{
    if (c == u'\t')
        return u' ';
    if (c < 0x20 || c == 0x7f)
        return 0x200B;
    return c;
}

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

// A scroll bar that paints again only when it would look different: as data
// streams in, its range grows at every frame while the slider stays on the
// same pixels for many frames.
class QuietScrollBar : public QScrollBar
{
public:
    using QScrollBar::QScrollBar;

protected:
    // Several changes in a row (the range grows, then the value follows it) are
    // looked at once, when they are all made.
    void sliderChange(SliderChange change) override
    {
        if (change == SliderOrientationChange || !m_look) {
            m_look = appearance();
            QScrollBar::sliderChange(change);
            return;
        }
        if (m_checkPending)
            return;
        m_checkPending = true;
        FrameClock::instance().request(this, [this] {
            m_checkPending = false;
            const Look look = appearance();
            if (look != *m_look) {
                m_look = look;
                update();
            }
        });
    }

private:
    struct Look {
        QRect slider;
        bool atMinimum, atMaximum;
        bool operator==(const Look &) const = default;
    };
    Look appearance() const
    {
        QStyleOptionSlider opt;
        initStyleOption(&opt);
        return {style()->subControlRect(QStyle::CC_ScrollBar, &opt, QStyle::SC_ScrollBarSlider, this),
                value() == minimum(), value() == maximum()};
    }
    std::optional<Look> m_look;
    bool m_checkPending = false;
};

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
        disconnect(verticalScrollBar(), SIGNAL(rangeChanged(int,int)), this, SLOT(_q_showOrHideScrollBars()));
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
    m_stampAction = new QAction(QStringLiteral("显示时间戳"), this);
    m_stampAction->setCheckable(true);
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

std::shared_ptr<const DocumentSnapshot> ReceiveDisplay::snapshot(int lend)
{
    m_doc.lendBlocks(lend); // before the snapshot, so it does not hold what the cache lets go
    return DocumentSnapshot::of(m_doc);
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
    if (pos + 1 < m_doc.size() && ((c == u'\r' && m_doc.at(pos + 1) == u'\n') ||
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
        return QRect(kMargin + int(x0), y0, std::max(1, int(std::ceil(x1)) - int(x0)), lineHeight());
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

// ---- painting ------------------------------------------------------------------

void ReceiveDisplay::makeGlyphCells()
{
    const QRawFont raw = QRawFont::fromFont(font());
    m_glyphCells = std::make_unique<GlyphCells>(raw, lineHeight(), raw.ascent());
}

int ReceiveDisplay::CachedRow::length() const
{
    return glyphs ? int(glyphs->edges().size()) - 1 : layout->text().size();
}

ReceiveDisplay::CachedRow *ReceiveDisplay::cachedRow(qint64 row, qint64 *start)
{
    *start = m_layout.rowStart(row);
    const qint64 end = m_layout.rowEnd(row, m_doc.size());
    auto it = m_rowCache.find(*start);
    if (it != m_rowCache.end() && it->second.end == end) {
        it->second.paint = m_paints;
        return &it->second;
    }
    qint64 s;
    const QString text = rowText(row, &s);
    CachedRow made{end, m_glyphRows->row(text), nullptr, m_paints};
    if (!made.glyphs) {
        made.layout = std::make_unique<QTextLayout>();
        layoutRow(*made.layout, text);
    }
    return &m_rowCache.insert_or_assign(*start, std::move(made)).first->second;
}

void ReceiveDisplay::paintEvent(QPaintEvent *event)
{
    QPainter p(viewport());
    const QPalette &pal = palette();
    const qint64 top = firstVisibleRow();
    const QRect dirty = event->rect();
    const qint64 first = top + std::max(0, dirty.top() - kMargin) / lineHeight();
    const qint64 last = std::min({m_layout.rowCount(), top + visibleRows() + 1,
                                  top + (dirty.bottom() - kMargin) / lineHeight() + 1});
    const qint64 selFrom = selectionStart(), selTo = selectionEnd();
    const bool drawCaret = hasFocus() && m_caretOn;
    const qint64 cRow = caretRow();
    const QBrush &under = viewport()->palette().brush(viewport()->backgroundRole());
    p.fillRect(dirty, under);
    const GlyphRow::Colors colors{under.style() == Qt::SolidPattern ? under.color() : QColor(),
                                  pal.brush(QPalette::Highlight), pal.color(QPalette::Text),
                                  pal.color(QPalette::HighlightedText)};
    // Glyphs are copied straight into the pixels when the painter allows it.
    const auto surface = GlyphCells::surface(p, dirty & viewport()->rect());
    if (surface)
        m_glyphCells->beginPaint();
    ++m_paints;
    for (qint64 row = first; row < last; ++row) {
        qint64 start;
        CachedRow *cached = cachedRow(row, &start);
        const QPointF at(kMargin, kMargin + (row - top) * lineHeight());
        if (cached->glyphs) {
            const GlyphRow &g = *cached->glyphs;
            const int n = cached->length();
            g.draw(p, at, lineHeight(), int(std::clamp<qint64>(selFrom - start, 0, n)),
                   int(std::clamp<qint64>(selTo - start, 0, n)), colors, m_glyphCells.get(),
                   surface ? &*surface : nullptr);
            if (drawCaret && row == cRow)
                p.fillRect(QRectF(at.x() + g.edges()[size_t(std::clamp<qint64>(m_cursor - start, 0, n))],
                                  at.y(), 1, lineHeight()),
                           pal.color(QPalette::Text));
            continue;
        }
        QTextLayout *layout = cached->layout.get();
        QList<QTextLayout::FormatRange> selections;
        const qint64 end = start + layout->text().size();
        if (selTo > start && selFrom < end) {
            QTextLayout::FormatRange r;
            r.start = int(std::max(selFrom, start) - start);
            r.length = int(std::min(selTo, end) - start) - r.start;
            r.format.setBackground(pal.brush(QPalette::Highlight));
            r.format.setForeground(pal.brush(QPalette::HighlightedText));
            selections << r;
        }
        p.setPen(pal.color(QPalette::Text));
        layout->draw(&p, at, selections);
        if (drawCaret && row == cRow)
            layout->drawCursor(&p, at, int(m_cursor - start), 1);
    }
    // Rows stay cached from paint to paint (following new data moves them up
    // unchanged); when there are many, those this paint did not use go.
    if (m_rowCache.size() > size_t(visibleRows()) * 3 + 64)
        std::erase_if(m_rowCache, [this](const auto &entry) { return entry.second.paint != m_paints; });
    noteDamage();
}

void ReceiveDisplay::noteDamage()
{
    const bool damaged = damagedPages() > 0;
    if (damaged && !m_damageReported)
        emit historyDamaged();
    m_damageReported = damaged;
}

// ---- keyboard and mouse --------------------------------------------------------

void ReceiveDisplay::moveVertically(int rows, bool keepAnchor)
{
    const QRect r = characterRect(m_cursor);
    if (m_targetX < 0)
        m_targetX = r.left();
    const qint64 row = std::clamp<qint64>(caretRow() + rows, 0, m_layout.rowCount() - 1);
    const qint64 pos = positionInRow(row, m_targetX - kMargin);
    const int keep = m_targetX;
    setCaretPosition(pos, keepAnchor);
    m_targetX = keep;
}

// F3 and Shift+F3 find the next match here, before the window's own shortcuts.
static bool findKey(const QKeyEvent *e)
{
    const auto mods = e->modifiers() & ~Qt::KeypadModifier;
    return (e->key() == Qt::Key_F3 && (mods == Qt::NoModifier || mods == Qt::ShiftModifier)) ||
           e->matches(QKeySequence::Find);
}

bool ReceiveDisplay::event(QEvent *e)
{
    if (e->type() == QEvent::ShortcutOverride && findKey(static_cast<QKeyEvent *>(e))) {
        e->accept();
        return true;
    }
    return QAbstractScrollArea::event(e);
}

void ReceiveDisplay::keyPressEvent(QKeyEvent *e)
{
    if (findKey(e)) {
        if (e->key() == Qt::Key_F3)
            emit findNextRequested(!(e->modifiers() & Qt::ShiftModifier));
        else
            emit findRequested();
        return;
    }
    if (e == QKeySequence::SelectAll) {
        selectAll();
        return;
    }
    if (e == QKeySequence::Copy) {
        copy();
        return;
    }
    if (e == QKeySequence::Cut) {
        cut();
        return;
    }
    if (e == QKeySequence::Paste) {
        paste();
        return;
    }
    const bool shift = e->modifiers() & Qt::ShiftModifier;
    const bool ctrl = e->modifiers() & Qt::ControlModifier;
    const qint64 row = caretRow();
    const int keepX = m_targetX;
    m_targetX = -1;
    switch (e->key()) {
    case Qt::Key_Left:
        setCaretPosition(!shift && hasSelection() ? selectionStart() : previousPosition(m_cursor), shift);
        return;
    case Qt::Key_Right:
        setCaretPosition(!shift && hasSelection() ? selectionEnd() : nextPosition(m_cursor), shift);
        return;
    case Qt::Key_Up:
        m_targetX = keepX;
        moveVertically(-1, shift);
        return;
    case Qt::Key_Down:
        m_targetX = keepX;
        moveVertically(1, shift);
        return;
    case Qt::Key_PageUp:
        m_targetX = keepX;
        moveVertically(-visibleRows(), shift);
        return;
    case Qt::Key_PageDown:
        m_targetX = keepX;
        moveVertically(visibleRows(), shift);
        return;
    case Qt::Key_Home:
        setCaretPosition(ctrl ? 0 : m_layout.rowStart(row), shift);
        return;
    case Qt::Key_End: {
        if (ctrl) {
            setCaretPosition(m_doc.size(), shift);
            return;
        }
        qint64 end = m_layout.rowEnd(row, m_doc.size());
        if (end > m_layout.rowStart(row) && m_doc.at(end - 1) == u'\n')
            end = previousPosition(end);
        else if (row + 1 < m_layout.rowCount())
            end = previousPosition(end); // stay on this row, before the wrap point
        setCaretPosition(end, shift);
        return;
    }
    case Qt::Key_Backspace:
        if (hasSelection())
            insertText(QString());
        else if (m_cursor > 0)
            edit(previousPosition(m_cursor), m_cursor, QString());
        return;
    case Qt::Key_Delete:
        if (hasSelection())
            insertText(QString());
        else if (m_cursor < m_doc.size())
            edit(m_cursor, nextPosition(m_cursor), QString());
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        insertText(QStringLiteral("\r\n"));
        return;
    case Qt::Key_F10:
        if (!shift)
            break;
        [[fallthrough]];
    case Qt::Key_Menu: // the context menu from the keyboard, at the caret
        contextMenu()->exec(viewport()->mapToGlobal(characterRect(m_cursor).bottomLeft()));
        return;
    default:
        break;
    }
    const QString t = e->text();
    if (!t.isEmpty() && !ctrl && t.at(0).isPrint()) {
        insertText(t);
        return;
    }
    QAbstractScrollArea::keyPressEvent(e);
}

void ReceiveDisplay::mousePressEvent(QMouseEvent *e)
{
    if (e->button() != Qt::LeftButton)
        return;
    m_targetX = -1;
    setCaretPosition(positionAt(e->position().toPoint()), e->modifiers() & Qt::ShiftModifier);
}

void ReceiveDisplay::mouseMoveEvent(QMouseEvent *e)
{
    if (e->buttons() & Qt::LeftButton)
        setCaretPosition(positionAt(e->position().toPoint()), true);
}

void ReceiveDisplay::mouseDoubleClickEvent(QMouseEvent *e)
{
    if (e->button() != Qt::LeftButton)
        return;
    // Selects the run of non-blank characters under the pointer.
    const qint64 pos = positionAt(e->position().toPoint());
    auto blank = [](char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; };
    qint64 from = pos, to = pos;
    const qint64 row = m_layout.rowOf(pos);
    const qint64 rowFrom = m_layout.rowStart(row), rowTo = m_layout.rowEnd(row, m_doc.size());
    while (from > rowFrom && !blank(m_doc.at(from - 1)))
        --from;
    while (to < rowTo && !blank(m_doc.at(to)))
        ++to;
    setSelection(from, to);
}

void ReceiveDisplay::contextMenuEvent(QContextMenuEvent *e)
{
    contextMenu()->exec(e->globalPos());
}

std::unique_ptr<QMenu> ReceiveDisplay::contextMenu()
{
    auto owned = std::make_unique<QMenu>(this);
    QMenu &menu = *owned;
    menu.addAction(QStringLiteral("剪切"), this, &ReceiveDisplay::cut)->setEnabled(hasSelection());
    menu.addAction(QStringLiteral("复制"), this, &ReceiveDisplay::copy)->setEnabled(hasSelection());
    menu.addAction(QStringLiteral("粘贴"), this, &ReceiveDisplay::paste)
        ->setEnabled(!QApplication::clipboard()->text().isEmpty());
    menu.addAction(QStringLiteral("删除"), this, [this] { insertText(QString()); })
        ->setEnabled(hasSelection());
    menu.addSeparator();
    menu.addAction(QStringLiteral("全选"), this, &ReceiveDisplay::selectAll)->setEnabled(!m_doc.isEmpty());
    QAction *find = menu.addAction(QStringLiteral("查找…"), this, &ReceiveDisplay::findRequested);
    find->setShortcut(QKeySequence::Find);
    find->setShortcutContext(Qt::WidgetShortcut); // shown in the menu; the box takes the key itself
    menu.addSeparator();
    addSwitchItem(&menu, m_recordAction);
    addSwitchItem(&menu, m_stampAction);
    return owned;
}

void ReceiveDisplay::inputMethodEvent(QInputMethodEvent *e)
{
    if (!e->commitString().isEmpty())
        insertText(e->commitString());
    e->accept();
}

QVariant ReceiveDisplay::inputMethodQuery(Qt::InputMethodQuery query) const
{
    switch (query) {
    case Qt::ImCursorRectangle:
    case Qt::ImAnchorRectangle:
        return characterRect(m_cursor).translated(viewport()->pos());
    case Qt::ImCursorPosition:
        return int(m_cursor - m_layout.rowStart(caretRow()));
    case Qt::ImSurroundingText: {
        qint64 start;
        return rowText(caretRow(), &start);
    }
    case Qt::ImCurrentSelection:
        return selectionEnd() - selectionStart() <= kMaxTextChars ? selectedText() : QString();
    case Qt::ImEnabled:
        return true;
    default:
        return QAbstractScrollArea::inputMethodQuery(query);
    }
}

// ---- caret blinking --------------------------------------------------------------

void ReceiveDisplay::restartBlink()
{
    m_caretOn = true;
    const int ms = QApplication::cursorFlashTime() / 2;
    if (hasFocus() && ms > 0)
        m_blink.start(ms, this);
    else
        m_blink.stop();
}

void ReceiveDisplay::timerEvent(QTimerEvent *e)
{
    if (e->timerId() == m_relayout.timerId()) {
        continueRelayout();
        return;
    }
    if (e->timerId() == m_blink.timerId()) {
        m_caretOn = !m_caretOn;
        // The caret's row as a stripe, found from its number alone: the paint
        // takes the row from its cache, and the blink never makes the row again.
        const qint64 y = (caretRow() - firstVisibleRow()) * lineHeight() + kMargin;
        if (y > -lineHeight() && y < viewport()->height())
            viewport()->update(QRect(0, int(y) - 1, viewport()->width(), lineHeight() + 2));
        return;
    }
    QAbstractScrollArea::timerEvent(e);
}

void ReceiveDisplay::focusInEvent(QFocusEvent *e)
{
    QAbstractScrollArea::focusInEvent(e);
    restartBlink();
    viewport()->update();
}

void ReceiveDisplay::focusOutEvent(QFocusEvent *e)
{
    QAbstractScrollArea::focusOutEvent(e);
    m_blink.stop();
    viewport()->update();
}

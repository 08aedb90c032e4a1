#pragma once

#include "receive/display_document.h"
#include "receive/display_layout.h"
#include "receive/glyph_rows.h"
#include "receive/receive_view.h"

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QByteArrayView>
#include <QTextLayout>
#include <memory>
#include <optional>
#include <unordered_map>

class DocumentSnapshot;
class QAccessibleEvent;
class QAction;
class QMenu;

// The receive box: an editable multi-line text box that received data is
// appended to. It holds its content in a DisplayDocument and lays out only the
// rows on screen, so appending costs the same however much it holds. Appends
// repaint once a frame (FrameClock) instead of at once, so a flood of small reads costs a
// few repaints a second.
class ReceiveDisplay : public QAbstractScrollArea, public ReceiveView
{
    Q_OBJECT

public:
    explicit ReceiveDisplay(QWidget *parent = nullptr);
    ~ReceiveDisplay() override;

    // Appends after whatever the box holds (typed text included) and puts the
    // caret at the end, so the newest data is in view.
    void appendReceivedText(QStringView text) override;
    void appendReceivedHex(QByteArrayView bytes) override;
    // Drawn in sentColor().
    void appendSentText(QStringView text) override;
    // Blue that reads well on the box's background, light or dark.
    QColor sentColor() const;
    // The stretches of [from, to) that stand for something sent.
    std::vector<std::pair<qint64, qint64>> sentRuns(qint64 from, qint64 to) const
    {
        return m_doc.sentRuns(from, to);
    }

    // The context menu's two switches for long sessions, ticked by the user:
    // "记录到文件" (record every received byte to a file) and "显示时间戳" (show
    // when each line arrived). The window acts on their triggered signals.
    QAction *recordAction() const { return m_recordAction; }
    QAction *stampAction() const { return m_stampAction; }
    // "记录收发" (a two-way log of what was sent and received, beside 记录到文件)
    // and "显示发送数据" (what is sent appears among what was received).
    QAction *txrxAction() const { return m_txrxAction; }
    QAction *showSentAction() const { return m_showSentAction; }
    // The context menu: editing and 查找…, then the switches after a separator.
    std::unique_ptr<QMenu> contextMenu();

    // Finding text. The search starts where the user last put the caret or the
    // selection (keys, mouse, assistive technology, the last match), which the
    // newest data does not move; until the user has placed it since the box
    // was last cleared or edited, from the caret. Returned as (anchor, caret).
    std::pair<qint64, qint64> searchOrigin() const;
    // Selects a match and scrolls it into view. Appends leave the selection and
    // the view alone until the user moves the caret.
    void showMatch(qint64 from, qint64 to);
    // What the box holds now, to be searched on another thread.
    std::shared_ptr<const DocumentSnapshot> snapshot();
    // While the loan is held, the box keeps blocks fewer blocks of its history
    // in memory (for a search's own); they come back when it is let go, also
    // after the box is gone. Taken before the snapshot, so that the snapshot
    // does not hold what the cache lets go.
    std::shared_ptr<void> lendBlocks(int blocks);

    QString text() const { return m_doc.toString(); }
    void setText(const QString &text);
    void clear() override;
    qint64 length() const override { return m_doc.size(); }
    QString textRange(qint64 from, qint64 to) const override { return m_doc.text(from, to); }
    // Hands the whole text over in pieces, without making it in one string.
    void forEachPiece(const std::function<void(QStringView)> &f) const
    {
        m_doc.scan(0, m_doc.size(), [&f](const char16_t *c, qsizetype n) {
            f(QStringView(c, n));
            return true;
        });
    }

    // The caret and the selection, in characters; the selection runs between the
    // anchor and the caret.
    qint64 caretPosition() const { return m_cursor; }
    qint64 selectionStart() const { return std::min(m_cursor, m_anchor); }
    qint64 selectionEnd() const { return std::max(m_cursor, m_anchor); }
    bool hasSelection() const { return m_cursor != m_anchor; }
    QString selectedText() const { return m_doc.text(selectionStart(), selectionEnd()); }
    void setCaretPosition(qint64 pos, bool keepAnchor = false);
    void setSelection(qint64 anchor, qint64 caret);
    void selectAll();

    // The content may run to gigabytes; nothing asks for more of it in one string
    // than these. A larger selection is not copied (the clipboard keeps what it
    // had, and cut removes nothing); assistive technology and input methods get at
    // most kMaxTextChars from where they ask.
    static constexpr qint64 kMaxCopyChars = qint64(16) << 20;
    static constexpr qint64 kMaxTextChars = qint64(1) << 20;
    // A width or font change over a long history is laid out in slices of this
    // long, the window going on between them.
    static constexpr int kRelayoutSliceMs = 8;

    // Replaces the selection (or inserts at the caret) as typing does.
    void insertText(const QString &text);
    // False when nothing was copied (no selection, or one over kMaxCopyChars).
    bool copy() const;
    void cut();
    void paste();
    // At most kMaxTextChars from from on.
    QString boundedText(qint64 from, qint64 to) const
    {
        return m_doc.text(from, std::min(to, from + kMaxTextChars));
    }

    // Rows as laid out, and where a character is drawn (for tests and assistive technology).
    qint64 rowCount() const { return m_layout.rowCount(); }
    // A width or font change is still being laid out (a long history).
    bool relayoutPending() const { return m_layout.relayoutPending(); }
    qint64 rowStart(qint64 row) const { return m_layout.rowStart(row); }
    qint64 firstVisibleRow() const;
    QRect characterRect(qint64 pos) const;
    qint64 positionAt(const QPoint &viewportPoint) const;

    // Changes are announced to assistive technology while the platform's bridge
    // is active. An announcer set here hears every change instead, bridge or not.
    using Announcer = void (*)(QAccessibleEvent *);
    static void setAnnouncer(Announcer announcer);

    // Stored pages of the content or its rows that the temporary file could not
    // give back since the last clear (they show as DisplayDocument::kGapMark).
    int damagedPages() const { return m_doc.spill().damagedPages() + m_layout.damagedPages(); }
    // Raises historyDamaged once when damage was found since the last clear
    // (paints look by themselves; a reader of the whole text calls this after).
    void noteDamage();

    // Memory held for the content and its rows.
    qint64 memoryBytes() const { return m_doc.memoryBytes() + m_layout.memoryBytes(); }
    // Bytes in the temporary file behind the content and its rows.
    qint64 temporaryFileBytes() const { return m_doc.spill().fileBytes() + m_layout.fileBytes(); }

signals:
    void historyDamaged();
    // Ctrl+F or the menu's 查找…; F3 (down) or Shift+F3 (up).
    void findRequested();
    // 绘图… was chosen in the context menu.
    void plotRequested();
    void findNextRequested(bool down);
    // The content was cleared, replaced or edited: positions found before no longer hold.
    void contentReset();

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void timerEvent(QTimerEvent *event) override;
    void changeEvent(QEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void inputMethodEvent(QInputMethodEvent *event) override;
    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;
    void scrollContentsBy(int dx, int dy) override;
    bool event(QEvent *event) override;

private:
    QAction *m_recordAction;
    QAction *m_txrxAction;
    QAction *m_stampAction;
    QAction *m_showSentAction;
    bool m_damageReported = false;
    int lineHeight() const;
    int visibleRows() const;
    int textWidth() const;
    // The characters of a row as drawn, without its line break.
    QString rowText(qint64 row, qint64 *start) const;
    void layoutRow(QTextLayout &layout, const QString &text) const;
    // The character boundary in the row nearest to x (pixels from the row's start).
    qint64 positionInRow(qint64 row, qreal x) const;
    qint64 caretRow() const;
    void afterAppend(qint64 oldSize);
    void replaceAll(QStringView text);
    void edit(qint64 from, qint64 to, const QString &text);
    // Repaints what changed since the last refresh, or everything.
    void refreshNow(bool all = true);
    void scheduleRefresh();
    void updateScrollRange();
    void ensureCaretVisible();
    void moveVertically(int rows, bool keepAnchor);
    bool commandKey(QKeyEvent *e);
    bool movementKey(QKeyEvent *e, int keepX);
    bool editingKey(QKeyEvent *e);
    qint64 previousPosition(qint64 pos) const;
    qint64 nextPosition(qint64 pos) const;
    void restartBlink();
    void notifyCaret();
    static bool announcing();
    static void announce(QAccessibleEvent *event);
    static Announcer s_announcer;

    // Rows laid out for painting, by their start; a row is reused while its
    // extent is the same (following new data moves rows up without changing them).
    struct CachedRow {
        qint64 end;
        std::optional<GlyphRow> glyphs;      // the quick way, when the font allows it
        std::unique_ptr<QTextLayout> layout; // otherwise
        quint64 paint;                       // the last paint that used it
        int length() const;
    };
    CachedRow *cachedRow(qint64 row, qint64 *start);
    quint64 m_paints = 0;
    std::unique_ptr<GlyphRows> m_glyphRows;
    std::unique_ptr<GlyphCells> m_glyphCells;
    void makeGlyphCells();
    std::unordered_map<qint64, CachedRow> m_rowCache;
    void dropRowCache() { m_rowCache.clear(); }

    DisplayDocument m_doc;
    DisplayLayout m_layout;
    qint64 m_cursor = 0;
    qint64 m_anchor = 0;
    int m_targetX = -1; // the column kept while moving up and down
    bool m_caretOn = true;
    qint64 m_placedAnchor = -1,
           m_placedCursor = -1; // where the user last put them (-1: not since a reset)
    bool m_hold = false;        // a found match stays selected and in view
    bool m_followCaret = false;
    bool m_repaintAll = true;
    qint64 m_repaintFrom = -1; // the content changed from here on (-1: not at all)
    QBasicTimer m_blink;
    QBasicTimer m_relayout; // a long history laid out again step by step
    void startRelayout();
    void continueRelayout();
};

#include "receive/receive_display_accessible.h"

#include "receive/receive_display.h"

#include <QAccessibleWidget>
#include <climits>

namespace
{

int clampInt(qint64 v)
{
    return int(std::clamp<qint64>(v, 0, INT_MAX));
}

// A stretch of the display's text, for Qt's boundary rules to work on.
class Window : public QAccessibleTextInterface
{
public:
    explicit Window(QString text) : m_text(std::move(text)) {}
    QString text(int start, int end) const override { return m_text.mid(start, end - start); }
    int characterCount() const override { return int(m_text.size()); }
    void selection(int, int *s, int *e) const override { *s = *e = 0; }
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override {}
    QRect characterRect(int) const override { return {}; }
    int offsetAtPoint(const QPoint &) const override { return -1; }
    void scrollToSubstring(int, int) override {}
    QString attributes(int, int *s, int *e) const override
    {
        *s = *e = 0;
        return {};
    }

private:
    QString m_text;
};

// How far either side of an offset the boundary rules look: a line or a
// paragraph longer than this is cut there.
constexpr int kAround = 64 * 1024;

class ReceiveDisplayAccessible : public QAccessibleWidget,
                                 public QAccessibleTextInterface,
                                 public QAccessibleEditableTextInterface
{
public:
    explicit ReceiveDisplayAccessible(ReceiveDisplay *w)
        : QAccessibleWidget(w, QAccessible::EditableText)
    {
    }

    ReceiveDisplay *display() const { return static_cast<ReceiveDisplay *>(widget()); }

    void *interface_cast(QAccessible::InterfaceType t) override
    {
        if (t == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface *>(this);
        if (t == QAccessible::EditableTextInterface)
            return static_cast<QAccessibleEditableTextInterface *>(this);
        return QAccessibleWidget::interface_cast(t);
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.editable = true;
        s.multiLine = true;
        s.selectableText = true;
        return s;
    }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value)
            return display()->boundedText(0, display()->length());
        return QAccessibleWidget::text(t);
    }

    // QAccessibleTextInterface
    void selection(int index, int *start, int *end) const override
    {
        *start = *end = 0;
        if (index == 0 && display()->hasSelection()) {
            *start = clampInt(display()->selectionStart());
            *end = clampInt(display()->selectionEnd());
        }
    }
    int selectionCount() const override { return display()->hasSelection() ? 1 : 0; }
    void addSelection(int start, int end) override { display()->setSelection(start, end); }
    void removeSelection(int) override { display()->setCaretPosition(display()->caretPosition()); }
    void setSelection(int, int start, int end) override { display()->setSelection(start, end); }
    int cursorPosition() const override { return clampInt(display()->caretPosition()); }
    void setCursorPosition(int position) override { display()->setCaretPosition(position); }
    QString text(int start, int end) const override { return display()->boundedText(start, end); }

    // Qt's own versions of these ask for the whole text; here they look at the
    // text around the offset only.
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType type, int *start,
                             int *end) const override
    {
        return around(
            offset, [&](Window &w, int at) { return w.textBeforeOffset(at, type, start, end); },
            start, end);
    }
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType type, int *start,
                            int *end) const override
    {
        return around(
            offset, [&](Window &w, int at) { return w.textAfterOffset(at, type, start, end); },
            start, end);
    }
    QString textAtOffset(int offset, QAccessible::TextBoundaryType type, int *start,
                         int *end) const override
    {
        return around(
            offset, [&](Window &w, int at) { return w.textAtOffset(at, type, start, end); }, start,
            end);
    }
    int characterCount() const override { return clampInt(display()->length()); }
    QRect characterRect(int offset) const override
    {
        const QRect r = display()->characterRect(offset);
        return r.translated(display()->viewport()->mapToGlobal(QPoint(0, 0)));
    }
    int offsetAtPoint(const QPoint &point) const override
    {
        return clampInt(display()->positionAt(display()->viewport()->mapFromGlobal(point)));
    }
    void scrollToSubstring(int start, int) override { display()->setCaretPosition(start); }
    QString attributes(int offset, int *start, int *end) const override
    {
        *start = *end = offset;
        return {};
    }

    template <typename F> QString around(int offset, F &&ask, int *start, int *end) const
    {
        const qint64 from = std::max<qint64>(0, qint64(offset) - kAround);
        Window w(display()->boundedText(from, qint64(offset) + kAround));
        const QString got = ask(w, int(offset - from));
        if (*start >= 0)
            *start = clampInt(*start + from);
        if (*end >= 0)
            *end = clampInt(*end + from);
        return got;
    }

    // QAccessibleEditableTextInterface
    void deleteText(int start, int end) override { replaceText(start, end, QString()); }
    void insertText(int offset, const QString &text) override { replaceText(offset, offset, text); }
    void replaceText(int start, int end, const QString &text) override
    {
        display()->setSelection(start, end);
        display()->insertText(text);
    }
};

QAccessibleInterface *factory(const QString &className, QObject *object)
{
    if (className == QLatin1String("ReceiveDisplay") && object && object->isWidgetType())
        return new ReceiveDisplayAccessible(static_cast<ReceiveDisplay *>(object));
    return nullptr;
}

} // namespace

void installReceiveDisplayAccessibility()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    QAccessible::installFactory(factory);
}

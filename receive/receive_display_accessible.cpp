#include "receive/receive_display_accessible.h"

#include "receive/receive_display.h"

#include <QAccessibleWidget>
#include <climits>

namespace {

int clampInt(qint64 v)
{
    return int(std::clamp<qint64>(v, 0, INT_MAX));
}

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
            return display()->text();
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
    QString text(int start, int end) const override { return display()->textRange(start, end); }
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

#pragma once

#include <QByteArrayView>
#include <QPlainTextEdit>

// The receive box: an editable multi-line text box that received data is
// appended to. Everything the window does with it goes through these calls, so
// the way the content is held can change without touching the handlers.
class ReceiveDisplay : public QPlainTextEdit
{
    Q_OBJECT

public:
    explicit ReceiveDisplay(QWidget *parent = nullptr);

    // Appends after whatever the box holds (typed text included) and puts the
    // caret at the end, so the newest data is in view.
    void appendReceivedText(QStringView text);
    void appendReceivedHex(QByteArrayView bytes);

    QString text() const { return toPlainText(); }
    void setText(const QString &text) { setPlainText(text); }
};

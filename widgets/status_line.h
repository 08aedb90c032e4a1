#pragma once

#include <QLineEdit>

class QFontMetrics;

// What a status line shows in width pixels: the whole text when it fits;
// otherwise the middle of the port's name (nameLength characters from nameFrom)
// gives way, so that the settings after it stay readable; without a name, or
// when even that is not enough, the end gives way.
QString elidedStatus(const QString &text, qsizetype nameFrom, qsizetype nameLength,
                     const QFontMetrics &metrics, int width);

// The status line: a text box whose text is always the whole status (what
// assistive technology reads and a copy takes), shown whole as its tooltip. A
// status too long for the box is drawn shortened, while the box does not have
// the focus; with the focus it is an ordinary text box to read and select in.
class StatusLine : public QLineEdit
{
    Q_OBJECT

public:
    explicit StatusLine(QWidget *parent = nullptr);

    // Replaces the status; the port's name is nameLength characters from nameFrom.
    void showStatus(const QString &text, qsizetype nameFrom = -1, qsizetype nameLength = 0);
    // Adds a note after the status (kept until the next status).
    void addNote(const QString &note)
    {
        setText(text() + note);
        setToolTip(text());
        update();
    }
    // What the box draws while it does not have the focus.
    QString shownText() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QRect textArea() const;
    qsizetype m_nameFrom = -1;
    qsizetype m_nameLength = 0;
};

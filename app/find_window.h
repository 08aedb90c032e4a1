#pragma once

#include "receive/text_search.h"

#include <QDialog>
#include <QElapsedTimer>

class Dialogs;
class HistorySearch;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTimer;
class ReceiveDisplay;

// The 查找 window: finds text in the receive box's whole history, in the
// background. Non-modal; a found match is selected in the box and the window
// moves out of its way. A search that has not answered after 200 ms shows how
// far it got (and brings the window up when F3 began it). A clear or an edit
// of the box ends a search under way.
class FindWindow : public QDialog
{
    Q_OBJECT

public:
    static constexpr int kProgressAfterMs = 200;
    static constexpr int kThreads = 2;
    // A selection up to this long, on one line, becomes the text to find.
    static constexpr int kSelectionChars = 256;

    FindWindow(ReceiveDisplay *display, Dialogs *dialogs, QWidget *parent = nullptr);
    ~FindWindow() override;

    // Ctrl+F: shows the window with its field focused.
    void showFind();
    // F3 (down) and Shift+F3 (up), and 查找下一个 in the chosen direction. With
    // no text to find yet, shows the window instead.
    void findNext(bool down);
    bool searching() const;
    HistorySearch *search() const { return m_search; }

public slots:
    void reject() override; // Esc or closing: the search ends too

private:
    void onFinished(qint64 start);
    void endSearch(); // stops a search under way; the box's memory back as it was
    void onContentReset();
    void showProgress();
    void moveOffMatch(qint64 from, qint64 to);

    ReceiveDisplay *m_display;
    Dialogs *m_dialogs;
    QLineEdit *m_text;
    QCheckBox *m_matchCase;
    QRadioButton *m_up;
    QPushButton *m_next;
    QLabel *m_status;
    HistorySearch *m_search;
    QTimer *m_progress;
    QElapsedTimer m_started;
    TextNeedle m_needle;
};

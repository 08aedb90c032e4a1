#include "app/find_window.h"

#include "app/dialogs.h"
#include "receive/history_search.h"
#include "receive/receive_display.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>

FindWindow::FindWindow(ReceiveDisplay *display, Dialogs *dialogs, QWidget *parent)
    : QDialog(parent), m_display(display), m_dialogs(dialogs)
{
    setObjectName(QStringLiteral("FindWindow"));
    setWindowTitle(QStringLiteral("查找"));
    setAccessibleName(QStringLiteral("查找"));
    setModal(false);

    auto *label = new QLabel(QStringLiteral("查找内容(&N):"), this);
    m_text = new QLineEdit(this);
    m_text->setObjectName(QStringLiteral("FindText"));
    m_text->setAccessibleName(QStringLiteral("查找内容"));
    m_text->setMaxLength(1024);
    label->setBuddy(m_text);
    m_matchCase = new QCheckBox(QStringLiteral("区分大小写(&C)"), this);
    m_matchCase->setObjectName(QStringLiteral("FindMatchCase"));
    auto *direction = new QGroupBox(QStringLiteral("方向"), this);
    m_up = new QRadioButton(QStringLiteral("向上(&U)"), direction);
    m_up->setObjectName(QStringLiteral("FindUp"));
    auto *down = new QRadioButton(QStringLiteral("向下(&D)"), direction);
    down->setObjectName(QStringLiteral("FindDown"));
    down->setChecked(true);
    auto *directionRow = new QHBoxLayout(direction);
    directionRow->addWidget(m_up);
    directionRow->addWidget(down);
    m_next = new QPushButton(QStringLiteral("查找下一个(&F)"), this);
    m_next->setObjectName(QStringLiteral("FindNext"));
    m_next->setDefault(true);
    m_next->setEnabled(false);
    auto *cancel = new QPushButton(QStringLiteral("取消"), this);
    cancel->setObjectName(QStringLiteral("FindCancel"));
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("FindStatus"));

    auto *fields = new QVBoxLayout;
    auto *textRow = new QHBoxLayout;
    textRow->addWidget(label);
    textRow->addWidget(m_text, 1);
    fields->addLayout(textRow);
    auto *optionsRow = new QHBoxLayout;
    optionsRow->addWidget(m_matchCase, 0, Qt::AlignBottom);
    optionsRow->addWidget(direction);
    fields->addLayout(optionsRow);
    fields->addWidget(m_status);
    auto *buttons = new QVBoxLayout;
    buttons->addWidget(m_next);
    buttons->addWidget(cancel);
    buttons->addStretch();
    auto *whole = new QHBoxLayout(this);
    whole->addLayout(fields, 1);
    whole->addLayout(buttons);

    m_search = new HistorySearch(this);
    m_progress = new QTimer(this);
    m_progress->setInterval(100);
    connect(m_progress, &QTimer::timeout, this, &FindWindow::showProgress);
    connect(m_search, &HistorySearch::finished, this, &FindWindow::onFinished);
    connect(m_text, &QLineEdit::textChanged, this,
            [this](const QString &t) { m_next->setEnabled(!t.isEmpty()); });
    connect(m_next, &QPushButton::clicked, this, [this] { findNext(!m_up->isChecked()); });
    // 取消 stops a search under way; otherwise it closes the window.
    connect(cancel, &QPushButton::clicked, this, [this] {
        if (searching()) {
            endSearch();
            m_status->clear();
        } else {
            reject();
        }
    });
    connect(m_display, &ReceiveDisplay::contentReset, this, &FindWindow::onContentReset);
    auto *next = new QShortcut(QKeySequence(Qt::Key_F3), this);
    connect(next, &QShortcut::activated, this, [this] { findNext(true); });
    auto *previous = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F3), this);
    connect(previous, &QShortcut::activated, this, [this] { findNext(false); });
}

FindWindow::~FindWindow() = default;

bool FindWindow::searching() const
{
    return m_search->running();
}

void FindWindow::showFind()
{
    const QString selected =
        m_display->hasSelection() &&
                m_display->selectionEnd() - m_display->selectionStart() <= kSelectionChars
            ? m_display->selectedText()
            : QString();
    if (!selected.isEmpty() && !selected.contains(u'\n') && !selected.contains(u'\r'))
        m_text->setText(selected);
    show();
    raise();
    activateWindow();
    m_text->setFocus();
    m_text->selectAll();
}

void FindWindow::findNext(bool down)
{
    if (m_text->text().isEmpty()) {
        showFind();
        return;
    }
    endSearch();
    m_needle = TextNeedle(m_text->text(), m_matchCase->isChecked());
    const auto [anchor, caret] = m_display->searchOrigin();
    const SearchFrom from{down, down ? std::max(anchor, caret) : std::min(anchor, caret)};
    m_status->clear();
    m_started.start();
    auto loan = m_display->lendBlocks(HistorySearch::blocksHeld(kThreads));
    m_search->start(m_display->snapshot(), m_needle, from, kThreads, HistorySearch::kStretchChars,
                    std::move(loan));
    m_progress->start();
}

void FindWindow::showProgress()
{
    if (!searching()) {
        m_progress->stop();
        return;
    }
    if (m_started.elapsed() < kProgressAfterMs)
        return;
    m_status->setText(QStringLiteral("正在查找… 已查找 %1%").arg(int(m_search->progress() * 100)));
    if (!isVisible())
        show(); // begun by F3: the window comes up, so the search can be cancelled
}

void FindWindow::onFinished(qint64 start)
{
    m_progress->stop();
    m_status->clear();
    if (start < 0) {
        m_dialogs->message(QStringLiteral("找不到“%1”").arg(m_needle.text()),
                           Dialogs::Icon::Information, Dialogs::Buttons::Ok);
        return;
    }
    m_display->showMatch(start, start + m_needle.length());
    moveOffMatch(start, start + m_needle.length());
}

void FindWindow::onContentReset()
{
    if (!searching())
        return;
    endSearch();
    m_status->setText(QStringLiteral("接收框已清空或改动，查找已停止"));
}

void FindWindow::endSearch()
{
    m_search->stop();
    m_progress->stop();
}

void FindWindow::reject()
{
    endSearch();
    m_status->clear();
    QDialog::reject();
}

// A window over the match it found would hide it: it goes below the match, or
// above it where the screen ends.
void FindWindow::moveOffMatch(qint64 from, qint64 to)
{
    if (!isVisible())
        return;
    QWidget *view = m_display->viewport();
    const QRect first = m_display->characterRect(from),
                last = m_display->characterRect(std::max(from, to - 1));
    const QRect match(view->mapToGlobal(first.topLeft()), view->mapToGlobal(last.bottomRight()));
    const QRect frame = frameGeometry();
    if (!frame.intersects(match.normalized()))
        return;
    const QScreen *screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    const QRect room = screen ? screen->availableGeometry() : QRect();
    constexpr int kGap = 16;
    int y = match.bottom() + kGap;
    if (room.isValid() && y + frame.height() > room.bottom())
        y = match.top() - kGap - frame.height();
    move(frame.x(), y);
}

#include "app/commands_window.h"

#include "app/dialogs.h"
#include "serial/settings_selector.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {
constexpr int kFunctionKeys = 12;
enum Column { KeyColumn, NameColumn, ContentColumn, KindColumn, EndingColumn, ChecksumColumn, SendColumn };

QPushButton *button(const QString &text, QWidget *parent, const char *name)
{
    auto *b = new QPushButton(text, parent);
    b->setObjectName(QString::fromLatin1(name));
    return b;
}

// One line of the content for the list (the whole in its tooltip).
QString oneLine(const QString &s)
{
    QString line = s;
    line.replace(u'\n', u'↵');
    return line;
}
} // namespace

CommandsWindow::CommandsWindow(CommandStore *store, Dialogs *dialogs, QWidget *parent)
    : QWidget(parent, Qt::Window), m_store(store), m_dialogs(dialogs)
{
    setObjectName(QStringLiteral("CommandsWindow"));
    setWindowTitle(QStringLiteral("常用指令"));
    setAccessibleName(QStringLiteral("常用指令"));
    resize(640, 420);

    m_table = new QTableWidget(0, 7, this);
    m_table->setObjectName(QStringLiteral("CommandList"));
    m_table->setAccessibleName(QStringLiteral("指令列表"));
    m_table->setHorizontalHeaderLabels(
        {QStringLiteral("按键"), QStringLiteral("名称"), QStringLiteral("内容"), QStringLiteral("类型"),
         QStringLiteral("行尾"), QStringLiteral("校验"), QString()});
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->verticalHeader()->hide();
    QHeaderView *header = m_table->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::ResizeToContents);
    header->setSectionResizeMode(NameColumn, QHeaderView::Interactive);
    header->setSectionResizeMode(ContentColumn, QHeaderView::Stretch);
    header->resizeSection(NameColumn, 120);
    m_table->setTabKeyNavigation(false);
    m_table->installEventFilter(this);
    connect(m_table, &QTableWidget::cellDoubleClicked, this, [this](int row) { sendRow(row); });
    connect(m_table, &QTableWidget::itemSelectionChanged, this, [this] {
        if (selectedRow() >= 0)
            setEdited(m_commands[selectedRow()]);
        enableButtons();
    });

    m_up = button(QStringLiteral("上移"), this, "CmdUp");
    m_down = button(QStringLiteral("下移"), this, "CmdDown");
    m_remove = button(QStringLiteral("删除"), this, "CmdRemove");
    auto *importButton = button(QStringLiteral("导入…"), this, "CmdImport");
    auto *exportButton = button(QStringLiteral("导出…"), this, "CmdExport");
    connect(m_up, &QPushButton::clicked, this, [this] { moveSelected(-1); });
    connect(m_down, &QPushButton::clicked, this, [this] { moveSelected(1); });
    connect(m_remove, &QPushButton::clicked, this, &CommandsWindow::removeSelected);
    connect(importButton, &QPushButton::clicked, this, &CommandsWindow::importFile);
    connect(exportButton, &QPushButton::clicked, this, &CommandsWindow::exportFile);
    auto *listButtons = new QHBoxLayout;
    for (QPushButton *b : {m_up, m_down, m_remove, importButton, exportButton})
        listButtons->addWidget(b);
    listButtons->addStretch();

    m_name = new QLineEdit(this);
    m_name->setObjectName(QStringLiteral("CommandName"));
    m_content = new QPlainTextEdit(this);
    m_content->setObjectName(QStringLiteral("CommandContent"));
    m_content->setTabChangesFocus(true);
    m_content->setFixedHeight(60);
    m_hex = new QCheckBox(QStringLiteral("十六进制"), this);
    m_hex->setObjectName(QStringLiteral("CommandHex"));
    m_ending = new ChoiceBox(QStringLiteral("行尾"), this);
    m_ending->setObjectName(QStringLiteral("CommandEnding"));
    for (LineEnding e : kLineEndings)
        m_ending->addItem(displayName(e), int(e));
    m_checksum = new ChoiceBox(QStringLiteral("校验"), this);
    m_checksum->setObjectName(QStringLiteral("CommandChecksum"));
    for (Checksum c : kChecksums)
        m_checksum->addItem(displayName(c), int(c));
    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("名称(&N)："), m_name);
    form->addRow(QStringLiteral("内容(&C)："), m_content);
    auto *how = new QHBoxLayout;
    how->addWidget(m_hex);
    auto *endingLabel = new QLabel(QStringLiteral("行尾(&E)："), this);
    endingLabel->setBuddy(m_ending);
    auto *checksumLabel = new QLabel(QStringLiteral("校验(&K)："), this);
    checksumLabel->setBuddy(m_checksum);
    for (QWidget *w : std::initializer_list<QWidget *>{endingLabel, m_ending, checksumLabel, m_checksum})
        how->addWidget(w);
    how->addStretch();
    form->addRow(QString(), how);
    m_name->setAccessibleName(QStringLiteral("名称"));
    m_content->setAccessibleName(QStringLiteral("内容"));

    auto *addButton = button(QStringLiteral("添加(&A)"), this, "CmdAdd");
    m_replace = button(QStringLiteral("修改(&M)"), this, "CmdReplace");
    connect(addButton, &QPushButton::clicked, this, &CommandsWindow::addEdited);
    connect(m_replace, &QPushButton::clicked, this, &CommandsWindow::replaceSelected);
    auto *editButtons = new QHBoxLayout;
    editButtons->addWidget(addButton);
    editButtons->addWidget(m_replace);
    editButtons->addStretch();

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_table, 1);
    layout->addLayout(listButtons);
    layout->addLayout(form);
    layout->addLayout(editButtons);
    showList();
}

void CommandsWindow::load()
{
    CommandsRead got = m_store->load();
    m_commands = got.commands;
    showList();
    if (got.error)
        m_dialogs->message(QStringLiteral("常用指令文件 %1 有误，%2。列表从空开始；该文件保持原样，"
                                          "保存新列表前会被改名留存。")
                               .arg(m_store->path(), got.error->text()),
                           Dialogs::Icon::Exclamation, Dialogs::Buttons::Ok);
}

SavedCommand CommandsWindow::edited() const
{
    return {m_name->text(), m_content->toPlainText(), m_hex->checkState() == Qt::Checked,
            LineEnding(m_ending->currentData().toInt()), Checksum(m_checksum->currentData().toInt())};
}

void CommandsWindow::setEdited(const SavedCommand &c)
{
    m_name->setText(c.name);
    m_content->setPlainText(c.content);
    m_hex->setChecked(c.hex);
    m_ending->setCurrentIndex(m_ending->findData(int(c.ending)));
    m_checksum->setCurrentIndex(m_checksum->findData(int(c.checksum)));
}

int CommandsWindow::selectedRow() const
{
    const QList<QTableWidgetSelectionRange> ranges = m_table->selectedRanges();
    return ranges.isEmpty() ? -1 : ranges.first().topRow();
}

void CommandsWindow::selectRow(int row)
{
    m_table->clearSelection();
    if (row >= 0 && row < m_commands.size()) {
        m_table->selectRow(row);
        m_table->setCurrentCell(row, NameColumn);
    }
}

// A command needs a name; without one the name field says so by taking focus.
void CommandsWindow::addEdited()
{
    const SavedCommand c = edited();
    if (c.name.trimmed().isEmpty()) {
        m_name->setFocus();
        return;
    }
    m_commands.append(c);
    changed();
    selectRow(int(m_commands.size()) - 1);
}

void CommandsWindow::replaceSelected()
{
    const int row = selectedRow();
    const SavedCommand c = edited();
    if (row < 0 || c.name.trimmed().isEmpty())
        return;
    m_commands[row] = c;
    changed();
    selectRow(row);
}

void CommandsWindow::removeSelected()
{
    const int row = selectedRow();
    if (row < 0)
        return;
    m_commands.removeAt(row);
    changed();
    selectRow(std::min(row, int(m_commands.size()) - 1));
}

void CommandsWindow::moveSelected(int by)
{
    const int row = selectedRow();
    const int to = row + by;
    if (row < 0 || to < 0 || to >= m_commands.size())
        return;
    m_commands.move(row, to);
    changed();
    selectRow(to);
}

// Imported commands join the end of the list; a bad file changes nothing.
void CommandsWindow::importFile()
{
    const auto path = m_dialogs->chooseCommandsFile(QStringLiteral("导入常用指令"), false);
    if (!path)
        return;
    const CommandsRead got = CommandStore::importFrom(*path);
    if (got.error) {
        m_dialogs->message(QStringLiteral("无法导入 %1：%2").arg(*path, got.error->text()),
                           Dialogs::Icon::Exclamation, Dialogs::Buttons::Ok);
        return;
    }
    m_commands += got.commands;
    changed();
}

void CommandsWindow::exportFile()
{
    const auto path = m_dialogs->chooseCommandsFile(QStringLiteral("导出常用指令"), true);
    if (path && !CommandStore::exportTo(*path, m_commands))
        m_dialogs->message(QStringLiteral("无法写入 ") + *path, Dialogs::Icon::Exclamation,
                           Dialogs::Buttons::Ok);
}

void CommandsWindow::changed()
{
    showList();
    if (!m_store->save(m_commands))
        m_dialogs->message(QStringLiteral("无法保存常用指令：") + m_store->path(),
                           Dialogs::Icon::Exclamation, Dialogs::Buttons::Ok);
}

void CommandsWindow::showList()
{
    m_table->setRowCount(int(m_commands.size()));
    for (int row = 0; row < m_commands.size(); ++row) {
        const SavedCommand &c = m_commands[row];
        const QString cells[] = {row < kFunctionKeys ? QStringLiteral("F%1").arg(row + 1) : QString(),
                                 c.name,
                                 oneLine(c.content),
                                 c.hex ? QStringLiteral("HEX") : QStringLiteral("文本"),
                                 displayName(c.ending),
                                 displayName(c.checksum)};
        for (int column = 0; column < SendColumn; ++column) {
            auto *item = new QTableWidgetItem(cells[column]);
            if (column == ContentColumn)
                item->setToolTip(c.content);
            m_table->setItem(row, column, item);
        }
        // The cell under the button says what it does, for screen readers.
        m_table->setItem(row, SendColumn, new QTableWidgetItem(QStringLiteral("发送")));
        auto *send = new QPushButton(QStringLiteral("发送"));
        send->setAccessibleName(QStringLiteral("发送 ") + c.name);
        connect(send, &QPushButton::clicked, this, [this, row] { sendRow(row); });
        m_table->setCellWidget(row, SendColumn, send);
    }
    enableButtons();
}

// What needs a selected row, or one above or below it, is greyed without.
void CommandsWindow::enableButtons()
{
    const int row = selectedRow();
    m_replace->setEnabled(row >= 0);
    m_remove->setEnabled(row >= 0);
    m_up->setEnabled(row > 0);
    m_down->setEnabled(row >= 0 && row + 1 < m_commands.size());
}

void CommandsWindow::sendRow(int row)
{
    if (row >= 0 && row < m_commands.size())
        emit sendRequested(m_commands[row]);
}

bool CommandsWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_table && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            sendRow(selectedRow());
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

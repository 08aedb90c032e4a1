#include "app/commands_window.h"

#include "app/commands_model.h"
#include "app/dialogs.h"
#include "app/tool_window.h"
#include "widgets/settings_selector.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

namespace
{
QPushButton *button(const QString &text, QWidget *parent, const char *name)
{
    auto *b = new QPushButton(text, parent);
    b->setObjectName(QString::fromLatin1(name));
    return b;
}

// Where the command shown at row is in list: there still, or at its first
// place (another window moved it); -1 when it is gone.
int placeOf(const QList<SavedCommand> &list, int row, const SavedCommand &c)
{
    if (row >= 0 && row < list.size() && list[row] == c)
        return row;
    return int(list.indexOf(c));
}
} // namespace

CommandsWindow::CommandsWindow(CommandStore *store, Dialogs *dialogs, QWidget *parent)
    : QWidget(parent, Qt::Window), m_store(store), m_dialogs(dialogs),
      m_lastFolder(QDir::homePath())
{
    setObjectName(QStringLiteral("CommandsWindow"));
    setWindowTitle(QStringLiteral("常用指令"));
    setAccessibleName(QStringLiteral("常用指令"));
    resize(640, 420);

    m_model = new CommandsModel(&m_commands, this);
    m_table = new QTableView(this);
    m_table->setModel(m_model);
    m_table->setObjectName(QStringLiteral("CommandList"));
    m_table->setAccessibleName(QStringLiteral("指令列表"));
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setWordWrap(false);
    m_table->verticalHeader()->hide();
    // Rows of one height and columns sized by what they can hold, never by
    // reading every row: a list of any length lays out at once.
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_table->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    QHeaderView *header = m_table->horizontalHeader();
    for (int column = 0; column < CommandsModel::ColumnCount; ++column) {
        const auto col = CommandsModel::Column(column);
        int width = header->fontMetrics().horizontalAdvance(
            m_model->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString());
        for (const QString &text : CommandsModel::columnTexts(col))
            width = std::max(width, m_table->fontMetrics().horizontalAdvance(text));
        header->resizeSection(column, width + 16);
    }
    header->resizeSection(CommandsModel::NameColumn, 120);
    header->setSectionResizeMode(CommandsModel::ContentColumn, QHeaderView::Stretch);
    m_table->setTabKeyNavigation(false);
    m_table->installEventFilter(this);
    connect(m_table, &QTableView::doubleClicked, this,
            [this](const QModelIndex &i) { sendRow(i.row()); });
    connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (selectedRow() >= 0)
            setEdited(m_commands[selectedRow()]);
        enableButtons();
    });

    m_send = button(QStringLiteral("发送(&S)"), this, "CmdSendCommand");
    m_send->setAccessibleDescription(QStringLiteral("发送所选指令"));
    m_up = button(QStringLiteral("上移"), this, "CmdUp");
    m_down = button(QStringLiteral("下移"), this, "CmdDown");
    m_remove = button(QStringLiteral("删除"), this, "CmdRemove");
    auto *importButton = button(QStringLiteral("导入…"), this, "CmdImport");
    auto *exportButton = button(QStringLiteral("导出…"), this, "CmdExport");
    connect(m_send, &QPushButton::clicked, this, [this] { sendRow(selectedRow()); });
    connect(m_up, &QPushButton::clicked, this, [this] { moveSelected(-1); });
    connect(m_down, &QPushButton::clicked, this, [this] { moveSelected(1); });
    connect(m_remove, &QPushButton::clicked, this, &CommandsWindow::removeSelected);
    connect(importButton, &QPushButton::clicked, this, &CommandsWindow::importFile);
    connect(exportButton, &QPushButton::clicked, this, &CommandsWindow::exportFile);
    auto *listButtons = new QHBoxLayout;
    for (QPushButton *b : {m_send, m_up, m_down, m_remove, importButton, exportButton})
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
    for (QWidget *w :
         std::initializer_list<QWidget *>{endingLabel, m_ending, checksumLabel, m_checksum})
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
    addCloseKeys(this, layout);

    // Another window's save replaces the file: the folder tells of it.
    m_watcher = new QFileSystemWatcher(this);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, &CommandsWindow::takeUpChanges);
    connect(m_watcher, &QFileSystemWatcher::fileChanged, this, &CommandsWindow::takeUpChanges);
    enableButtons();
}

void CommandsWindow::watchFile()
{
    const QString folder = QFileInfo(m_store->path()).path();
    if (QFileInfo(folder).isDir() && !m_watcher->directories().contains(folder))
        m_watcher->addPath(folder);
    if (QFileInfo::exists(m_store->path()) && !m_watcher->files().contains(m_store->path()))
        m_watcher->addPath(m_store->path());
}

// Told after the event that made the window (a menu item, a key) has
// returned: the message box waits for its answer, the item must not.
void CommandsWindow::load()
{
    const CommandsRead got = m_store->load();
    m_model->beginReset();
    m_commands = m_store->commands();
    m_model->endReset();
    enableButtons();
    watchFile();
    if (got.error)
        tellBadFile(m_dialogs, this, m_store->path(), *got.error);
}

void CommandsWindow::tellBadFile(Dialogs *dialogs, QObject *context, const QString &path,
                                 const CommandsError &error)
{
    QTimer::singleShot(0, context, [dialogs, path, why = error.text()] {
        dialogs->message(QStringLiteral("常用指令文件 %1 有误，%2。列表从空开始；该文件保持原样，"
                                        "保存新列表前会被改名留存。")
                             .arg(path, why),
                         Dialogs::Icon::Exclamation, Dialogs::Buttons::Ok);
    });
}

// A file that another window saved, or someone edited, replaces the list; one
// that cannot be read leaves it as it is (and is moved aside at the next change).
void CommandsWindow::takeUpChanges()
{
    watchFile();
    m_store->takeUpChanges(); // F1 to F12 may have taken them up already
    if (m_commands == m_store->commands())
        return;
    const int row = selectedRow();
    m_model->beginReset();
    m_commands = m_store->commands();
    m_model->endReset();
    selectRow(std::min(row, int(m_commands.size()) - 1));
    enableButtons();
}

SavedCommand CommandsWindow::edited() const
{
    return {m_name->text(), m_content->toPlainText(), m_hex->checkState() == Qt::Checked,
            LineEnding(m_ending->currentData().toInt()),
            Checksum(m_checksum->currentData().toInt())};
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
    const QModelIndexList rows = m_table->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void CommandsWindow::selectRow(int row)
{
    m_table->clearSelection();
    if (row >= 0 && row < m_commands.size()) {
        m_table->selectRow(row);
        m_table->setCurrentIndex(m_model->index(row, CommandsModel::NameColumn));
    }
}

// The change is made to the list as the file holds it (another window may
// have saved since); the view is told only what changed, unless the list came
// anew from the file.
bool CommandsWindow::change(const CommandStore::Change &edit, Shape shape, int row, int other)
{
    const bool known = !m_store->changedOnDisk();
    std::optional<QList<SavedCommand>> saved = m_store->update(edit);
    watchFile();
    if (!saved) {
        m_dialogs->message(QStringLiteral("无法保存常用指令：") + m_store->path(),
                           Dialogs::Icon::Exclamation, Dialogs::Buttons::Ok);
        return false;
    }
    if (!known) {
        m_model->beginReset();
        m_commands = std::move(*saved);
        m_model->endReset();
        return true;
    }
    switch (shape) {
    case Shape::Append: {
        const int added = int(saved->size() - m_commands.size());
        if (added > 0)
            m_model->beginAppend(added);
        m_commands = std::move(*saved);
        if (added > 0)
            m_model->endAppend();
        break;
    }
    case Shape::Row:
        m_commands = std::move(*saved);
        m_model->rowChanged(row);
        break;
    case Shape::Remove:
        m_model->beginRemove(row);
        m_commands = std::move(*saved);
        m_model->endRemove();
        break;
    case Shape::Move:
        m_commands = std::move(*saved);
        m_model->moved(row, other);
        break;
    }
    return true;
}

// A command needs a name; without one the name field says so by taking focus.
void CommandsWindow::addEdited()
{
    const SavedCommand c = edited();
    if (c.name.trimmed().isEmpty()) {
        m_name->setFocus();
        return;
    }
    if (change([&](QList<SavedCommand> &list) { list.append(c); }, Shape::Append, -1))
        selectRow(int(m_commands.size()) - 1);
}

void CommandsWindow::replaceSelected()
{
    const int row = selectedRow();
    const SavedCommand c = edited();
    if (row < 0 || c.name.trimmed().isEmpty())
        return;
    const SavedCommand was = m_commands[row];
    int at = row;
    const bool ok = change(
        [&](QList<SavedCommand> &list) {
            at = placeOf(list, row, was);
            if (at >= 0)
                list[at] = c;
            else
                list.append(c), at = int(list.size()) - 1; // gone meanwhile: kept, not lost
        },
        Shape::Row, row);
    if (ok)
        selectRow(at);
}

void CommandsWindow::removeSelected()
{
    const int row = selectedRow();
    if (row < 0)
        return;
    const SavedCommand was = m_commands[row];
    const bool ok = change(
        [&](QList<SavedCommand> &list) {
            if (const int at = placeOf(list, row, was); at >= 0)
                list.removeAt(at);
        },
        Shape::Remove, row);
    if (ok)
        selectRow(std::min(row, int(m_commands.size()) - 1));
}

void CommandsWindow::moveSelected(int by)
{
    const int row = selectedRow();
    const int to = row + by;
    if (row < 0 || to < 0 || to >= m_commands.size())
        return;
    const SavedCommand was = m_commands[row];
    int now = to;
    const bool ok = change(
        [&](QList<SavedCommand> &list) {
            const int at = placeOf(list, row, was);
            now = at >= 0 ? std::clamp(at + by, 0, int(list.size()) - 1) : -1;
            if (at >= 0)
                list.move(at, now);
        },
        Shape::Move, row, to);
    if (ok)
        selectRow(now);
}

std::optional<QString> CommandsWindow::chooseFile(const QString &title, bool forSaving)
{
    auto path = m_dialogs->chooseCommandsFile(title, forSaving, m_lastFolder);
    if (path)
        m_lastFolder = QFileInfo(*path).absolutePath();
    return path;
}

// Imported commands join the end of the list; a bad file changes nothing.
void CommandsWindow::importFile()
{
    const auto path = chooseFile(QStringLiteral("导入常用指令"), false);
    if (!path)
        return;
    const CommandsRead got = CommandStore::importFrom(*path);
    if (got.error) {
        m_dialogs->message(QStringLiteral("无法导入 %1：%2").arg(*path, got.error->text()),
                           Dialogs::Icon::Exclamation, Dialogs::Buttons::Ok);
        return;
    }
    change([&](QList<SavedCommand> &list) { list += got.commands; }, Shape::Append, -1);
}

void CommandsWindow::exportFile()
{
    const auto path = chooseFile(QStringLiteral("导出常用指令"), true);
    if (path && !CommandStore::exportTo(*path, m_commands))
        m_dialogs->message(QStringLiteral("无法写入 ") + *path, Dialogs::Icon::Exclamation,
                           Dialogs::Buttons::Ok);
}

// What needs a selected row, or one above or below it, is greyed without.
void CommandsWindow::enableButtons()
{
    const int row = selectedRow();
    m_send->setEnabled(row >= 0);
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

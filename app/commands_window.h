#pragma once

#include "transmit/saved_commands.h"

#include <QList>
#include <QWidget>
#include <optional>

class CommandsModel;
class Dialogs;
class QCheckBox;
class QComboBox;
class QFileSystemWatcher;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableView;

// The 常用指令 window: named commands, each with its content, hex or text, line
// ending and checksum. It shows the list a CommandStore keeps, saved at every
// change, and taken up again whenever another window saves it. The selected
// command is sent by double-clicking it, Enter, or the 发送 button; the first
// twelve also by F1 to F12 in the main window.
class CommandsWindow : public QWidget
{
    Q_OBJECT

public:
    CommandsWindow(CommandStore *store, Dialogs *dialogs, QWidget *parent = nullptr);

    // Reads the store; a bad file is reported (with its line, once the
    // caller's event has returned) and the list starts empty.
    void load();
    // The list as it is on disk now, if another window changed it.
    void takeUpChanges();
    const QList<SavedCommand> &commands() const { return m_commands; }
    // Tells of a commands file that cannot be read, once the event that
    // found it has returned (the message box waits for its answer, a menu item
    // or key must not).
    static void tellBadFile(Dialogs *dialogs, QObject *context, const QString &path,
                            const CommandsError &error);

    // What the editing fields below the list say.
    SavedCommand edited() const;
    void setEdited(const SavedCommand &c);

    // The list's operations, as the buttons do them on the selected row.
    void addEdited();
    void replaceSelected();
    void removeSelected();
    void moveSelected(int by);
    void importFile();
    void exportFile();
    int selectedRow() const;
    void selectRow(int row);

signals:
    void sendRequested(const SavedCommand &command);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // How a change of the list's own shows in the view.
    enum class Shape { Append, Row, Remove, Move };
    bool change(const CommandStore::Change &edit, Shape shape, int row, int other = -1);
    void watchFile();
    void enableButtons();
    void sendRow(int row);
    std::optional<QString> chooseFile(const QString &title, bool forSaving);

    CommandStore *m_store;
    Dialogs *m_dialogs;
    QList<SavedCommand> m_commands;
    CommandsModel *m_model;
    QFileSystemWatcher *m_watcher;
    QString m_lastFolder; // of the last import or export

    QTableView *m_table;
    QLineEdit *m_name;
    QPlainTextEdit *m_content;
    QCheckBox *m_hex;
    QComboBox *m_ending;
    QComboBox *m_checksum;
    QPushButton *m_send, *m_replace, *m_remove, *m_up, *m_down;
};

#pragma once

#include "transmit/saved_commands.h"

#include <QList>
#include <QWidget>

class Dialogs;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;

// The 常用指令 window: named commands, each with its content, hex or text, line
// ending and checksum. The list is kept in a CommandStore and saved whenever
// it changes. A row is sent by double-clicking it, Enter, or its 发送 button;
// the first twelve also by F1 to F12 in the main window.
class CommandsWindow : public QWidget
{
    Q_OBJECT

public:
    CommandsWindow(CommandStore *store, Dialogs *dialogs, QWidget *parent = nullptr);

    // Reads the store; a bad file is reported (with its line) and the list starts empty.
    void load();
    const QList<SavedCommand> &commands() const { return m_commands; }

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
    void changed();
    void showList();
    void enableButtons();
    void sendRow(int row);

    CommandStore *m_store;
    Dialogs *m_dialogs;
    QList<SavedCommand> m_commands;

    QTableWidget *m_table;
    QLineEdit *m_name;
    QPlainTextEdit *m_content;
    QCheckBox *m_hex;
    QComboBox *m_ending;
    QComboBox *m_checksum;
    QPushButton *m_replace, *m_remove, *m_up, *m_down;
};

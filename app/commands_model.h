#pragma once

#include "transmit/saved_commands.h"

#include <QAbstractTableModel>

// The saved commands as the 常用指令 window's list shows them: the key that
// sends a command (F1 to F12 for the first twelve), its name, its content on
// one line (whole in the tooltip), hex or text, line ending and checksum. The
// list itself is the window's; the model is told of each change, so one
// change costs the same however long the list is.
class CommandsModel : public QAbstractTableModel
{
public:
    enum Column {
        KeyColumn,
        NameColumn,
        ContentColumn,
        KindColumn,
        EndingColumn,
        ChecksumColumn,
        ColumnCount
    };

    explicit CommandsModel(const QList<SavedCommand> *commands, QObject *parent = nullptr)
        : QAbstractTableModel(parent), m_commands(commands)
    {
    }

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // What every cell of a column can say, for sizing it without reading every row.
    static QStringList columnTexts(Column column);

    // Around changes to the list.
    void beginAppend(int count);
    void endAppend() { endInsertRows(); }
    void rowChanged(int row);
    void beginRemove(int row) { beginRemoveRows({}, row, row); }
    void endRemove();
    void moved(int from, int to);
    void beginReset() { beginResetModel(); }
    void endReset() { endResetModel(); }

private:
    const QList<SavedCommand> *m_commands;
};

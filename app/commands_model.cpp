#include "app/commands_model.h"

namespace
{
constexpr int kFunctionKeys = 12;

QString keyText(int row)
{
    return row < kFunctionKeys ? QStringLiteral("F%1").arg(row + 1) : QString();
}
} // namespace

int CommandsModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_commands->size());
}

int CommandsModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant CommandsModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_commands->size())
        return {};
    const SavedCommand &c = (*m_commands)[index.row()];
    if (role == Qt::ToolTipRole && index.column() == ContentColumn)
        return c.content;
    if (role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case KeyColumn:
        return keyText(index.row());
    case NameColumn:
        return c.name;
    case ContentColumn: {
        QString line = c.content;
        line.replace(u'\n', u'↵');
        return line;
    }
    case KindColumn:
        return c.hex ? QStringLiteral("HEX") : QStringLiteral("文本");
    case EndingColumn:
        return displayName(c.ending);
    case ChecksumColumn:
        return displayName(c.checksum);
    }
    return {};
}

QVariant CommandsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    static const QString names[ColumnCount] = {QStringLiteral("按键"), QStringLiteral("名称"),
                                               QStringLiteral("内容"), QStringLiteral("类型"),
                                               QStringLiteral("行尾"), QStringLiteral("校验")};
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < ColumnCount)
        return names[section];
    return QAbstractTableModel::headerData(section, orientation, role);
}

QStringList CommandsModel::columnTexts(Column column)
{
    QStringList texts;
    switch (column) {
    case KeyColumn:
        texts << QStringLiteral("F12");
        break;
    case KindColumn:
        texts << QStringLiteral("HEX") << QStringLiteral("文本");
        break;
    case EndingColumn:
        for (LineEnding e : kLineEndings)
            texts << displayName(e);
        break;
    case ChecksumColumn:
        for (Checksum c : kChecksums)
            texts << displayName(c);
        break;
    default:
        break;
    }
    return texts;
}

void CommandsModel::beginAppend(int count)
{
    const int rows = int(m_commands->size());
    beginInsertRows({}, rows, rows + count - 1);
}

void CommandsModel::rowChanged(int row)
{
    emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
}

void CommandsModel::endRemove()
{
    endRemoveRows();
}

void CommandsModel::moved(int from, int to)
{
    rowChanged(from);
    rowChanged(to);
}

#include "app/dialogs.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QLabel>
#include <QMessageBox>
#include <QTreeView>
#include <QVBoxLayout>

void QtDialogs::message(const QString &text, Icon icon, Buttons buttons)
{
    const QMessageBox::Icon shown = icon == Icon::Exclamation ? QMessageBox::Warning
                                    : icon == Icon::Critical  ? QMessageBox::Critical
                                                              : QMessageBox::Information;
    QMessageBox box(shown, QStringLiteral("Tarvolin"), text,
                    buttons == Buttons::OkCancel ? QMessageBox::Ok | QMessageBox::Cancel
                                                 : QMessageBox::Ok,
                    m_owner);
    box.setObjectName(QStringLiteral("Tarvolin"));
    box.exec();
}

QString QtDialogs::chooseFileToOpen()
{
    QFileDialog dialog(m_owner);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // Shown as "文本文件（*.txt）"; the pattern in ASCII brackets is what Qt matches.
    dialog.setNameFilter(QStringLiteral("文本文件（*.txt） (*.txt)"));
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    if (!m_lastFile.isEmpty())
        dialog.selectFile(m_lastFile);
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        m_lastFile = QFileInfo(dialog.selectedFiles().first()).absoluteFilePath();
    return m_lastFile;
}

std::optional<QString> QtDialogs::chooseFolder(const QString &title, const QString &root,
                                               const QString &current)
{
    QDialog dialog(m_owner);
    dialog.setWindowTitle(title);
    dialog.setObjectName(QStringLiteral("FolderPicker"));
    auto *layout = new QVBoxLayout(&dialog);
    layout->addWidget(new QLabel(QDir::toNativeSeparators(root), &dialog));

    auto *model = new QFileSystemModel(&dialog);
    model->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot);
    model->setRootPath(root);
    auto *tree = new QTreeView(&dialog);
    tree->setObjectName(QStringLiteral("FolderTree"));
    tree->setModel(model);
    tree->setRootIndex(model->index(root));
    const QString rootPath = QDir(root).absolutePath();
    const QString currentPath = QDir(current).absolutePath();
    if (currentPath.startsWith(rootPath + u'/') && QFileInfo(currentPath).isDir()) {
        const QModelIndex at = model->index(currentPath);
        tree->setCurrentIndex(at);
        tree->scrollTo(at);
    }
    for (int column = 1; column < model->columnCount(); ++column)
        tree->hideColumn(column);
    tree->setHeaderHidden(true);
    layout->addWidget(tree);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    dialog.resize(360, 420);

    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    // With no folder selected, the root itself is the choice.
    const QModelIndex chosen = tree->currentIndex();
    return chosen.isValid() ? model->filePath(chosen) : QDir(root).absolutePath();
}

std::optional<QString> QtDialogs::chooseCommandsFile(const QString &title, bool forSaving,
                                                     const QString &folder)
{
    QFileDialog dialog(m_owner, title, folder);
    dialog.setFileMode(forSaving ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setAcceptMode(forSaving ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setNameFilter(QStringLiteral("指令文件（*.ini） (*.ini)"));
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    dialog.setDefaultSuffix(QStringLiteral("ini"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().first();
}

std::optional<QString> QtDialogs::chooseScript(const QString &folder)
{
    QFileDialog dialog(m_owner, QStringLiteral("运行脚本"), folder);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(
        {QStringLiteral("Lua 脚本（*.lua） (*.lua)"), QStringLiteral("所有文件 (*)")});
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().first();
}

QStringList QtDialogs::chooseFilesToSend(const QString &title, bool many)
{
    QFileDialog dialog(m_owner, title);
    dialog.setFileMode(many ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.selectedFiles();
}

std::optional<QString> QtDialogs::chooseFileToSave(const QString &title, const QString &folder,
                                                   const QString &name)
{
    QFileDialog dialog(m_owner, title, folder);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.selectFile(name);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().first();
}

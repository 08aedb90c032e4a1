#pragma once

#include "app/dialogs.h"

#include <QList>

// Answers every question at once, as set beforehand, and remembers what was asked.
class RecordingDialogs : public Dialogs
{
public:
    struct Message {
        QString text;
        Icon icon;
        Buttons buttons;
    };
    QList<Message> messages;

    QString fileAnswer; // what the file dialog reports ("" = cancelled)
    int fileQuestions = 0;
    std::optional<QString> folderAnswer;            // nothing = cancelled
    QString folderTitle, folderRoot, folderCurrent; // what the picker was asked
    std::optional<QString> commandsFileAnswer;      // nothing = cancelled
    QString commandsFolder;                         // where the commands file dialog opened
    std::optional<QString> scriptAnswer;            // nothing = cancelled
    QString scriptFolder;                           // where the script dialog opened
    QStringList sendFilesAnswer;                    // empty = cancelled
    std::optional<QString> saveFileAnswer;          // nothing = cancelled
    QString saveFileFolder;                         // where the save dialog opened

    void message(const QString &text, Icon icon, Buttons buttons) override
    {
        messages.append({text, icon, buttons});
    }
    QString chooseFileToOpen() override
    {
        ++fileQuestions;
        return fileAnswer;
    }
    std::optional<QString> chooseFolder(const QString &title, const QString &root,
                                        const QString &current) override
    {
        folderTitle = title;
        folderRoot = root;
        folderCurrent = current;
        return folderAnswer;
    }
    std::optional<QString> chooseCommandsFile(const QString &, bool, const QString &folder) override
    {
        commandsFolder = folder;
        return commandsFileAnswer;
    }
    std::optional<QString> chooseScript(const QString &folder) override
    {
        scriptFolder = folder;
        return scriptAnswer;
    }
    QStringList chooseFilesToSend(const QString &, bool many) override
    {
        return many ? sendFilesAnswer : sendFilesAnswer.mid(0, 1);
    }
    std::optional<QString> chooseFileToSave(const QString &, const QString &folder,
                                            const QString &) override
    {
        saveFileFolder = folder;
        return saveFileAnswer;
    }
};

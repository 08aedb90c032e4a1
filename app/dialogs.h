#pragma once

#include <QStringList>

#include <QString>
#include <optional>

class QWidget;

// Every question the window puts to the user goes through here, so tests can
// answer in place of a person.
class Dialogs
{
public:
    enum class Icon { Exclamation, Critical, Information };
    enum class Buttons { Ok, OkCancel };

    virtual ~Dialogs() = default;

    // A modal message box captioned "Tarvolin"; its answer is never used.
    virtual void message(const QString &text, Icon icon, Buttons buttons) = 0;

    // A file-open dialog offering text files; the chosen file's full path. A
    // cancelled dialog reports the name it reported last (empty when none).
    virtual QString chooseFileToOpen() = 0;

    // A folder picker titled title showing root and the folders below it, with
    // current chosen when it is one of them; the chosen folder's path, or
    // nothing when the user cancels.
    virtual std::optional<QString> chooseFolder(const QString &title, const QString &root,
                                                const QString &current) = 0;

    // A file dialog titled title offering commands files (*.ini) in folder, to
    // read one (forSaving false) or to write one; the chosen path, or nothing
    // when cancelled.
    virtual std::optional<QString> chooseCommandsFile(const QString &title, bool forSaving,
                                                      const QString &folder) = 0;
    // A file dialog offering Lua scripts (*.lua) in folder; the chosen path,
    // or nothing when cancelled.
    virtual std::optional<QString> chooseScript(const QString &folder) = 0;
    // A file dialog titled title for files to send (several when many); the
    // chosen paths, empty when cancelled.
    virtual QStringList chooseFilesToSend(const QString &title, bool many) = 0;
    // A save dialog titled title in folder, suggesting name; the chosen path,
    // or nothing when cancelled.
    virtual std::optional<QString> chooseFileToSave(const QString &title, const QString &folder,
                                                    const QString &name) = 0;
};

// The real dialogs, modal to the given window.
class QtDialogs : public Dialogs
{
public:
    explicit QtDialogs(QWidget *owner = nullptr) : m_owner(owner) {}
    void setOwner(QWidget *owner) { m_owner = owner; }
    void message(const QString &text, Icon icon, Buttons buttons) override;
    QString chooseFileToOpen() override;
    std::optional<QString> chooseFolder(const QString &title, const QString &root,
                                        const QString &current) override;
    std::optional<QString> chooseCommandsFile(const QString &title, bool forSaving,
                                              const QString &folder) override;
    std::optional<QString> chooseScript(const QString &folder) override;
    QStringList chooseFilesToSend(const QString &title, bool many) override;
    std::optional<QString> chooseFileToSave(const QString &title, const QString &folder,
                                            const QString &name) override;

private:
    QWidget *m_owner;
    QString m_lastFile;
};

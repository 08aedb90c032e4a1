#pragma once

#include "app/app_setup.h"
#include "app/main_window.h"
#include "support/fake_port.h"
#include "support/recording_dialogs.h"

#include <QObject>
#include <QStandardPaths>
#include <memory>

// A fresh window per test with a port whose device is memory: COM1 and COM2
// name the fake devices com1 and com2, and com1 is there. Controls are found
// by name. Tests make the window in init() and may set it up further.
class FakeWindowTest : public QObject
{
    Q_OBJECT

protected:
    const QString com1 = QStringLiteral("/dev/fake-com1");
    const QString com2 = QStringLiteral("/dev/fake-com2");

    std::unique_ptr<FakePort> comm;
    std::unique_ptr<RecordingDialogs> dialogs;
    std::unique_ptr<MainForm> form;

    template <typename T = QWidget> T *w(const char *name)
    {
        auto *found = form->findChild<T *>(QString::fromLatin1(name));
        if (!found)
            qFatal("no control %s", name);
        return found;
    }

    void makeWindow()
    {
        comm = std::make_unique<FakePort>();
        comm->available << com1;
        dialogs = std::make_unique<RecordingDialogs>();
        form = std::make_unique<MainForm>(comm.get(), dialogs.get());
    }
    // The window after start-up, shown, with its saved commands in a file of the test's.
    void makeShownWindow(const QString &commandsFile)
    {
        makeWindow();
        form->setCommandsFile(commandsFile);
        form->formLoad();
        form->show();
    }
    void closeWindow()
    {
        form.reset();
        comm.reset();
    }

private slots:
    void initTestCase()
    {
        // Nothing a test does reads or writes the user's own settings or saved commands.
        QStandardPaths::setTestModeEnabled(true);
        configureApplication();
        qputenv("QUORVEX_COM1", com1.toLatin1());
        qputenv("QUORVEX_COM2", com2.toLatin1());
    }
};

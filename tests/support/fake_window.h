#pragma once

#include "app/app_setup.h"
#include "app/main_window.h"
#include "support/fake_serial_control.h"
#include "support/recording_dialogs.h"

#include <QObject>
#include <memory>

// A fresh window per test with a fake port behind it (COM1 is /dev/fake-com1,
// which is there), dialogs answered by the test, controls found by name.
// init() of the test calls makeWindow() and adds what it needs; start() is
// the start-up and showing of the window.
class FakeWindowTest : public QObject
{
    Q_OBJECT

protected:
    const QString com1 = QStringLiteral("/dev/fake-com1");
    std::unique_ptr<FakeSerialControl> comm;
    std::unique_ptr<RecordingDialogs> dialogs;
    std::unique_ptr<MainForm> form;

    template <typename T = QWidget>
    T *w(const char *name)
    {
        auto *found = form->findChild<T *>(QString::fromLatin1(name));
        if (!found)
            qFatal("no control %s", name);
        return found;
    }

    void makeWindow()
    {
        comm = std::make_unique<FakeSerialControl>();
        comm->available << com1;
        dialogs = std::make_unique<RecordingDialogs>();
        form = std::make_unique<MainForm>(comm.get(), dialogs.get());
    }
    void start()
    {
        form->formLoad();
        form->show();
    }

private slots:
    void initTestCase()
    {
        configureApplication();
        qputenv("QUORVEX_COM1", com1.toLatin1());
    }
    void cleanup()
    {
        form.reset();
        comm.reset();
    }
};

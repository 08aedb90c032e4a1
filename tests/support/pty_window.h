#pragma once

#include "app/app_setup.h"
#include "app/main_window.h"
#include "serial/device_port.h"
#include "support/pty_pair.h"
#include "support/recording_dialogs.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QObject>
#include <QStandardPaths>
#include <memory>

// A fresh window per test with the real serial control, COM1 mapped to a
// pseudo-terminal whose other end the test plays; controls found by name.
class PtyWindowTest : public QObject
{
    Q_OBJECT

protected:
    std::unique_ptr<PtyPair> device;
    std::unique_ptr<DevicePort> comm;
    std::unique_ptr<RecordingDialogs> dialogs;
    std::unique_ptr<MainForm> form;

    template <typename T = QWidget> T *w(const char *name)
    {
        return form->findChild<T *>(QString::fromLatin1(name));
    }
    QString rx() { return w<QLineEdit>("TxtRXCount")->text(); }
    QString tx() { return w<QLineEdit>("TxtTXCount")->text(); }
    void tick(const char *box, bool on)
    {
        w<QCheckBox>(box)->setCheckState(on ? Qt::Checked : Qt::Unchecked);
    }

    // Start-up on a new device; the port is open afterwards.
    void openWindow()
    {
        device = std::make_unique<PtyPair>();
        qputenv("QUORVEX_COM1", device->devicePath().toLocal8Bit());
        comm = std::make_unique<DevicePort>();
        dialogs = std::make_unique<RecordingDialogs>();
        form = std::make_unique<MainForm>(comm.get(), dialogs.get());
        form->formLoad();
    }
    void closeWindow()
    {
        form.reset();
        comm.reset();
        device.reset();
    }

private slots:
    void initTestCase()
    {
        // Nothing a test does reads or writes the user's own settings or saved commands.
        QStandardPaths::setTestModeEnabled(true);
        configureApplication();
    }
};

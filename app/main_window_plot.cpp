// The 绘图 window: the receive box's 绘图… opens it, and from then on it is
// given what the port receives (not what a file transfer takes).
#include "app/main_window.h"
#include "app/plot_window.h"
#include "receive/receive_display.h"
#include "receive/receive_feed.h"

void MainForm::wirePlot()
{
    connect(c.TxtReceive, &ReceiveDisplay::plotRequested, this, &MainForm::openPlot);
    connect(m_port, &Port::received, this,
            [this](const QByteArray &bytes, const std::vector<Port::Arrival> &arrivals) {
                if (m_plotWindow && !m_feed->held())
                    m_plotWindow->take(bytes, arrivals);
            });
    connect(m_port, &Port::opened, this, [this] {
        if (m_plotWindow)
            m_plotWindow->restart();
    });
}

PlotWindow *MainForm::plotWindow() const
{
    return m_plotWindow.data();
}

void MainForm::openPlot()
{
    if (!m_plotWindow) {
        m_plotWindow = new PlotWindow(m_dialogs, saveFolder(), this);
        m_plotWindow->setAttribute(Qt::WA_DeleteOnClose);
    }
    m_plotWindow->setFolder(saveFolder());
    m_plotWindow->show();
    m_plotWindow->raise();
    m_plotWindow->activateWindow();
}

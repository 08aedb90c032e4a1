// Automatic sending and large sends through the window to a pseudo-terminal,
// whose other end a thread of this benchmark reads and timestamps.
//   autosend_bench [seconds per period, default 10]
#include "app/app_setup.h"
#include "bench_support.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <sys/resource.h>
#include <thread>
#include <time.h>
#include <vector>

namespace
{

// Reads the device end and notes when each byte arrived.
class Device
{
public:
    explicit Device(PtyPair &pty) : m_pty(pty)
    {
        m_thread = std::thread([this] {
            while (!m_stop) {
                // Waits for the first byte, then takes what is there with it.
                QByteArray got = m_pty.read(1, 20);
                if (got.isEmpty())
                    continue;
                got += m_pty.read(1 << 16, 0);
                const double now = std::chrono::duration<double, std::milli>(
                                       std::chrono::steady_clock::now().time_since_epoch())
                                       .count();
                std::lock_guard lock(m_mutex);
                for (int i = 0; i < got.size(); ++i)
                    m_arrivals.push_back(now);
                m_bytes += got.size();
            }
            timespec ts{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
            m_cpu = ts.tv_sec + ts.tv_nsec / 1e9;
        });
    }
    ~Device() { stop(); }
    // Stops reading; returns the CPU seconds the reader itself used.
    double stop()
    {
        if (m_thread.joinable()) {
            m_stop = true;
            m_thread.join();
        }
        return m_cpu;
    }
    qint64 bytes() const { return m_bytes; }
    std::vector<double> arrivals()
    {
        std::lock_guard lock(m_mutex);
        return m_arrivals;
    }

private:
    PtyPair &m_pty;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<qint64> m_bytes{0};
    double m_cpu = 0;
    std::mutex m_mutex;
    std::vector<double> m_arrivals;
};

// CPU seconds the window with an open port uses when nothing is sent.
double idleCpu(int seconds)
{
    BenchWindow win;
    Device device(win.pty);
    const double cpu0 = cpuSeconds();
    runFor(seconds * 1000);
    const double readerCpu = device.stop();
    return cpuSeconds() - cpu0 - readerCpu;
}

void autoSend(int periodMs, int seconds, double idle)
{
    BenchWindow win;
    Device device(win.pty);
    win.w<QCheckBox>("ChkHexSend")->setCheckState(Qt::Checked);
    win.w<QPlainTextEdit>("TxtSend")->setPlainText("A5");
    win.w<QLineEdit>("TxtAutoSendTime")->setText(QString::number(periodMs));
    const double cpu0 = cpuSeconds();
    win.w<QCheckBox>("ChkAutoSend")->setCheckState(Qt::Checked);
    runFor(seconds * 1000 + periodMs / 2);
    win.w<QCheckBox>("ChkAutoSend")->setCheckState(Qt::Unchecked);
    runFor(100);
    const double readerCpu = device.stop();
    const double cpu = cpuSeconds() - cpu0 - readerCpu; // the program's share only
    const std::vector<double> at = device.arrivals();
    std::vector<double> jitter;
    for (size_t i = 1; i < at.size(); ++i)
        jitter.push_back(std::abs(at[i] - at[i - 1] - periodMs));
    const double expected = seconds * 1000.0 / periodMs;
    std::printf("period %3d ms: %6zu sends of %6.0f expected (%+.2f %%), jitter median %.3f ms "
                "p99 %.3f ms, %.1f us CPU per send beyond idle\n",
                periodMs, at.size(), expected, 100.0 * (at.size() - expected) / expected,
                percentile(jitter, 0.5), percentile(jitter, 0.99),
                1e6 * std::max(0.0, cpu - idle) / std::max<size_t>(1, at.size()));
}

void largeSend(bool hex, qint64 bytes)
{
    BenchWindow win;
    Device device(win.pty);
    // Text in lines of 64 bytes on the wire (62 letters, CR LF); hex on one line,
    // since a line break ends what is read as hexadecimal.
    QString box;
    box.reserve(hex ? bytes * 3 : bytes);
    for (qint64 i = 0; i < bytes; ++i) {
        if (hex)
            box += QStringLiteral("%1 ").arg(i % 251, 2, 16, QLatin1Char('0'));
        else if (i % 64 == 63)
            box += u'\n';
        else if (i % 64 != 62)
            box += QChar(char16_t(u'a' + i % 26));
    }
    win.w<QCheckBox>("ChkHexSend")->setCheckState(hex ? Qt::Checked : Qt::Unchecked);
    win.w<QPlainTextEdit>("TxtSend")->setPlainText(box);
    QElapsedTimer t;
    t.start();
    win.w<QPushButton>("CmdSend")->click();
    const qint64 handler = t.elapsed();
    while (device.bytes() < bytes && t.elapsed() < 60000)
        runFor(1);
    const double s = t.nsecsElapsed() / 1e9;
    std::printf("one %s send of %.1f MB: %.1f MB/s to the device (handler %lld ms)%s\n",
                hex ? "hex " : "text", bytes / 1e6, bytes / 1e6 / s, handler,
                device.bytes() < bytes ? "  !! incomplete" : "");
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QApplication app(argc, argv);
    configureApplication();
    const int seconds = argc > 1 ? atoi(argv[1]) : 10;
    const double idle = idleCpu(seconds);
    std::printf("idle window with an open port: %.2f %% of one core\n", 100.0 * idle / seconds);
    for (int period : {1, 10, 100})
        autoSend(period, seconds, idle);
    largeSend(false, 4 << 20);
    largeSend(true, 100'000);
    return 0;
}

#include "app/transfer_window.h"

#include "app/tool_window.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

TransferWindow::TransferWindow(TransferRun *run, QWidget *parent)
    : QWidget(parent, Qt::Window), m_run(run)
{
    setObjectName(QStringLiteral("TransferWindow"));
    setWindowTitle(QStringLiteral("文件传输"));
    setAccessibleName(QStringLiteral("文件传输"));
    resize(460, 170);

    m_what = new QLabel(this);
    m_what->setAccessibleDescription(QStringLiteral("传输"));
    m_bar = new QProgressBar(this);
    m_bar->setAccessibleName(QStringLiteral("进度"));
    m_bar->setRange(0, 1000);
    m_figures = new QLabel(this);
    m_figures->setAccessibleDescription(QStringLiteral("进度"));
    m_result = new QLabel(this);
    m_result->setWordWrap(true);
    m_result->setAccessibleDescription(QStringLiteral("结果"));
    m_result->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_cancel = new QPushButton(QStringLiteral("取消(&C)"), this);
    m_cancel->setAccessibleDescription(QStringLiteral("中止这次文件传输"));

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_what);
    layout->addWidget(m_bar);
    layout->addWidget(m_figures);
    layout->addWidget(m_result, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_cancel);
    layout->addLayout(buttons);
    addCloseKeys(this, layout);

    connect(m_cancel, &QPushButton::clicked, m_run, &TransferRun::cancel);
    connect(m_run, &TransferRun::progressed, this, &TransferWindow::showFigures);
    connect(m_run, &TransferRun::finished, this, &TransferWindow::onFinished);
}

void TransferWindow::begin()
{
    const TransferRun::Job &job = m_run->job();
    const bool sending = job.direction == TransferRun::Direction::Send;
    QString file;
    if (sending)
        file = job.files.size() > 1 ? QStringLiteral("%1 个文件").arg(job.files.size())
                                    : QFileInfo(job.files.value(0)).fileName();
    else
        file = job.name.isEmpty() ? job.folder : job.name;
    m_what->setText(QStringLiteral("%1 %2：%3")
                        .arg(TransferRun::protocolName(job.protocol),
                             sending ? QStringLiteral("发送") : QStringLiteral("接收"), file));
    m_result->setText(QStringLiteral("正在传输…"));
    m_bar->setValue(0);
    m_cancel->setEnabled(true);
    showFigures();
    show();
    raise();
    activateWindow();
    m_cancel->setFocus();
}

QString TransferWindow::figuresText(const TransferRun::Figures &f)
{
    QStringList parts;
    // The file under way against its size; between files and at the end, all that went.
    const bool underWay = f.total >= 0 && f.bytes > 0;
    parts << (underWay ? QStringLiteral("%1 / %2 字节").arg(f.bytes).arg(f.total)
                       : QStringLiteral("%1 字节").arg(f.sent));
    if (f.files > 0)
        parts << QStringLiteral("%1 个文件已完成").arg(f.files);
    if (f.blocks > 0)
        parts << QStringLiteral("%1 块").arg(f.blocks);
    parts << QStringLiteral("重试 %1 次").arg(f.retries);
    const double seconds = double(f.elapsedMs) / 1000.0;
    const double rate = seconds > 0.2 ? double(f.sent) / seconds : 0;
    if (rate > 0) {
        parts << (rate >= 1024 ? QStringLiteral("%1 KB/s").arg(rate / 1024, 0, 'f', 1)
                               : QStringLiteral("%1 B/s").arg(rate, 0, 'f', 0));
        if (underWay && f.total > f.bytes) {
            const qint64 left = qint64(double(f.total - f.bytes) / rate);
            parts << QStringLiteral("剩余 %1:%2")
                         .arg(left / 60, 2, 10, QChar(u'0'))
                         .arg(left % 60, 2, 10, QChar(u'0'));
        }
    }
    return parts.join(QStringLiteral(" · "));
}

void TransferWindow::showFigures()
{
    const TransferRun::Figures f = m_run->figures();
    m_figures->setText(figuresText(f));
    if (f.total > 0)
        m_bar->setValue(int(std::min<qint64>(1000, f.bytes * 1000 / f.total)));
    else if (f.total < 0 && m_run->running())
        m_bar->setRange(0, 0); // busy: the size is not known
}

void TransferWindow::onFinished(bool ok, const QString &result)
{
    m_bar->setRange(0, 1000);
    m_bar->setValue(ok ? 1000 : m_bar->value());
    m_result->setText(result);
    m_cancel->setEnabled(false);
}

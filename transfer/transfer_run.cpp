#include "transfer/transfer_run.h"

#include "serial/port.h"
#include "transfer/xmodem_receiver.h"
#include "transfer/xmodem_sender.h"
#include "transmit/send_feed.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace
{
constexpr int kProgressSpacingMs = 100;
constexpr int kWriteRetryMs = 10;

QString sizeText(qint64 bytes)
{
    return QStringLiteral("%1 字节").arg(bytes);
}
} // namespace

TransferRun::TransferRun(Port *port, SendFeed *send, QObject *parent)
    : QObject(parent), m_port(port), m_send(send)
{
    m_tick.setSingleShot(true);
    m_tick.setTimerType(Qt::PreciseTimer);
    connect(&m_tick, &QTimer::timeout, this, &TransferRun::pump);
    m_retryWrite.setSingleShot(true);
    m_retryWrite.setInterval(kWriteRetryMs);
    connect(&m_retryWrite, &QTimer::timeout, this, &TransferRun::flushOut);
    m_progressSpacing.setSingleShot(true);
    m_progressSpacing.setInterval(kProgressSpacingMs);
    connect(&m_progressSpacing, &QTimer::timeout, this, [this] {
        countAnswers();
        emit progressed();
        if (m_machine && m_running)
            m_progressSpacing.start(); // the reading thread answers without telling us
    });
}

TransferRun::~TransferRun()
{
    if (m_process) {
        m_process->disconnect(this);
        m_process->kill();
        m_process->waitForFinished(2000);
    }
}

QString TransferRun::protocolName(Protocol p)
{
    switch (p) {
    case Protocol::XModem:
        return QStringLiteral("XMODEM");
    case Protocol::XModemCrc:
        return QStringLiteral("XMODEM-CRC");
    case Protocol::XModem1k:
        return QStringLiteral("XMODEM-1K");
    case Protocol::YModem:
        return QStringLiteral("YMODEM");
    case Protocol::ZModem:
        return QStringLiteral("ZMODEM");
    }
    return {};
}

QString TransferRun::lrzszProgram(Direction d)
{
    return QStandardPaths::findExecutable(d == Direction::Send ? QStringLiteral("sz")
                                                               : QStringLiteral("rz"));
}

bool TransferRun::start(const Job &job, QString *why)
{
    if (m_running) {
        *why = QStringLiteral("已有文件传输在进行");
        return false;
    }
    if (!m_port->isOpen()) {
        *why = QStringLiteral("串口没有打开");
        return false;
    }
    const bool sending = job.direction == Direction::Send;
    if (sending && job.files.isEmpty()) {
        *why = QStringLiteral("没有要发送的文件");
        return false;
    }
    m_job = job;
    m_sources.clear();
    m_sink.reset();
    m_machine.reset();
    m_zKept.clear();
    m_out.clear();
    m_zBytes = 0;
    m_elapsed.start();

    if (job.protocol == Protocol::ZModem) {
        if (!startZmodem(why))
            return false;
    } else if (sending) {
        std::vector<xmodem::Sender::File> files;
        const QStringList paths =
            job.protocol == Protocol::YModem ? job.files : job.files.mid(0, 1);
        for (const QString &path : paths) {
            auto f = std::make_unique<transfer::OutgoingFile>();
            if (!f->open(path, why))
                return false;
            files.push_back({QFileInfo(path).fileName().toStdString(), f->size(), f->mtime()});
            m_sources.push_back(std::move(f));
        }
        const auto mode = job.protocol == Protocol::XModem      ? xmodem::Sender::Mode::XModem
                          : job.protocol == Protocol::XModemCrc ? xmodem::Sender::Mode::XModemCrc
                          : job.protocol == Protocol::XModem1k  ? xmodem::Sender::Mode::XModem1k
                                                                : xmodem::Sender::Mode::YModem;
        m_machine = std::make_unique<xmodem::Sender>(
            mode, std::move(files),
            [this](std::size_t file, std::int64_t at, std::size_t n, std::string &out,
                   std::string &bad) { return m_sources[file]->read(at, n, out, bad); });
    } else {
        const bool batch = job.protocol == Protocol::YModem;
        if (!batch && job.name.isEmpty()) {
            *why = QStringLiteral("没有给接收的文件取名");
            return false;
        }
        m_sink =
            std::make_unique<transfer::ReceivedFiles>(job.folder, batch ? QString() : job.name);
        const auto mode = batch                              ? xmodem::Receiver::Mode::YModem
                          : job.protocol == Protocol::XModem ? xmodem::Receiver::Mode::XModem
                                                             : xmodem::Receiver::Mode::XModemCrc;
        m_machine = std::make_unique<xmodem::Receiver>(mode, m_sink->sink());
    }

    m_running = true;
    m_port->setEagerReads(true);
    m_watching << connect(m_port, &Port::lost, this,
                          [this] { end(false, QStringLiteral("串口断开了，传输中止")); });
    m_watching << connect(m_port, &Port::closed, this, [this] {
        end(false, m_port->losing() ? QStringLiteral("串口断开了，传输中止")
                                    : QStringLiteral("串口已关闭，传输中止"));
    });
    if (m_machine) {
        {
            QMutexLocker lock(&m_lock);
            m_answered.store(0);
            m_followPosted = false;
            m_armedDeadline = -1;
            m_machine->start(clock());
        }
        m_port->setResponder([this](const QByteArray &bytes) { respond(bytes); });
        pump();
    } else {
        // sz and rz get what comes as the window's thread is given it.
        m_port->setPromptDeliveries(true);
        m_watching << connect(m_port, &Port::received, this,
                              [this](const QByteArray &bytes) { onReceived(bytes); });
    }
    return true;
}

bool TransferRun::startZmodem(QString *why)
{
    const bool sending = m_job.direction == Direction::Send;
    const QString program = lrzszProgram(m_job.direction);
    if (program.isEmpty()) {
        *why = QStringLiteral("没有安装 lrzsz，无法使用 ZMODEM");
        return false;
    }
    QStringList args{QStringLiteral("-b")};
    if (sending) {
        for (const QString &f : m_job.files) {
            if (!QFileInfo(f).isFile()) {
                *why = QStringLiteral("无法打开文件 ") + f;
                return false;
            }
        }
        args << m_job.files;
    } else {
        // Names from the far end are never a path; rz writes into a folder
        // of its own, and only files it got whole come out of it.
        args << QStringLiteral("-R");
        m_zFolder = QDir().mkpath(m_job.folder)
                        ? std::make_unique<QTemporaryDir>(m_job.folder +
                                                          QStringLiteral("/.quorvex-zmodem-XXXXXX"))
                        : nullptr;
        if (!m_zFolder || !m_zFolder->isValid()) {
            *why = QStringLiteral("无法建立文件夹：") + m_job.folder;
            m_zFolder.reset();
            return false;
        }
        QFile::setPermissions(m_zFolder->path(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    m_process = new QProcess(this);
    m_process->setProgram(program);
    m_process->setArguments(args);
    m_process->setWorkingDirectory(sending ? QDir::currentPath() : m_zFolder->path());
    m_process->setProcessChannelMode(QProcess::SeparateChannels);
    m_process->setStandardErrorFile(QProcess::nullDevice());
    connect(m_process, &QProcess::readyReadStandardOutput, this, [this] {
        m_out += m_process->readAllStandardOutput();
        flushOut();
    });
    connect(m_process, &QProcess::finished, this, [this](int code, QProcess::ExitStatus status) {
        QString why = QStringLiteral("%1 结束，退出码 %2")
                          .arg(QFileInfo(m_process->program()).fileName())
                          .arg(code);
        const bool ok = status == QProcess::NormalExit && code == 0 && keepZmodemFiles(&why);
        end(ok, why);
    });
    m_process->start();
    if (!m_process->waitForStarted(5000)) {
        *why = QStringLiteral("无法启动 ") + program;
        delete m_process;
        m_process = nullptr;
        return false;
    }
    return true;
}

bool TransferRun::keepZmodemFiles(QString *why)
{
    if (!m_zFolder)
        return true;
    const QDir from(m_zFolder->path());
    for (const QString &name :
         from.entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name)) {
        const QString kept = transfer::keepUnder(
            from.filePath(name), m_job.folder + u'/' + transfer::safeName(name.toUtf8()), why);
        if (kept.isEmpty())
            return false;
        m_zKept << kept;
    }
    return true;
}

void TransferRun::onReceived(const QByteArray &bytes)
{
    if (!m_running || !m_process)
        return;
    m_zBytes += bytes.size();
    m_process->write(bytes);
    if (!m_progressSpacing.isActive())
        m_progressSpacing.start();
}

void TransferRun::respond(const QByteArray &bytes)
{
    QMutexLocker lock(&m_lock);
    if (m_machine->status() != xmodem::Status::Running)
        return;
    m_machine->feed(std::string_view(bytes.constData(), std::size_t(bytes.size())), clock());
    const std::string out = m_machine->takeOutput();
    if (!out.empty()) {
        const QByteArray answer(out.data(), qsizetype(out.size()));
        // Behind what still waits for room, never ahead of it.
        if (m_out.isEmpty() && m_port->answer(answer))
            m_answered.fetch_add(answer.size());
        else
            m_out += answer;
    }
    // The window's thread is woken only when it has something to do: an end,
    // an answer that waits for room, a deadline sooner than the one its clock
    // is set for. What was written is counted with the progress.
    const bool wanted = m_machine->status() != xmodem::Status::Running || !m_out.isEmpty() ||
                        (m_machine->deadline() >= 0 && m_machine->deadline() < m_armedDeadline);
    if (wanted && !std::exchange(m_followPosted, true))
        QMetaObject::invokeMethod(this, &TransferRun::follow, Qt::QueuedConnection);
}

void TransferRun::countAnswers()
{
    const qint64 answered = m_answered.exchange(0);
    if (answered > 0)
        m_send->countWritten(answered);
}

void TransferRun::follow()
{
    {
        QMutexLocker lock(&m_lock);
        m_followPosted = false;
    }
    countAnswers();
    pump();
}

// What the machine has to say goes out; then its clock, or its end.
void TransferRun::pump()
{
    if (!m_running || !m_machine)
        return;
    // The window's thread never waits for the reading thread: while that
    // holds the machine (and may be preempted holding it), this comes back
    // a moment later.
    if (!m_lock.tryLock()) {
        m_tick.start(1);
        return;
    }
    m_machine->tick(clock());
    const std::string out = m_machine->takeOutput();
    m_out.append(out.data(), qsizetype(out.size()));
    const bool waiting = !m_out.isEmpty();
    const xmodem::Status status = m_machine->status();
    const QString reason = QString::fromStdString(m_machine->reason());
    const qint64 deadline = m_armedDeadline = m_machine->deadline();
    m_lock.unlock();
    if (waiting)
        flushOut();
    if (!m_progressSpacing.isActive())
        m_progressSpacing.start();
    if (status != xmodem::Status::Running)
        return end(status == xmodem::Status::Done, reason);
    const qint64 wait = std::max<qint64>(0, deadline - clock());
    m_tick.start(int(std::min<qint64>(wait, 60000)));
}

// What waits stays in m_out until it is written, so that an answer made on
// the reading thread meanwhile queues behind it.
void TransferRun::flushOut()
{
    for (;;) {
        QByteArray out;
        {
            QMutexLocker lock(&m_lock);
            out = m_out;
        }
        if (out.isEmpty() || !m_port->isOpen())
            return;
        if (!m_send->sendBytes(out)) {
            if (!m_retryWrite.isActive())
                m_retryWrite.start();
            return;
        }
        QMutexLocker lock(&m_lock);
        m_out.remove(0, out.size());
    }
}

void TransferRun::cancel()
{
    if (!m_running)
        return;
    if (m_process) {
        m_out += QByteArray::fromStdString(xmodem::Machine::cancelSequence());
        flushOut();
        m_process->disconnect(this);
        m_process->kill();
        m_process->waitForFinished(2000);
        end(false, QStringLiteral("已取消"));
        return;
    }
    {
        QMutexLocker lock(&m_lock);
        m_machine->cancel();
    }
    pump();
}

void TransferRun::end(bool ok, const QString &why)
{
    if (!m_running)
        return;
    m_running = false;
    m_port->setResponder({}); // none of its calls is under way after this
    if (m_machine)
        m_port->deliverWaiting(); // what it took is delivered as the transfer's
    countAnswers();
    m_tick.stop();
    {
        QMutexLocker lock(&m_lock);
        // Else the last answer (an ACK, a cancel) still goes out once there is room.
        if (m_out.isEmpty())
            m_retryWrite.stop();
        if (m_machine && m_machine->status() == xmodem::Status::Running) {
            m_machine->cancel(); // the port went: the files under way are dropped
            m_machine->takeOutput();
        }
    }
    m_progressSpacing.stop();
    for (const auto &c : std::as_const(m_watching))
        disconnect(c);
    m_watching.clear();
    if (m_process) {
        m_process->disconnect(this);
        if (m_process->state() != QProcess::NotRunning) {
            m_process->kill();
            m_process->waitForFinished(2000);
        }
        m_process->deleteLater();
        m_process = nullptr;
    }
    m_zFolder.reset(); // with whatever did not come whole
    m_port->setEagerReads(false);
    m_port->setPromptDeliveries(false);
    const Figures f = figures();
    QString result;
    if (ok) {
        const double seconds = double(f.elapsedMs) / 1000.0;
        const qint64 bytes = m_job.protocol == Protocol::ZModem ? 0 : f.sent;
        result = QStringLiteral("成功");
        if (m_job.protocol != Protocol::ZModem)
            result +=
                QStringLiteral("：%1，%2 个文件").arg(sizeText(bytes)).arg(std::max(1, f.files));
        result += QStringLiteral("，用时 %1 秒").arg(seconds, 0, 'f', 1);
    } else {
        result = QStringLiteral("失败：") + why;
    }
    emit progressed();
    emit finished(ok, result);
}

TransferRun::Figures TransferRun::figures() const
{
    Figures f;
    f.elapsedMs = m_elapsed.isValid() ? m_elapsed.elapsed() : 0;
    if (!m_machine) {
        f.bytes = f.sent = m_zBytes;
        return f;
    }
    // Never kept waiting behind the reading thread: while it holds the
    // machine, the figures are the last ones taken.
    if (!m_lock.tryLock()) {
        f = m_shown;
        f.elapsedMs = m_elapsed.elapsed();
        return f;
    }
    const xmodem::Progress &p = m_machine->progress();
    f.bytes = p.bytes;
    f.total = p.total;
    f.blocks = p.blocks;
    f.retries = p.retries;
    f.files = p.files;
    f.name = QString::fromStdString(p.name);
    f.sent = p.done + p.bytes;
    m_lock.unlock();
    if (m_job.direction == Direction::Send && f.name.isEmpty() && !m_job.files.isEmpty())
        f.name = QFileInfo(m_job.files.first()).fileName();
    m_shown = f;
    return f;
}

QStringList TransferRun::received() const
{
    return m_sink ? m_sink->kept() : m_zKept;
}

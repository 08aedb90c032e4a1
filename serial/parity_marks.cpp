#include "serial/parity_marks.h"

#ifdef Q_OS_UNIX
#include <termios.h>
#endif

namespace parity
{

bool setMarking(int fd, bool on)
{
#ifdef Q_OS_UNIX
    termios tio{};
    if (fd < 0 || ::tcgetattr(fd, &tio) != 0)
        return false;
    if (on) {
        tio.c_iflag |= INPCK | PARMRK;
        tio.c_iflag &= ~(IGNPAR | ISTRIP);
    } else {
        tio.c_iflag &= ~(INPCK | PARMRK);
        tio.c_iflag |= IGNPAR;
    }
    if (::tcsetattr(fd, TCSANOW, &tio) != 0 || ::tcgetattr(fd, &tio) != 0)
        return false;
    return (tio.c_iflag & PARMRK) && !(tio.c_iflag & ISTRIP);
#else
    (void)fd;
    (void)on;
    return false;
#endif
}

QByteArray MarkReader::take(QByteArrayView bytes)
{
    if (m_state == Plain && !bytes.contains('\xff'))
        return bytes.toByteArray();
    QByteArray out;
    out.reserve(bytes.size());
    for (const char b : bytes) {
        switch (m_state) {
        case Plain:
            if (b == '\xff')
                m_state = AfterFF;
            else
                out.append(b);
            break;
        case AfterFF:
            if (b == '\0') {
                m_state = AfterMark;
            } else {
                // FF FF is one real FF; anything else after FF is not a mark the
                // driver makes, so both bytes are kept as they came.
                out.append('\xff');
                if (b != '\xff')
                    out.append(b);
                m_state = Plain;
            }
            break;
        case AfterMark:
            out.append(kReplacement);
            m_state = Plain;
            break;
        }
    }
    return out;
}

} // namespace parity

#include "receive/receive_display.h"

#include "receive/hex_format.h"

#include <QTextCursor>

ReceiveDisplay::ReceiveDisplay(QWidget *parent) : QPlainTextEdit(parent)
{
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
}

void ReceiveDisplay::appendReceivedText(QStringView text)
{
    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    end.insertText(text.toString());
    moveCursor(QTextCursor::End);
}

void ReceiveDisplay::appendReceivedHex(QByteArrayView bytes)
{
    appendReceivedText(hexPairs(bytes));
}

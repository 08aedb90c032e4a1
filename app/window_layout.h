#pragma once

#include <QColor>
#include <QSize>

class QCheckBox;
class QComboBox;
class QFrame;
class QIcon;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QWidget;
class ReceiveDisplay;
class SettingsSelector;
class StatusLine;

// The window's controls, named as everywhere else in the program. The layout is
// absolute and fixed: positions and sizes come in twips (15 to a pixel at 96 dpi).
struct MainFormControls {
    QFrame *Frame1;
    QLabel *Label4, *Label5, *Label6, *Label7, *Label8;
    SettingsSelector *CboCom, *CboBaudrate, *CboParitybit, *CboDatabit, *CboStopbit;
    QLabel *ImgSwitchOn, *ImgSwitchOff;
    QPushButton *CmdSwitch;

    QPushButton *CmdClearReceive;
    QLabel *LblReceive;
    QPushButton *CmdStopdisp;
    QCheckBox *ChkAutoClear;
    QLabel *LblArtoclear;
    QCheckBox *ChkHexReceive;
    QLabel *Label10;
    QPushButton *CmdSaveDisp, *CmdAmend;
    QLineEdit *TxtSavePath;
    QLabel *LblNowTime, *LblNewDate;

    ReceiveDisplay *TxtReceive;

    QPushButton *CmdClearSend;
    QLabel *LblSend;
    QPlainTextEdit *TxtSend;
    QCheckBox *ChkHexSend;
    QLabel *Label11;
    QPushButton *CmdSend;
    QCheckBox *ChkAutoSend;
    QLabel *LblAutoSend, *LblArtoSendCyc;
    QLineEdit *TxtAutoSendTime;
    QLabel *Label14;
    QPushButton *CmdSelectFile;
    QLineEdit *TxtSendPath;
    QPushButton *CmdSendFile, *CmdQuit;

    StatusLine *TxtStatus;
    QLineEdit *TxtRXCount, *TxtTXCount;
    QPushButton *CmdClearCounter;
};

namespace layout
{
inline constexpr QSize kClientSize{506, 424};
inline const QColor kBackground{202, 202, 145};
int px(int twips);
} // namespace layout

// Writes a text box from the program: the box shows the text's start, as a
// freshly written text box does, even when the text is longer than the box.
void showText(QLineEdit *box, const QString &text);

// The window's icon in 16, 32 and 48 pixels.
QIcon windowIconPicture();

// Creates every control on form in its initial state, with its tab order.
void buildMainForm(QWidget *form, MainFormControls &c);

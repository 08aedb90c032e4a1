#pragma once

class QBoxLayout;
class QWidget;

// What the program's small windows (常用指令, 控制线) share with the 查找 window:
// Esc closes them, and a 关闭 button at the foot of layout does too.
void addCloseKeys(QWidget *window, QBoxLayout *layout);

#pragma once

#include <QtGlobal>

// What the receive box's own files share: how its text is placed and drawn.
namespace receive_box
{
constexpr int kMargin = 4; // space between the frame and the text

// How a character is drawn: control characters take no room, a tab shows as a space.
inline char16_t shown(char16_t c)
{
    if (c == u'\t')
        return u' ';
    if (c < 0x20 || c == 0x7f)
        return 0x200B;
    return c;
}
} // namespace receive_box

#pragma once

#include "receive/frame_clock.h"

#include <QRect>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <optional>

// A scroll bar that paints again only when it would look different: as data
// streams in, its range grows at every frame while the slider stays on the
// same pixels for many frames.
class QuietScrollBar : public QScrollBar
{
public:
    using QScrollBar::QScrollBar;

protected:
    // Several changes in a row (the range grows, then the value follows it) are
    // looked at once, when they are all made.
    void sliderChange(SliderChange change) override
    {
        if (change == SliderOrientationChange || !m_look) {
            m_look = appearance();
            QScrollBar::sliderChange(change);
            return;
        }
        if (m_checkPending)
            return;
        m_checkPending = true;
        FrameClock::instance().request(this, [this] {
            m_checkPending = false;
            const Look look = appearance();
            if (look != *m_look) {
                m_look = look;
                update();
            }
        });
    }

private:
    struct Look {
        QRect slider;
        bool atMinimum, atMaximum;
        bool operator==(const Look &) const = default;
    };
    Look appearance() const
    {
        QStyleOptionSlider opt;
        initStyleOption(&opt);
        return {
            style()->subControlRect(QStyle::CC_ScrollBar, &opt, QStyle::SC_ScrollBarSlider, this),
            value() == minimum(), value() == maximum()};
    }
    std::optional<Look> m_look;
    bool m_checkPending = false;
};

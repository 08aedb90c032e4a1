#pragma once

#include <QComboBox>

// One of the five settings selectors: an editable drop-down whose handler runs
// only when the user chooses an item, from the open list (mouse, or the keys
// there) or by stepping through the items with the arrow or page keys on the
// closed selector, as in the list itself. Typing into the field, Enter there,
// Tab and losing the focus choose nothing, the field does not complete what is
// typed, and the wheel over a closed selector leaves it alone, so that a
// passing scroll cannot re-open the port with other settings.
class SettingsSelector : public QComboBox
{
    Q_OBJECT

public:
    explicit SettingsSelector(QWidget *parent = nullptr);

signals:
    // An item was chosen; currentText() is its text.
    void itemChosen();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void hidePopup() override;

private:
    void onActivated();
    bool m_choosing = false;
};

#pragma once

#include <QComboBox>

// One of the five settings selectors: an editable drop-down whose handler runs
// only when the user chooses an item, from the open list (mouse, or the keys
// there) or by stepping through the items with the arrow or page keys on the
// closed selector, as in the list itself. Typing into the field, Enter there,
// Tab and losing the focus choose nothing, the field does not complete what is
// typed, and the wheel over a closed selector leaves it alone, so that a
// passing scroll cannot re-open the port with other settings.
// A box of fixed choices (a line ending, a checksum), read by screen readers
// as the settings selectors are: by its name, with its choice as the value.
class ChoiceBox : public QComboBox
{
    Q_OBJECT

public:
    ChoiceBox(const QString &name, QWidget *parent = nullptr);
};

class SettingsSelector : public QComboBox
{
    Q_OBJECT

public:
    explicit SettingsSelector(QWidget *parent = nullptr);

    // An item after the selector's own ones: its text and what a tooltip and
    // assistive technology tell about it.
    struct ExtraItem {
        QString text, details;
    };
    // Replaces the items after the first fixedCount; the text in the field
    // stays as it is.
    void setExtraItems(int fixedCount, const QList<ExtraItem> &items);

    void showPopup() override;

signals:
    // An item was chosen; currentText() is its text.
    void itemChosen();
    // The list is about to open: the moment to bring it up to date.
    void listAboutToShow();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void hidePopup() override;

private:
    void onActivated();
    bool m_choosing = false;
};

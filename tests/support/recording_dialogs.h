#pragma once

#include "app/dialogs.h"

#include <QList>

// Answers every question at once and remembers what was asked.
class RecordingDialogs : public Dialogs
{
public:
    struct Message {
        QString text;
        Icon icon;
        Buttons buttons;
    };
    QList<Message> messages;

    void message(const QString &text, Icon icon, Buttons buttons) override
    {
        messages.append({text, icon, buttons});
    }
};

#include "app/tool_window.h"

#include <QBoxLayout>
#include <QPushButton>
#include <QShortcut>
#include <QWidget>

void addCloseKeys(QWidget *window, QBoxLayout *layout)
{
    auto *esc = new QShortcut(QKeySequence(Qt::Key_Escape), window);
    esc->setContext(Qt::WindowShortcut);
    QObject::connect(esc, &QShortcut::activated, window, &QWidget::close);
    auto *close = new QPushButton(QStringLiteral("关闭"), window);
    close->setObjectName(QStringLiteral("CmdClose"));
    close->setAutoDefault(false);
    QObject::connect(close, &QPushButton::clicked, window, &QWidget::close);
    auto *row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(close);
    layout->addLayout(row);
}

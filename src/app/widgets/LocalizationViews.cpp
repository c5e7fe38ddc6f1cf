#include "LocalizationViews.h"

#include <QAbstractButton>
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPalette>
#include <QSet>

namespace {
void localizeOne(QWidget *w)
{
    if (auto *button = qobject_cast<QAbstractButton *>(w)) {
        const QString text = button->text();
        if (text.isEmpty())
            return;
        button->setText(Localization::tr(text));
        QPalette palette = button->palette();
        palette.setColor(QPalette::ButtonText, Qt::black);
        palette.setColor(QPalette::WindowText, Qt::black);
        button->setPalette(palette); // its font is left as it is; push buttons centre their titles
    } else if (auto *label = qobject_cast<QLabel *>(w)) {
        if (!label->text().isEmpty())
            label->setText(Localization::tr(label->text()));
    } else if (auto *edit = qobject_cast<QLineEdit *>(w)) {
        if (!edit->text().isEmpty())
            edit->setText(Localization::tr(edit->text()));
        if (!edit->placeholderText().isEmpty())
            edit->setPlaceholderText(Localization::tr(edit->placeholderText()));
    }
}

void localizeMenuOnce(QMenu *menu, QSet<QMenu *> &seen)
{
    if (!menu || seen.contains(menu))
        return;
    seen.insert(menu);
    if (!menu->title().isEmpty())
        menu->setTitle(Localization::tr(menu->title()));
    for (QAction *action : menu->actions()) {
        if (QMenu *sub = action->menu()) {
            localizeMenuOnce(sub, seen);
            action->setText(sub->title());
            continue;
        }
        if (!action->isSeparator() && !action->text().isEmpty())
            action->setText(Localization::tr(action->text()));
    }
}
} // namespace

void Localization::localizeView(QWidget *view)
{
    if (!view)
        return;
    localizeOne(view);
    for (QWidget *child : view->findChildren<QWidget *>())
        localizeOne(child);
}

void Localization::localizeMenu(QMenu *menu)
{
    QSet<QMenu *> seen;
    localizeMenuOnce(menu, seen);
}

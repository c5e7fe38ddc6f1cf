#include "windows/preferences/PaneLayout.h"

namespace PaneLayout {

namespace {
// Left out of its row only when hidden on purpose (a pane not yet shown hides nothing).
bool leftOut(const QWidget *control)
{
    return control->parentWidget() && !control->isVisibleTo(control->parentWidget());
}
} // namespace

int neededWidth(const QWidget *control)
{
    return qMax(control->minimumWidth(), control->sizeHint().width());
}

void span(QWidget *control, int paneWidth, int margin)
{
    control->setGeometry(margin, control->y(), qMax(0, paneWidth - 2 * margin), control->height());
}

void centre(QWidget *control, int paneWidth)
{
    control->move((paneWidth - control->width()) / 2, control->y());
}

int rowWidth(const QList<QWidget *> &row, int spacing)
{
    int total = 0;
    int shown = 0;
    for (const QWidget *control : row) {
        if (leftOut(control))
            continue;
        total += neededWidth(control);
        ++shown;
    }
    return total + qMax(0, shown - 1) * spacing;
}

void centreRow(const QList<QWidget *> &row, int paneWidth, int spacing)
{
    int x = (paneWidth - rowWidth(row, spacing)) / 2;
    for (QWidget *control : row) {
        if (leftOut(control))
            continue;
        const int width = neededWidth(control);
        control->setGeometry(x, control->y(), width, control->height());
        x += width + spacing;
    }
}

} // namespace PaneLayout

#include "windows/onboarding/WelcomeDropView.h"

#include "windows/onboarding/WelcomeWindowController.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>

WelcomeWindowControllerDropView::WelcomeWindowControllerDropView(QWidget *parent) : QLabel(parent)
{
    setAcceptDrops(true);
}

QStringList WelcomeWindowControllerDropView::acceptablePaths(const QMimeData *data)
{
    QStringList paths;
    if (!data || !data->hasUrls())
        return paths;
    bool anyExists = false;
    for (const QUrl &url : data->urls()) {
        if (!url.isLocalFile())
            continue;
        const QString path = url.toLocalFile();
        paths.append(path);
        anyExists = anyExists || QFileInfo::exists(path);
    }
    return anyExists ? paths : QStringList();
}

void WelcomeWindowControllerDropView::answerDrag(QDragMoveEvent *event)
{
    if (!acceptablePaths(event->mimeData()).isEmpty()) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void WelcomeWindowControllerDropView::dragEnterEvent(QDragEnterEvent *event)
{
    answerDrag(event);
}

void WelcomeWindowControllerDropView::dragMoveEvent(QDragMoveEvent *event)
{
    answerDrag(event);
}

void WelcomeWindowControllerDropView::takeDropsOn(QWidget *target)
{
    if (!target)
        return;
    target->setAcceptDrops(true);
    target->installEventFilter(this);
}

bool WelcomeWindowControllerDropView::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove:
        answerDrag(static_cast<QDragMoveEvent *>(event));
        return true;
    case QEvent::Drop:
        dropEvent(static_cast<QDropEvent *>(event));
        return true;
    default:
        return QLabel::eventFilter(watched, event);
    }
}

void WelcomeWindowControllerDropView::dropEvent(QDropEvent *event)
{
    const QStringList paths = acceptablePaths(event->mimeData());
    WelcomeWindowController *window = WelcomeWindowController::instance();
    if (paths.isEmpty() || !window) {
        event->ignore();
        return;
    }
    if (window->dropPaths(paths)) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

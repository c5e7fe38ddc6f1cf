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

void WelcomeWindowControllerDropView::dragEnterEvent(QDragEnterEvent *event)
{
    if (!acceptablePaths(event->mimeData()).isEmpty()) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void WelcomeWindowControllerDropView::dragMoveEvent(QDragMoveEvent *event)
{
    if (!acceptablePaths(event->mimeData()).isEmpty()) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
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

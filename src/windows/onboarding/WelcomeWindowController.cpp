#include "windows/onboarding/WelcomeWindowController.h"

#include "core/Settings.h"
#include "core/UiHooks.h"
#include "ui_WelcomeWindowController.h"

#include <QCloseEvent>

namespace {
QPointer<WelcomeWindowController> s_singleton;
bool s_reachedFoldersScreen = false;
const QString kWelcomeScreenComplete = QStringLiteral("WelcomeScreenComplete");
} // namespace

WelcomeWindowController::WelcomeWindowController(QWidget *parent)
    : QWidget(parent), ui(new Ui::WelcomeWindowController)
{
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    ui->loginWaitingView->hide();
}

WelcomeWindowController::~WelcomeWindowController() = default;

void WelcomeWindowController::display()
{
    if (s_singleton) {
        s_singleton->show();
        s_singleton->raise();
        s_singleton->activateWindow();
        return;
    }
    s_singleton = new WelcomeWindowController;
    s_singleton->show();
}

bool WelcomeWindowController::hasCompletedWelcomeScreen()
{
    return Settings::boolForKey(kWelcomeScreenComplete);
}

bool WelcomeWindowController::reachedImportFoldersScreen()
{
    return s_reachedFoldersScreen || hasCompletedWelcomeScreen();
}

WelcomeWindowController *WelcomeWindowController::instanceNoCreate()
{
    return s_singleton.data();
}

void WelcomeWindowController::installEngineHooks()
{
    UiHooks::instance().hasCompletedWelcomeScreen = [] { return hasCompletedWelcomeScreen(); };
    UiHooks::instance().reachedImportFoldersScreen = [] { return reachedImportFoldersScreen(); };
}

void WelcomeWindowController::closeEvent(QCloseEvent *event)
{
    s_singleton = nullptr;
    event->accept();
}

void WelcomeWindowController::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
}

bool WelcomeWindowController::dropPaths(const QStringList &paths)
{
    return false;
}

#include "app/menubar/TrayMenuController.h"

#include <QMenu>
#include <QWidget>

// First cut: the window and its view arrive with the popover view; until then the controller
// keeps its state so the menu-bar controller links and runs.
TrayMenuController::TrayMenuController(QObject *parent)
    : QObject(parent)
{
}

TrayMenuController::~TrayMenuController() = default;

void TrayMenuController::showRelativeTo(const QRect &) {}
void TrayMenuController::close() {}
bool TrayMenuController::isShown() const { return false; }
TrayMenuView *TrayMenuController::trayMenuView() const { return m_view; }
QWidget *TrayMenuController::popoverWindow() const { return nullptr; }
void TrayMenuController::viewDidLoad() {}
void TrayMenuController::viewWillAppear() {}
void TrayMenuController::viewWillDisappear() {}
void TrayMenuController::pausedStateUpdated() {}
void TrayMenuController::updateFilesToUpload() {}
void TrayMenuController::updateUserInfo() {}
void TrayMenuController::updateStatusText() {}
void TrayMenuController::updateRecentlyUploadedAnimated() {}
void TrayMenuController::updateContentsAnimated(bool) {}
void TrayMenuController::updateHeightAnimated(bool) {}
void TrayMenuController::avatarButtonHit(QWidget *) {}
void TrayMenuController::openCameraRollHit() {}
void TrayMenuController::openPhotostreamHit() {}
void TrayMenuController::openAlbumsHit() {}
void TrayMenuController::openMapHit() {}
void TrayMenuController::openRecentActivityHit() {}
void TrayMenuController::recentUploadsHit() {}
void TrayMenuController::statusPlayPauseButtonHit(QWidget *) {}
void TrayMenuController::statusConfigButtonHit(QWidget *) {}
void TrayMenuController::setExpandDelayForTesting(double) {}
void TrayMenuController::ensureView() {}
void TrayMenuController::popUpMenu(QMenu *, QWidget *, double) {}
void TrayMenuController::openWebPath(const QString &, const QString &, bool) {}
void TrayMenuController::handleWindowHidden() {}

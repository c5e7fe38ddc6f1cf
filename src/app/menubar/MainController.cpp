#include "app/menubar/MainController.h"

#include <QCoreApplication>
#include <QImage>
#include <QMenu>
#include <QUrl>

namespace {
MainController *g_instance = nullptr;
}

MainController::MainController(QObject *parent) : QObject(parent) {}
MainController::~MainController() { if (g_instance == this) g_instance = nullptr; }
MainController *MainController::instance()
{
    if (!g_instance)
        g_instance = new MainController(QCoreApplication::instance());
    return g_instance;
}
MainController *MainController::instanceNoCreate() { return g_instance; }
void MainController::startup() {}
void MainController::shutdown() { m_shutDown = true; }
void MainController::setAnimateTrayIcon(bool animate) { m_animateTrayIcon = animate; }
void MainController::setupTrayIcon() {}
void MainController::removeTrayIcon() {}
void MainController::updateStatusIcon() {}
void MainController::darkModeChanged() {}
void MainController::setStatusIconActive(bool active) { m_statusIconActive = active; }
double MainController::iconOpacity() const { return m_opacity; }
bool MainController::isFlashTimerRunning() const { return false; }
QImage MainController::renderedIcon(int) const { return {}; }
void MainController::mouseDown() {}
void MainController::showPopoverAnimated(bool) {}
void MainController::hidePopover() {}
void MainController::menuWillOpen() {}
void MainController::menuDidClose() {}
void MainController::pausedStateUpdated() {}
void MainController::updateStatus() {}
void MainController::refreshMenu() {}
bool MainController::runAtStartup() const { return true; }
void MainController::setRunAtStartup(bool) {}
void MainController::setupMenu() {}
void MainController::setupMenuTrayPopup() {}
void MainController::updateStatusInternal() {}
void MainController::pauseSync1h() {}
void MainController::pauseSync8h() {}
void MainController::pauseSync24h() {}
void MainController::pauseSync1wk() {}
void MainController::pauseSync100yrs() {}
void MainController::resumeSync() {}
void MainController::tryAgain() {}
void MainController::displayAbout() {}
void MainController::checkForUpdates() {}
void MainController::quitApp() {}
void MainController::logout() {}
void MainController::logoutAfterConfirming() {}
void MainController::openPreferences() {}
void MainController::openPreferencesAndUpload() {}
void MainController::openPreferencesAndAddFolder() {}
void MainController::openSignIn() {}
void MainController::openFAQ() {}
void MainController::openFeedback() {}
void MainController::openCustomerSupport() {}
void MainController::openBugTracker() {}
void MainController::openDebugLog() {}
QUrl MainController::bugReportMailUrl() { return {}; }
QUrl MainController::faqUrl() { return {}; }
QUrl MainController::customerSupportUrl() { return {}; }
QString MainController::supportMailAddress() { return {}; }
void MainController::setTrayBackendFactory(std::function<TrayIconBackend *()>) {}
void MainController::setClockForTesting(std::function<qint64()>) {}
void MainController::tickFlashForTesting() {}
void MainController::destroyForTesting() { delete g_instance; }
void MainController::deferredStartup() {}
void MainController::checkAuthorizationCompleted(const QString &, const QString &, const QString &, const QString &) {}
void MainController::pauseFor(qint64, const QString &) {}
void MainController::onFlashTick() {}
qint64 MainController::nowMs() const { return 0; }
bool MainController::isDarkPanel() { return false; }
QIcon MainController::iconNamed(const QString &) const { return {}; }

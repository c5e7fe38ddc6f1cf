#include "windows/onboarding/WelcomeWindowController.h"

#include "app/webview/SignInBrowser.h"
#include "app/widgets/ModalUi.h"
#include "app/widgets/ViewTags.h"
#include "core/Localization.h"
#include "core/Dispatch.h"
#include "core/LGLog.h"
#include "core/NotificationCenter.h"
#include "core/Settings.h"
#include "core/UiHooks.h"
#include "platform/StandardPaths.h"
#include "windows/onboarding/WelcomeInternals.h"
#include "windows/onboarding/WelcomeServices.h"

#include "ui_WelcomeWindowController.h"
#include "ui_WelcomeWindowController_1_Option.h"
#include "ui_WelcomeWindowController_4_Options.h"
#include "ui_WelcomeWindowController_Folder.h"
#include "ui_WelcomeWindowController_Intro.h"
#include "ui_WelcomeWindowController_OAuth.h"
#include "ui_WelcomeWindowController_SetupComplete.h"
#include "ui_WelcomeWindowController_Welcome2.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QParallelAnimationGroup>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QWindow>
#include <QThread>
#include <QTimer>
#include <cmath>

namespace {
QPointer<WelcomeWindowController> s_singleton;
bool s_reachedFoldersScreen = false;
bool s_summaryPlaceholderShrunk = false;

constexpr const char *kDesignWidth = "designWidth";
constexpr const char *kDesignGeometry = "designGeometry";
constexpr int kSlideMs = 400;
constexpr int kOverlayFadeMs = 400;
const int kOptionTags[] = {2110, 2111, 2112, 2113, 2114};
} // namespace

using namespace WelcomeText;

static void initOnboardingResources();

// ---------------------------------------------------------------------------------------------
// Entry points

WelcomeWindowController::WelcomeWindowController(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::WindowStaysOnTopHint), ui(new Ui::WelcomeWindowController)
{
    initOnboardingResources();
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    ui->loginWaitingView->setAttribute(Qt::WA_StyledBackground);
    ui->loginWaitingView->hide();

    WelcomeServices *services = WelcomeServices::instance();
    if (services->isAuthorized()) {
        // The account's avatar shows on the done screen; it is filled in when the answer comes.
        QPointer<WelcomeWindowController> self(this);
        services->updateUserInfo([self] {
            if (self && self->m_currentView == self->m_screens[SetupComplete])
                self->screenWillAppear(self->m_currentView);
        });
    }
    loadScreens();
    localizeViews();
    dispatch_default_queue_async([] { checkForAlphaEnvironmentAvailable(); });
    NotificationCenter::observe(Notifications::LoginTokenReady, this, [this](const QVariant &object) {
        // Posted on the main thread by the URL-event handler; hop there anyway so a stray post
        // from another thread never touches the window off the GUI thread.
        const QUrl url = object.toUrl().isValid() ? object.toUrl() : QUrl(object.toString());
        QPointer<WelcomeWindowController> self(this);
        dispatch_main_async([self, url] {
            if (self)
                self->loginDidCompleteWithURL(url);
        });
    });
}

WelcomeWindowController::~WelcomeWindowController()
{
    if (s_singleton == this)
        s_singleton = nullptr;
    // A page answers its pending scripts as it is destroyed: do that now, while this window is
    // whole, and with a new load number so every such late answer is dropped.
    ++m_loadCounter;
    attachSignInPage(false);
    delete m_page;
    m_page = nullptr;
    // The embedded list outlives this body (it is a child widget) and may still report a
    // selection change while its model is torn down; by then there is no window to tell.
    if (m_sourcesViewController)
        m_sourcesViewController->setDelegate(nullptr);
    delete m_sourcesViewController.data();
}

void WelcomeWindowController::display()
{
    if (s_singleton) {
        QPointer<WelcomeWindowController> window = s_singleton;
        QTimer::singleShot(0, window, [window] {
            QApplication::setActiveWindow(window);
            QTimer::singleShot(0, window, [window] {
                // Showing alone leaves a minimised window where it is.
                window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
                window->show();
                window->raise();
                window->activateWindow();
            });
        });
        return;
    }
    LGLogInfo(QStringLiteral("WELCOME: Showing the onboarding window"));
    auto *window = new WelcomeWindowController;
    s_singleton = window;
    window->windowDidLoad();
    window->show();
    window->raise();
    window->activateWindow();
    LGLogInfo(QStringLiteral("WELCOME: The onboarding window shows %1")
                  .arg(window->m_currentView ? window->m_currentView->objectName() : QString()));
    if (!Settings::boolForKey(QStringLiteral("AppEverReset"))) {
        WelcomeServices *services = WelcomeServices::instance();
        services->trackOnceEver(QStringLiteral("Welcome: Welcome screen displayed"), 3);
        services->increment(QStringLiteral("Welcome: Welcome screen displayed"));
    }
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

void WelcomeWindowController::forceClose()
{
    if (!s_singleton)
        return;
    // Closing through here must neither quit nor touch the completion setting: a flag of the
    // window tells windowWillClose to hide the Dock icon as after a finished onboarding.
    s_singleton->m_closeWithoutQuitting = true;
    s_singleton->close();
}

void WelcomeWindowController::stopKeepingOnTop()
{
    WelcomeWindowController *window = s_singleton;
    if (!window || !(window->windowFlags() & Qt::WindowStaysOnTopHint))
        return;
    const bool visible = window->isVisible();
    window->setWindowFlag(Qt::WindowStaysOnTopHint, false);
    if (visible)
        window->show();
}

void WelcomeWindowController::markWelcomeScreenDidComplete()
{
    Settings::setBool(true, kWelcomeScreenComplete);
    WelcomeServices *services = WelcomeServices::instance();
    services->runScanLoop();
    services->runMetaSyncer();
}

void WelcomeWindowController::fixWhiteButtonTextColor(QAbstractButton *button)
{
    if (!button)
        return;
    WelcomeStyle::setTitleColors(button, QColor(88, 88, 88), QColor(255, 255, 255));
}

// ---------------------------------------------------------------------------------------------
// Construction

static void initOnboardingResources()
{
    // The images live in the user-interface library, which is static.
    Q_INIT_RESOURCE(onboarding);
}

namespace {
template<typename UiClass>
QWidget *loadScreen(QWidget *owner)
{
    auto *view = new QWidget(owner);
    UiClass form;
    form.setupUi(view);
    view->hide();
    return view;
}
} // namespace

void WelcomeWindowController::loadScreens()
{
    m_screens[Welcome] = loadScreen<Ui::WelcomeWindowController_Welcome2>(this);
    m_screens[Login] = loadScreen<Ui::WelcomeWindowController_OAuth>(this);
    m_screens[Intro] = loadScreen<Ui::WelcomeWindowController_Intro>(this);
    // One layout, three independent screens.
    m_screens[ImportIPhoto] = loadScreen<Ui::WelcomeWindowController_1_Option>(this);
    m_screens[ImportDropbox] = loadScreen<Ui::WelcomeWindowController_1_Option>(this);
    m_screens[ImportIMessage] = loadScreen<Ui::WelcomeWindowController_1_Option>(this);
    m_screens[ImportPictures] = loadScreen<Ui::WelcomeWindowController_4_Options>(this);
    m_screens[ImportFolder] = loadScreen<Ui::WelcomeWindowController_Folder>(this);
    m_screens[SetupComplete] = loadScreen<Ui::WelcomeWindowController_SetupComplete>(this);
    static const char *names[ScreenCount] = {"welcomeView", "oAuthView", "introView", "importIPhotoView",
                                             "importIMessageView", "importDropboxView", "importPicturesView",
                                             "importFolderView", "setupCompleteView"};
    for (int i = 0; i < ScreenCount; ++i) {
        m_screens[i]->setObjectName(QString::fromLatin1(names[i]));
        // Where the interface file put everything: the fitting after the window's size is
        // known starts again from there.
        m_screens[i]->setProperty(kDesignWidth, m_screens[i]->width());
        for (QWidget *child : m_screens[i]->findChildren<QWidget *>())
            child->setProperty(kDesignGeometry, child->geometry());
    }
    connectScreenButtons();
}

void WelcomeWindowController::connectScreenButtons()
{
    auto hook = [](QWidget *screen, const char *name, auto slot) {
        if (!screen)
            return;
        if (auto *button = screen->findChild<QAbstractButton *>(QString::fromLatin1(name)))
            QObject::connect(button, &QAbstractButton::clicked, screen, slot);
    };
    hook(m_screens[Welcome], "signInButton", [this] { loginButtonHitWithMode(LoginNormal); });
    hook(m_screens[Welcome], "signUpButton", [this] { loginButtonHitWithMode(LoginNewAccount); });
    hook(m_screens[Welcome], "facebookButton", [this] { loginButtonHitWithMode(LoginFacebook); });
    hook(m_screens[Welcome], "googleButton", [this] { loginButtonHitWithMode(LoginGoogle); });
    hook(m_screens[Login], "loginCancelButton", [this] { advanceToScreen(m_screens[Welcome], true, true); });
    hook(m_screens[Intro], "nextButton", [this] { importYesButtonHit(); });
    for (Screen s : {ImportIPhoto, ImportIMessage, ImportDropbox, ImportPictures, ImportFolder}) {
        hook(m_screens[s], "yesButton", [this] { importYesButtonHit(); });
        hook(m_screens[s], "importFoldersButton", [this] { importYesButtonHit(); });
        hook(m_screens[s], "skipButton", [this] { importNoButtonHit_Skip(); });
        hook(m_screens[s], "backButton", [this] { importNoButtonHit_Back(); });
    }
    hook(m_screens[ImportFolder], "addFolderButton", [this] { importAddFolderButtonHit(); });
    hook(m_screens[ImportFolder], "removeFolderButton", [this] { importRemoveFolderButtonHit(); });
    hook(m_screens[SetupComplete], "doneButton", [this] { completeSetupButtonHit(); });
}

void WelcomeWindowController::windowDidLoad()
{
    WelcomeServices *services = WelcomeServices::instance();
    if (services->isLocalized()) {
        // Translations run longer: widen the window by 28 points around its centre.
        setMinimumWidth(minimumWidth() + 28);
        setMaximumWidth(maximumWidth() + 28);
        setGeometry(geometry().adjusted(-14, 0, 14, 0));
    }
    // The screens take their size from the container, which keeps the window's design size;
    // the window itself fits the screen's work area and scrolls what it cannot show.
    m_designSize = size();
    ui->containerView->setGeometry(rect());
    m_scroller = new QScrollArea(this);
    m_scroller->setObjectName(QStringLiteral("contentScrollArea"));
    m_scroller->setFrameShape(QFrame::NoFrame);
    m_scroller->setWidgetResizable(false);
    m_scroller->setWidget(ui->containerView);
    // The window's white shows through, as it did behind the screens before.
    m_scroller->viewport()->setAutoFillBackground(false);
    ui->containerView->setAutoFillBackground(false);
    m_scroller->lower();
    fitToScreen();
    ui->loginWaitingView->setStyleSheet(QStringLiteral("#loginWaitingView { background: rgba(0, 0, 0, 168); }"));
    auto *fade = new QGraphicsOpacityEffect(ui->loginWaitingView);
    fade->setOpacity(0.0);
    ui->loginWaitingView->setGraphicsEffect(fade);
    ui->loginWaitingView->setParent(nullptr);
    ui->loginWaitingView->setParent(this);
    ui->loginWaitingView->hide();
    ui->loginWaitingSpinner->setColor(Qt::white);
    ui->loginWaitingSpinner->setUsesThreadedAnimation(false);

    if (auto *background = m_screens[Login]->findChild<QWidget *>(QStringLiteral("oAuthBackground")))
        background->setStyleSheet(QStringLiteral("#oAuthBackground { background: rgb(245, 245, 249); }"));
    // The user agent is applied when the web view is made (the first time sign-in needs it).

    if (auto *table = m_screens[ImportFolder]->findChild<QWidget *>(QStringLiteral("importFoldersTableView"))) {
        if (table->parentWidget() && table->parentWidget()->parentWidget())
            table->parentWidget()->parentWidget()->hide();
    }

    // Photos wins over iPhoto when its library exists and the older libraries are absent or
    // were migrated into it.
    const QString iPhoto = services->iPhotoDirectory();
    const QString aperture = services->apertureDirectory();
    const QString photos = services->osxPhotosDirectory();
    m_usingOSXPhotos = !photos.isEmpty() && QFileInfo::exists(photos)
        && ((iPhoto.isEmpty() && aperture.isEmpty()) || iPhoto.toLower().contains(QLatin1String(".migrated"))
            || aperture.toLower().contains(QLatin1String(".migrated")));

    if (!hasCompletedWelcomeScreen()) {
        services->setTrackingCurrentScan(true);
        QTimer::singleShot(3000, this, [this] { refreshSourcesView(); });
    }

    for (Screen s : {Welcome, Login, Intro, ImportIPhoto, ImportIMessage, ImportDropbox, ImportPictures,
                     ImportFolder, SetupComplete})
        setupView(m_screens[s]);
    for (QWidget *screen : m_screens)
        fitScreenToWidth(screen, ui->containerView->width());
    m_currentView = nullptr;
    setupFolderPicker();
    advanceImportScreen();
}

void WelcomeWindowController::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    if (m_scroller)
        m_scroller->setGeometry(rect());
}

void WelcomeWindowController::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // The window manager tells the frame's size once it has framed the window.
    QPointer<WelcomeWindowController> self(this);
    QTimer::singleShot(0, this, [self] {
        if (self && self->windowHandle() && self->windowHandle()->frameMargins() != self->m_fitMargins)
            self->fitToScreen();
    });
}

// A window larger than the screen's work area (a small screen at scale 2) is shown as large as
// the work area allows, frame included, and the screens scroll inside it, so that every button
// can be reached by scrolling or by the keyboard; a larger screen shows it whole.
void WelcomeWindowController::fitToScreen()
{
    QScreen *onScreen = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!onScreen || !m_scroller)
        return;
    const QRect available = onScreen->availableGeometry();
    // Until the window manager has framed the window, a title bar's worth is a fair guess.
    const bool framed = windowHandle() && isVisible();
    m_fitMargins = framed ? windowHandle()->frameMargins() : QMargins(2, 30, 2, 2);
    const QSize room(qMax(1, available.width() - m_fitMargins.left() - m_fitMargins.right()),
                     qMax(1, available.height() - m_fitMargins.top() - m_fitMargins.bottom()));
    QSize shown = m_designSize.boundedTo(room);
    // A scroll bar takes room across the other edge.
    const int bar = m_scroller->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, m_scroller);
    if (shown.height() < m_designSize.height())
        shown.setWidth(qMin(room.width(), shown.width() + bar));
    if (shown.width() < m_designSize.width())
        shown.setHeight(qMin(room.height(), shown.height() + bar));
    shown = shown.boundedTo(m_designSize + QSize(bar, bar));
    setMinimumSize(0, 0);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    setFixedSize(shown);
    const QSize frame(shown.width() + m_fitMargins.left() + m_fitMargins.right(),
                      shown.height() + m_fitMargins.top() + m_fitMargins.bottom());
    QPoint topLeft = framed ? pos() : QPoint(available.x() + (available.width() - frame.width()) / 2,
                                             available.y() + (available.height() - frame.height()) / 2);
    topLeft.setX(qMax(available.left(), qMin(topLeft.x(), available.x() + available.width() - frame.width())));
    topLeft.setY(qMax(available.top(), qMin(topLeft.y(), available.y() + available.height() - frame.height())));
    move(topLeft);
}

// ---------------------------------------------------------------------------------------------
// Closing

void WelcomeWindowController::closeEvent(QCloseEvent *event)
{
    if (m_closeWithoutQuitting || m_quitConfirmed || hasCompletedWelcomeScreen()) {
        event->accept();
        windowWillClose();
        return;
    }
    event->ignore();
    if (m_quitAlertShowing)
        return;
    m_quitAlertShowing = true;
    WelcomeServices *services = WelcomeServices::instance();
    AlertRequest request;
    request.title = services->localized(QStringLiteral("Quit Lumora Hoistly Setup?"));
    request.message = services->localized(QStringLiteral("You'll need to re-open Lumora Hoistly later to restart setup."));
    request.buttons = {services->localized(QStringLiteral("Quit Setup")), services->localized(QStringLiteral("Back"))};
    request.sheetParent = this;
    QPointer<WelcomeWindowController> self(this);
    Alerts::show(request, [self](AlertResult result) {
        if (!self)
            return;
        self->m_quitAlertShowing = false;
        if (result.button != 0)
            return;
        WelcomeServices *services = WelcomeServices::instance();
        services->trackOnceEver(QStringLiteral("Misc: Exited Setup"), 3);
        services->flushAnalytics();
        // Gives the beacon's queue a moment before the process goes.
        QThread::msleep(100);
        self->m_quitConfirmed = true;
        // The answer may come while the first close is still being handled.
        QTimer::singleShot(0, self, [self] { self->close(); });
    });
}

void WelcomeWindowController::windowWillClose()
{
    QObject::disconnect(NotificationCenter::defaultCenter(), nullptr, this, nullptr);
    attachSignInPage(false);
    if (s_singleton == this)
        s_singleton = nullptr;
    WelcomeServices *services = WelcomeServices::instance();
    if (hasCompletedWelcomeScreen() || m_closeWithoutQuitting)
        services->setHideDockIcon(true);
    else
        services->quitAppNoConfirm();
}

// ---------------------------------------------------------------------------------------------
// Texts and layout

namespace {
void setLetterSpacing(QWidget *widget, double spacing)
{
    if (!widget)
        return;
    QFont font = widget->font();
    font.setLetterSpacing(QFont::AbsoluteSpacing, spacing);
    widget->setFont(font);
}

void setTextOf(QWidget *widget, const QString &text)
{
    if (auto *label = qobject_cast<QLabel *>(widget))
        label->setText(text);
    else if (auto *button = qobject_cast<QAbstractButton *>(widget))
        button->setText(text);
}

void moveAndWiden(QWidget *widget, int dx, int dw)
{
    if (widget)
        widget->setGeometry(widget->geometry().adjusted(dx, 0, dx + dw, 0));
}

// Translates every label and button title of a view in place.
void localizeView(QWidget *view, WelcomeServices *services)
{
    if (!view)
        return;
    for (QLabel *label : view->findChildren<QLabel *>())
        if (!label->text().isEmpty())
            label->setText(services->localized(label->text()));
    for (QAbstractButton *button : view->findChildren<QAbstractButton *>())
        if (!button->text().isEmpty())
            button->setText(services->localized(button->text()));
}

} // namespace

QString WelcomeStyle::titleStyle(const QColor &title, const QColor &alternate)
{
    QString css = QStringLiteral("QAbstractButton { color: %1; }").arg(title.name());
    if (alternate.isValid())
        css += QStringLiteral(" QAbstractButton:pressed, QAbstractButton:checked { color: %1; }").arg(alternate.name());
    return css;
}

void WelcomeStyle::setTitleColors(QAbstractButton *button, const QColor &title, const QColor &alternate)
{
    if (!button)
        return;
    QString css = button->styleSheet();
    static const QRegularExpression previous(QStringLiteral("/\\*title\\*/.*$"),
                                             QRegularExpression::DotMatchesEverythingOption);
    css.remove(previous);
    button->setStyleSheet(css + QStringLiteral(" /*title*/ ") + titleStyle(title, alternate));
    button->setProperty("titleColor", title);
    button->setProperty("alternateTitleColor", alternate);
}

void WelcomeWindowController::localizeViews()
{
    WelcomeServices *services = WelcomeServices::instance();
    if (!services->isLocalized())
        return;
    for (Screen s : {Welcome, Login, Intro, ImportIPhoto, ImportIMessage, ImportDropbox, ImportPictures,
                     ImportFolder, SetupComplete})
        localizeView(m_screens[s], services);
    moveAndWiden(findViewWithTag<QWidget>(m_screens[Welcome], 7000), -60, 80);
    moveAndWiden(findViewWithTag<QWidget>(m_screens[Welcome], 7004), 20, 40);
    moveAndWiden(findViewWithTag<QWidget>(m_screens[Login], 7000), -40, 80);
    for (Screen s : {Intro, ImportIPhoto, ImportIMessage, ImportDropbox, ImportPictures, ImportFolder, SetupComplete}) {
        moveAndWiden(findViewWithTag<QWidget>(m_screens[s], 7001), -30, 30);
        moveAndWiden(findViewWithTag<QWidget>(m_screens[s], 7000), -60, 30);
    }
}

void WelcomeWindowController::setupView(QWidget *screen)
{
    if (!screen)
        return;
    WelcomeServices *services = WelcomeServices::instance();
    const bool localized = services->isLocalized();
    const Screen which = screenOf(screen);

    QWidget *heading = findViewWithTag<QWidget>(screen, 9923);
    QWidget *description = findViewWithTag<QWidget>(screen, 6625);
    QCheckBox *options[5];
    for (int i = 0; i < 5; ++i) {
        options[i] = findViewWithTag<QCheckBox>(screen, kOptionTags[i]);
        if (options[i])
            options[i]->setChecked(false);
    }
    if (QWidget *link = findViewWithTag<QWidget>(screen, 83828))
        link->setCursor(Qt::PointingHandCursor);

    auto L = [services](const QString &s) { return services->localized(s); };
    auto folderTitle = [&](const QString &english) {
        return localized ? L(english + QStringLiteral(" folder")) : english;
    };
    auto libraryTitle = [&](const QString &phrase, const QString &older) {
        const QString translated = services->translationOf(phrase);
        return Localization::useOldTranslatedPhrase(L(older), phrase, translated, localized);
    };
    auto setOption = [&](int index, const QString &title) {
        if (options[index])
            options[index]->setText(title);
    };

    switch (which) {
    case ImportPictures:
        setTextOf(heading, L(QStringLiteral("Upload my folders")));
        setTextOf(description, Localization::removeNewlinesIfLocalized(L(kFoldersDescription), localized));
        setOption(0, folderTitle(QStringLiteral("Pictures")));
        setOption(1, folderTitle(QStringLiteral("Desktop")));
        setOption(2, folderTitle(QStringLiteral("Downloads")));
        setOption(3, folderTitle(QStringLiteral("Documents")));
        setOption(4, folderTitle(QStringLiteral("Dropbox")));
        if (auto *icon = findViewWithTag<QLabel>(screen, 833))
            icon->setPixmap(QIcon(QStringLiteral(":/onboarding/WelcomeIconPicturesFolder.svg")).pixmap(icon->size()));
        break;
    case ImportIPhoto:
        if (m_usingOSXPhotos) {
            setTextOf(heading, L(QStringLiteral("Upload from \"Photos\"")));
            // This line break stays in every language.
            setTextOf(description, L(kPhotosDescription));
            setOption(0, libraryTitle(QStringLiteral("Upload Photos library"), QStringLiteral("Upload my Photos library")));
            if (options[1])
                options[1]->hide(); // the Photos form has one option only
        } else {
            setTextOf(heading, L(QStringLiteral("Upload from iPhoto")));
            setTextOf(description, Localization::removeNewlinesIfLocalized(L(kIPhotoDescription), localized));
            setOption(0, libraryTitle(QStringLiteral("Upload iPhoto library"), QStringLiteral("Upload my iPhoto library")));
            setOption(1, L(QStringLiteral("Recreate my iPhoto albums on Lumora")));
        }
        if (auto *icon = findViewWithTag<QLabel>(screen, 833))
            icon->setPixmap(QIcon(QStringLiteral(":/onboarding/WelcomeIconIPhoto.svg")).pixmap(icon->size()));
        break;
    case ImportIMessage:
        setTextOf(heading, L(QStringLiteral("Upload photos from my Messages")));
        setTextOf(description, Localization::removeNewlinesIfLocalized(L(kMessagesDescription), localized));
        setOption(0, L(QStringLiteral("Upload photos from my Messages")));
        if (options[1])
            options[1]->hide();
        if (auto *icon = findViewWithTag<QLabel>(screen, 833))
            icon->setPixmap(QIcon(QStringLiteral(":/onboarding/WelcomeIconPicturesFolder.svg")).pixmap(icon->size()));
        break;
    case ImportDropbox:
        setTextOf(heading, L(QStringLiteral("Upload my Dropbox folder")));
        setTextOf(description, Localization::removeNewlinesIfLocalized(L(kDropboxDescription), localized));
        setOption(0, L(QStringLiteral("Upload my Dropbox folder")));
        setOption(1, L(QStringLiteral("Create albums from all my folders")));
        break;
    case ImportFolder:
        setTextOf(heading, L(QStringLiteral("Ready to go!")));
        setTextOf(description, Localization::removeNewlinesIfLocalized(
                                   localized ? L(kSummaryDescriptionOld) : kSummaryDescription, localized));
        break;
    default:
        break;
    }

    if (localized) {
        if (which == ImportFolder && !s_summaryPlaceholderShrunk) {
            s_summaryPlaceholderShrunk = true;
            if (auto *placeholder = screen->findChild<QWidget *>(QStringLiteral("folderPickerPlaceholder"))) {
                QRect frame = placeholder->geometry();
                frame.setHeight(frame.height() - 15);
                placeholder->setGeometry(frame);
            }
        }
        if (QWidget *hidden = findViewWithTag<QWidget>(screen, 99001))
            hidden->hide();
    }

    if (which == ImportPictures) {
        for (QCheckBox *option : options)
            setLetterSpacing(option, -0.25);
        // Runs after the whole preparation, when the screen already has the container's width.
        QPointer<QWidget> target(screen);
        QTimer::singleShot(0, this, [this, target] {
            if (target)
                layoutOptionsTwoColumns(target);
        });
    } else {
        layoutOptionsOneColumn(screen);
    }

    if (localized && heading) {
        QFont font = heading->font();
        font.setPixelSize(21);
        heading->setFont(font);
        heading->setStyleSheet(heading->styleSheet() + QStringLiteral(" font-size: 21px;"));
    }
    for (QCheckBox *option : options)
        if (option)
            option->setStyleSheet(option->styleSheet() + QStringLiteral(" QCheckBox { color: #000000; }"));
    if (auto *label = qobject_cast<QLabel *>(description)) {
        label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        label->setWordWrap(true);
    }
    if (auto *label = findViewWithTag<QLabel>(screen, 5232)) {
        // A roomier line height for the multi-line text.
        const QString text = label->text();
        label->setTextFormat(Qt::RichText);
        label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        label->setText(QStringLiteral("<div style=\"line-height: 140%;\" align=\"center\">%1</div>")
                           .arg(text.toHtmlEscaped().replace(QLatin1Char('\n'), QStringLiteral("<br>"))));
        label->setProperty("plainText", text);
    }

    if (auto *button = findViewWithTag<QAbstractButton>(screen, 7000)) {
        if (which == Intro || which == SetupComplete)
            WelcomeStyle::setTitleColors(button, QColor(120, 120, 120));
        else
            WelcomeStyle::setTitleColors(button, QColor(115, 123, 128), QColor(255, 255, 255));
    }
    for (int tag : {7001, 7002, 7003})
        if (auto *button = findViewWithTag<QAbstractButton>(screen, tag))
            WelcomeStyle::setTitleColors(button, QColor(255, 255, 255));

    for (int tag : {9922, 9923, 6625, 6626, 6627})
        for (QWidget *widget : screen->findChildren<QWidget *>())
            if (viewTag(widget) == tag)
                setLetterSpacing(widget, -0.25);
    for (QCheckBox *option : options)
        setLetterSpacing(option, -0.25);
    if (which == Welcome)
        setLetterSpacing(findViewWithTag<QWidget>(screen, 3220), 2.5);

    screen->setContextMenuPolicy(Qt::PreventContextMenu);

    // The privacy note ("All photos kept private") has a colour of its own.
    if (auto *privacy = screen->findChild<QLabel *>(QStringLiteral("privateNote")))
        privacy->setStyleSheet(privacy->styleSheet() + QStringLiteral(" color: rgb(102, 131, 148);"));

    if (auto *picture = findViewWithTag<QLabel>(screen, 4332)) {
        QString folder;
        if (which == ImportIPhoto) {
            const QString library = services->iPhotoDirectory();
            if (!library.isEmpty())
                folder = QFileInfo(library).absolutePath();
        } else if (which == ImportPictures) {
            folder = services->picturesDirectory();
        }
        if (!folder.isEmpty() && QFileInfo::exists(folder)) {
            QFileIconProvider provider;
            picture->setPixmap(provider.icon(QFileInfo(folder)).pixmap(128, 128));
        }
    }
    if (which == Welcome) {
        if (QWidget *panel = findViewWithTag<QWidget>(screen, 2228)) {
            const bool translucent = NSDevice::osxVersionMajor() > 10
                || (NSDevice::osxVersionMajor() == 10 && NSDevice::osxVersionMinor() >= 10);
            if (translucent)
                panel->setStyleSheet(QStringLiteral("#%1 { background: rgba(242, 242, 242, 168); border-radius: 8px; }")
                                         .arg(panel->objectName()));
            else
                panel->hide();
        }
    }

    const QRect bounds = ui->containerView->rect();
    screen->setGeometry(bounds.translated(-bounds.width(), 0));
}

namespace {
// Controls never come closer than this to the window's edges, nor to each other in a row.
constexpr int kEdgeMargin = 12;
constexpr int kRowGap = 8;

QRect designGeometry(const QWidget *widget)
{
    return widget->property(kDesignGeometry).toRect();
}

bool centredIn(const QRect &rect, int width)
{
    return std::abs((rect.left() + rect.right() + 1) - width) <= 2;
}

QRect unite(const QList<QWidget *> &widgets, bool design)
{
    QRect out;
    for (QWidget *w : widgets)
        out = out.united(design ? designGeometry(w) : w->geometry());
    return out;
}

void shiftBy(QWidget *widget, int dx)
{
    widget->move(widget->x() + dx, widget->y());
}

// Backgrounds as wide as the screen in the interface file stay as wide as the screen.
void stretchFullWidth(QWidget *parent, int designWidth, int width)
{
    for (QWidget *child : parent->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        const QRect design = designGeometry(child);
        if (design.isValid() && design.x() == 0 && design.width() == designWidth) {
            child->setGeometry(0, child->y(), width, child->height());
            stretchFullWidth(child, designWidth, width);
        }
    }
}
} // namespace

// The interface files are drawn for the English texts at their own width. Once the window's
// width is known and the translated texts are in, every control is put back on screen: buttons
// wide enough for their titles, what was centred (alone or as a row) centred again, what hugged
// an edge moved with the rest, and nothing outside the window or over its neighbour.
void WelcomeWindowController::fitScreenToWidth(QWidget *screen, int width)
{
    const int designWidth = screen->property(kDesignWidth).toInt();
    if (!screen || designWidth <= 0 || width <= 0)
        return;
    stretchFullWidth(screen, designWidth, width);

    // Rows: controls whose design frames share a vertical centre.
    QList<QList<QWidget *>> rows;
    for (QWidget *child : screen->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        const QRect design = designGeometry(child);
        if (!design.isValid() || (design.x() == 0 && design.width() == designWidth))
            continue;
        bool placed = false;
        for (QList<QWidget *> &row : rows) {
            if (std::abs(designGeometry(row.first()).center().y() - design.center().y()) <= 2) {
                row << child;
                placed = true;
                break;
            }
        }
        if (!placed)
            rows << QList<QWidget *>{child};
    }

    for (QList<QWidget *> &row : rows) {
        std::sort(row.begin(), row.end(), [](QWidget *a, QWidget *b) { return designGeometry(a).x() < designGeometry(b).x(); });
        const QRect designRow = unite(row, true);
        const int designCentre = designRow.center().x();

        // Titles are never cut: a button grows away from the row's centre.
        for (QWidget *w : row) {
            auto *button = qobject_cast<QPushButton *>(w);
            if (!button)
                continue;
            const int missing = button->sizeHint().width() - button->width();
            if (missing <= 0)
                continue;
            const QRect design = designGeometry(w);
            const int grow = row.size() == 1 || centredIn(design, designWidth) ? missing / 2
                : design.center().x() < designCentre                          ? missing
                                                                               : 0;
            button->setGeometry(button->x() - grow, button->y(), button->width() + missing, button->height());
        }

        // The design as a whole moves to the window's middle, so what lined up with a centred
        // list (its add button, say) still does.
        const QRect now = unite(row, false);
        const int widening = (width - designWidth) / 2;
        int dx;
        if (centredIn(designRow, designWidth))
            dx = (width - now.width()) / 2 - now.x();
        else if (designRow.center().x() < designWidth / 2)
            dx = designRow.x() + widening - now.x();
        else
            dx = designRow.x() + designRow.width() + widening - (now.x() + now.width());
        for (QWidget *w : row)
            shiftBy(w, dx);

        // A control centred on its own stays centred; its neighbours make room.
        for (int i = 0; row.size() > 1 && i < row.size(); ++i) {
            QWidget *w = row[i];
            if (!centredIn(designGeometry(w), designWidth))
                continue;
            w->move((width - w->width()) / 2, w->y());
            for (int j = i - 1; j >= 0; --j) {
                const int limit = row[j + 1]->x() - kRowGap;
                if (row[j]->geometry().right() + 1 > limit)
                    row[j]->move(limit - row[j]->width(), row[j]->y());
            }
            for (int j = i + 1; j < row.size(); ++j) {
                const int limit = row[j - 1]->geometry().right() + 1 + kRowGap;
                if (row[j]->x() < limit)
                    row[j]->move(limit, row[j]->y());
            }
        }

        // Nothing leaves the window; what no longer fits gives up width.
        for (QWidget *w : row) {
            const QRect design = designGeometry(w);
            const int leftLimit = qMin(kEdgeMargin, qMax(0, design.x()));
            const int rightLimit = width - qMin(kEdgeMargin, qMax(0, designWidth - design.x() - design.width()));
            QRect frame = w->geometry();
            if (frame.width() > rightLimit - leftLimit)
                frame = QRect(leftLimit, frame.y(), rightLimit - leftLimit, frame.height());
            else if (frame.x() < leftLimit)
                frame.moveLeft(leftLimit);
            else if (frame.x() + frame.width() > rightLimit)
                frame.moveLeft(rightLimit - frame.width());
            if (frame != w->geometry())
                w->setGeometry(frame);
        }
    }
}

void WelcomeWindowController::layoutOptionsOneColumn(QWidget *screen)
{
    QCheckBox *options[5];
    int widest = 0;
    for (int i = 0; i < 5; ++i) {
        options[i] = findViewWithTag<QCheckBox>(screen, kOptionTags[i]);
        if (i < 4 && options[i]) {
            options[i]->adjustSize();
            widest = qMax(widest, options[i]->sizeHint().width());
        }
    }
    const int w = int(widest + 6);
    for (QCheckBox *option : options) {
        if (!option)
            continue;
        const QRect frame = option->geometry();
        option->setGeometry((screen->width() - w) / 2, frame.y(), w, option->sizeHint().height() + 4);
    }
}

void WelcomeWindowController::layoutOptionsTwoColumns(QWidget *screen)
{
    QCheckBox *options[5];
    for (int i = 0; i < 5; ++i) {
        options[i] = findViewWithTag<QCheckBox>(screen, kOptionTags[i]);
        if (options[i])
            options[i]->adjustSize();
    }
    auto width = [&](int i) { return options[i] ? options[i]->sizeHint().width() : 0; };
    const int gap = WelcomeServices::instance()->isLocalized() ? 20 : 40;
    const int a = qMax(width(0), width(1));
    const int b = qMax(width(2), width(3));
    const int total = a + gap + b;
    const int left = (screen->width() - total) / 2;
    for (int i = 0; i < 5; ++i) {
        if (!options[i])
            continue;
        const int x = (i == 2 || i == 3) ? left + a + gap : left;
        const int w = (i == 2 || i == 3) ? b : a;
        options[i]->setGeometry(x, options[i]->geometry().y(), w, options[i]->sizeHint().height() + 4);
    }
    if (options[4])
        options[4]->hide();
}

void WelcomeWindowController::updateDoneScreenView()
{
    QWidget *screen = m_screens[SetupComplete];
    WelcomeServices *services = WelcomeServices::instance();
    setTextOf(findViewWithTag<QWidget>(screen, 9923), services->localized(QStringLiteral("Thanks!")));
    QString text = services->localized(kDoneDescription);
    text.replace(QLatin1String("\n\n"), QLatin1String("\n"));
    setTextOf(findViewWithTag<QWidget>(screen, 6625), Localization::removeNewlinesIfLocalized(text, services->isLocalized()));
}

// ---------------------------------------------------------------------------------------------
// Navigation

QWidget *WelcomeWindowController::screenView(Screen screen) const
{
    return (screen >= 0 && screen < ScreenCount) ? m_screens[screen] : nullptr;
}

QWidget *WelcomeWindowController::containerView() const
{
    return ui->containerView;
}

WelcomeWindowController::Screen WelcomeWindowController::screenOf(const QWidget *view) const
{
    for (int i = 0; i < ScreenCount; ++i)
        if (view && m_screens[i] == view)
            return Screen(i);
    return NoScreen;
}

WelcomeWindowController::Screen WelcomeWindowController::currentScreen() const
{
    return screenOf(m_currentView);
}

QList<QWidget *> WelcomeWindowController::importScreens() const
{
    WelcomeServices *services = WelcomeServices::instance();
    QList<QWidget *> list{m_screens[Welcome], m_screens[Login], m_screens[Intro], m_screens[ImportPictures]};
    if (services->isIPhotoInstalled() || services->isOSXPhotosInstalled())
        list << m_screens[ImportIPhoto];
    list << m_screens[ImportFolder] << m_screens[SetupComplete];
    return list;
}

QWidget *WelcomeWindowController::lastImportScreen() const
{
    const QList<QWidget *> list = importScreens();
    return list.isEmpty() ? nullptr : list.last();
}

void WelcomeWindowController::advanceImportScreen()
{
    const bool authorized = WelcomeServices::instance()->isAuthorized();
    const bool complete = hasCompletedWelcomeScreen();
    QWidget *from = m_currentView;
    if (!from && authorized)
        from = m_screens[Welcome];
    const QList<QWidget *> list = importScreens();
    QWidget *target = nullptr;
    if (authorized && complete) {
        target = m_screens[SetupComplete];
    } else if (!from) {
        target = m_screens[Welcome];
    } else {
        const int index = list.indexOf(from);
        if (index >= 0 && index + 1 < list.size())
            target = list.at(index + 1);
        // A signed-in user never sees the login screen.
        if (authorized && target == m_screens[Login])
            target = (index + 2 < list.size()) ? list.at(index + 2) : nullptr;
    }
    advanceToScreen(target, false, m_currentView != nullptr);
}

void WelcomeWindowController::advanceImportScreenReverse()
{
    const QList<QWidget *> list = importScreens();
    const int index = list.indexOf(m_currentView);
    if (index <= 0)
        return;
    QWidget *target = list.at(index - 1);
    if (target == m_screens[Login])
        return;
    advanceToScreen(target, true, m_currentView != nullptr);
}

bool WelcomeWindowController::isSliding() const
{
    return m_slide && m_slide->state() == QAbstractAnimation::Running;
}

void WelcomeWindowController::finishSlide()
{
    // A slide still running is brought to its end at once, so a quick back-and-forth never
    // leaves the container empty or a screen half-way.
    if (!m_slide)
        return;
    QParallelAnimationGroup *group = m_slide;
    m_slide = nullptr;
    group->stop();
    for (int i = 0; i < group->animationCount(); ++i) {
        auto *animation = qobject_cast<QPropertyAnimation *>(group->animationAt(i));
        if (animation && animation->targetObject())
            animation->targetObject()->setProperty(animation->propertyName(), animation->endValue());
    }
    if (m_slideOld && m_slideOld != m_currentView)
        m_slideOld->hide();
    m_slideOld = nullptr;
    group->deleteLater();
}

void WelcomeWindowController::advanceToScreen(QWidget *screen, bool reverse, bool animated)
{
    if (!screen || screen == m_currentView)
        return;
    finishSlide();
    QPointer<QWidget> old = m_currentView;
    m_currentView = screen;
    screen->setParent(ui->containerView);
    screenWillAppear(screen);
    WelcomeServices *services = WelcomeServices::instance();

    if (screen == m_screens[SetupComplete]) {
        const QDateTime installed = services->dateInstalled();
        const qint64 days = installed.isValid()
            ? qint64(std::floor(std::abs(double(installed.secsTo(QDateTime::currentDateTimeUtc()))) / 86400.0))
            : 0;
        services->trackOnceEver(QStringLiteral("Welcome: Welcome screen complete"), 3,
                                {{QStringLiteral("daysSinceStarted"), days}});
        services->setProperty(QStringLiteral("Welcome: Setup completed"), true);
        services->setProperty(QStringLiteral("Welcome: Days to complete setup"), days);
        // Not tied to the window: completion must happen even if the window is closed meanwhile.
        QTimer::singleShot(400, qApp, [] {
            markWelcomeScreenDidComplete();
            WelcomeServices *s = WelcomeServices::instance();
            s->refreshReportingMetrics();
            s->runQueues();
        });
    }
    trackScreenShown(screen);
    if (screen == m_screens[ImportFolder])
        s_reachedFoldersScreen = true;

    const QRect bounds = ui->containerView->rect();
    const QRect left = bounds.translated(-bounds.width(), 0);
    const QRect right = bounds.translated(bounds.width(), 0);
    screen->show();
    if (old)
        old->show();
    if (!animated || !old) {
        if (old) {
            old->hide();
            old->setGeometry(reverse ? right : left);
        }
        screen->setGeometry(bounds);
    } else {
        old->setGeometry(bounds);
        screen->setGeometry(reverse ? left : right);
        auto *group = new QParallelAnimationGroup(this);
        auto *in = new QPropertyAnimation(screen, "geometry", group);
        in->setDuration(kSlideMs);
        in->setEndValue(bounds);
        in->setEasingCurve(QEasingCurve::InOutQuad);
        auto *out = new QPropertyAnimation(old.data(), "geometry", group);
        out->setDuration(kSlideMs);
        out->setEndValue(reverse ? right : left);
        out->setEasingCurve(QEasingCurve::InOutQuad);
        m_slide = group;
        m_slideOld = old;
        connect(group, &QAbstractAnimation::finished, this, [this, group] {
            if (m_slide != group)
                return;
            m_slide = nullptr;
            if (m_slideOld && m_slideOld != m_currentView)
                m_slideOld->hide();
            m_slideOld = nullptr;
            group->deleteLater();
        });
        group->start();
    }
    if (m_waitingViewActive && ui->loginWaitingView->parentWidget() != screen && old
        && ui->loginWaitingView->parentWidget() == old) {
        // The overlay stays with the screen it covers.
    }
    // The window never becomes resizable after a change of screen; each screen is shown from
    // its top-left corner, whatever the one before was scrolled to.
    setFixedSize(size());
    m_scroller->horizontalScrollBar()->setValue(0);
    m_scroller->verticalScrollBar()->setValue(0);
    Q_EMIT screenShown(int(screenOf(screen)));
}

void WelcomeWindowController::trackScreenShown(QWidget *screen)
{
    WelcomeServices *services = WelcomeServices::instance();
    auto once = [services](const char *event, const QVariantMap &properties = {}) {
        services->trackOnceEver(QString::fromLatin1(event), 3, properties);
    };
    auto counts = [services] {
        return QVariantMap{{QStringLiteral("sources"), services->allSources().size()},
                           {QStringLiteral("sourcesFiltered"), services->allSourcesFiltered().size()},
                           {QStringLiteral("customFolders"), services->customFolders().size()}};
    };
    switch (screenOf(screen)) {
    case Welcome:
        if (!Settings::boolForKey(QStringLiteral("AppEverReset")))
            once("Welcome: Welcome screen displayed");
        break;
    case Login:
        once("Welcome: Login screen displayed");
        m_displayedLoginScreen = true;
        break;
    case Intro:
        if (!m_displayedLoginScreen)
            once("Welcome: Login screen displayed");
        once("Welcome: Intro screen displayed");
        break;
    case ImportPictures: once("Welcome: Folders screen displayed"); break;
    case ImportIPhoto: once("Welcome: iPhoto screen displayed"); break;
    case ImportIMessage: once("Welcome: iMessage screen displayed"); break;
    case ImportDropbox: once("Welcome: Dropbox screen displayed"); break;
    case ImportFolder: once("Welcome: Summary screen displayed", counts()); break;
    case SetupComplete: once("Welcome: Done screen displayed", counts()); break;
    default: break;
    }
}

void WelcomeWindowController::screenWillAppear(QWidget *screen)
{
    if (screen != m_screens[SetupComplete])
        return;
    updateDoneScreenView();
    auto *avatar = findViewWithTag<QLabel>(screen, 981);
    if (!avatar)
        return;
    const QString imagePath = WelcomeServices::instance()->userImageFilePath();
    const QImage image = imagePath.isEmpty() ? QImage() : QImage(imagePath);
    const int side = qMax(1, avatar->width());
    // Drawn at the screen's pixel density: a 2x screen gets a sharp picture, not a stretched one.
    const qreal dpr = avatar->devicePixelRatioF();
    QPixmap round(QSize(side, side) * dpr);
    round.setDevicePixelRatio(dpr);
    round.fill(Qt::transparent);
    QPainter painter(&round);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath circle;
    circle.addEllipse(QRectF(0.5, 0.5, side - 1.0, side - 1.0));
    if (!image.isNull()) {
        painter.setClipPath(circle);
        painter.drawImage(QRect(0, 0, side, side), image);
        painter.setClipping(false);
    }
    painter.setPen(QPen(QColor(0, 0, 0, 64), 1.0));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(circle);
    painter.end();
    avatar->setPixmap(round);
}

void WelcomeWindowController::setWaitingViewActive(bool active)
{
    if (active == m_waitingViewActive)
        return;
    m_waitingViewActive = active;
    QWidget *overlay = ui->loginWaitingView;
    auto *effect = qobject_cast<QGraphicsOpacityEffect *>(overlay->graphicsEffect());
    if (m_overlayFade) {
        m_overlayFade->stop();
        m_overlayFade->deleteLater();
    }
    if (active) {
        QWidget *host = m_currentView ? m_currentView.data() : this;
        overlay->setParent(host);
        overlay->setGeometry(host->rect());
        ui->loginWaitingSpinner->move((host->width() - ui->loginWaitingSpinner->width()) / 2,
                                      (host->height() - ui->loginWaitingSpinner->height()) / 2);
        overlay->show();
        overlay->raise();
        ui->loginWaitingSpinner->startAnimation();
        if (effect)
            effect->setOpacity(0.0);
    }
    if (!effect) {
        overlay->setVisible(active);
        return;
    }
    auto *fade = new QPropertyAnimation(effect, "opacity", this);
    fade->setDuration(kOverlayFadeMs);
    fade->setEndValue(active ? 1.0 : 0.0);
    m_overlayFade = fade;
    connect(fade, &QAbstractAnimation::finished, this, [this, fade] {
        // The stored value decides: off-then-on within the fade leaves the overlay up.
        if (!m_waitingViewActive) {
            ui->loginWaitingSpinner->stopAnimation();
            ui->loginWaitingView->hide();
        }
        if (m_overlayFade == fade)
            m_overlayFade = nullptr;
        fade->deleteLater();
    });
    fade->start();
}

bool WelcomeWindowController::isOverlayShown() const
{
    return ui->loginWaitingView->isVisible();
}

void WelcomeWindowController::completeSetupButtonHit()
{
    markWelcomeScreenDidComplete();
    close();
    // Static calls only: they run even though the window is gone by then.
    QTimer::singleShot(200, qApp, [] {
        WelcomeServices::instance()->runQueues();
        QTimer::singleShot(500, qApp, [] { WelcomeServices::instance()->openPreferences(); });
    });
}

void WelcomeWindowController::importNoButtonHit_Back()
{
    WelcomeServices::instance()->increment(QStringLiteral("Welcome: Back button hit"));
    advanceImportScreenReverse();
}

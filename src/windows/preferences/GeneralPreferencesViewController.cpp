#include "windows/preferences/GeneralPreferencesViewController.h"

#include "app/widgets/ModalUi.h"
#include "app/widgets/ViewTags.h"
#include "core/Dispatch.h"
#include "core/Settings.h"
#include "ui_GeneralPreferencesView.h"
#include "windows/preferences/PaneLayout.h"
#include "windows/preferences/PreferenceTexts.h"
#include "windows/preferences/PreferencesServices.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QPushButton>

namespace {
const QString kTrayIconBW = QStringLiteral("TrayIconBW");
const QString kAlphaEnvAvailable = QStringLiteral("AlphaEnvAvailable");
const QString kDevBrAvailable = QStringLiteral("DevBrAvailable");
} // namespace

GeneralPreferencesViewController::GeneralPreferencesViewController(QWidget *parent)
    : QWidget(parent), m_ui(new Ui::GeneralPreferencesView)
{
    ensurePreferencesResources();
    m_ui->setupUi(this);
    awakeFromNib();
}

GeneralPreferencesViewController::~GeneralPreferencesViewController()
{
    delete m_ui;
}

QIcon GeneralPreferencesViewController::toolbarItemImage() const
{
    return QIcon(QStringLiteral(":/images/preferences/PrefPaneAbout.svg"));
}

QString GeneralPreferencesViewController::toolbarItemLabel() const
{
    return PreferenceTexts::tr(QStringLiteral("About"));
}

int GeneralPreferencesViewController::noticeYear(const QDate &today)
{
    const int year = today.isValid() ? today.year() : 0;
    return (year >= 2015 && year <= 2115) ? year : 2015;
}

QString GeneralPreferencesViewController::yearNotice(const QDate &today)
{
    return QStringLiteral("\u00A9 %1 Lumora. All rights reserved.").arg(noticeYear(today));
}

QString GeneralPreferencesViewController::versionText(const QString &caption)
{
    QString text = caption;
    const QString version = QStringLiteral("%1.%2%3").arg(QStringLiteral(HOISTLY_VERSION), QStringLiteral(HOISTLY_BUILD_NUMBER), QString());
    text.replace(QStringLiteral("X.X"), version);
    return text;
}

QString GeneralPreferencesViewController::hiddenChannelKey()
{
    auto &services = PreferencesServices::instance();
    return services.hiddenChannelKey ? services.hiddenChannelKey() : QString();
}

bool GeneralPreferencesViewController::hiddenChannelOn()
{
    const QString key = hiddenChannelKey();
    return !key.isEmpty() && Settings::boolForKey(key);
}

QString GeneralPreferencesViewController::switchBranchTitle()
{
    // Names the channel the item switches to.
    const QString channel = hiddenChannelOn() ? QStringLiteral("rel") + QStringLiteral("ease")
                                              : QStringLiteral("dev") + QStringLiteral("elopment");
    return QStringLiteral("Switch to ") + channel + QStringLiteral(" builds");
}

void GeneralPreferencesViewController::awakeFromNib()
{
    syncBlackAndWhiteCheckbox();
    if (auto *button = findViewWithTag<QPushButton>(this, 7000))
        button->setStyleSheet(QStringLiteral("QPushButton { color: rgb(88, 88, 88); } QPushButton:pressed { color: white; }"));
    if (auto *notice = findViewWithTag<QLabel>(this, 5003))
        notice->setText(yearNotice(QDate::currentDate()));
    // The design widths are the least each button gets.
    for (QWidget *button : buttonRow())
        button->setMinimumWidth(button->width());
    if (PreferenceTexts::isLocalized()) {
        if (auto *name = findViewWithTag<QLabel>(this, 5001))
            name->setText(PreferenceTexts::tr(QStringLiteral("Lumora Hoistly")));
        if (auto *caption = findViewWithTag<QLabel>(this, 5002))
            caption->setText(PreferenceTexts::tr(QStringLiteral("Version X.X")));
        if (auto *box = findViewWithTag<QCheckBox>(this, 5004)) {
            // Sized to fit its translation; the layout keeps it centred.
            box->setText(PreferenceTexts::tr(QStringLiteral("Use black & white icon")).replace(QLatin1Char('&'), QStringLiteral("&&")));
            box->setMinimumWidth(0);
            box->resize(box->sizeHint().width(), box->height());
        }
        m_ui->aboutButton->setText(PreferenceTexts::tr(QStringLiteral("About")));
        m_ui->checkForUpdatesButton->setText(PreferenceTexts::tr(QStringLiteral("Check for updates")));
        m_ui->quitButton->setText(PreferenceTexts::tr(QStringLiteral("Quit")));
        m_ui->contactUsButton->setText(PreferenceTexts::tr(QStringLiteral("Contact us")));
        // Widened by 60 points; its neighbours make room instead of being covered.
        m_ui->contactUsButton->setMinimumWidth(m_ui->contactUsButton->width() + 60);
        m_ui->logoButton->setToolTip(PreferenceTexts::tr(QStringLiteral("Options")));
    }
    QString version = versionText(m_ui->versionTextField->text());
    if (Settings::boolForKey(kAlphaEnvAvailable))
        version += QStringLiteral(" (%1 branch)").arg(QStringLiteral("Release"));
    m_ui->versionTextField->setText(version);

    m_ui->logoButton->setIcon(QIcon(QStringLiteral(":/images/preferences/PrefPaneAbout.svg")));
    // The check box's own toggle is not trusted: the stored setting decides its state.
    connect(m_ui->blackAndWhiteIcon, &QCheckBox::clicked, this, [this] { blackAndWhiteIconHit(); });
    connect(m_ui->aboutButton, &QPushButton::clicked, this, &GeneralPreferencesViewController::aboutButtonHit);
    connect(m_ui->checkForUpdatesButton, &QPushButton::clicked, this, &GeneralPreferencesViewController::checkForUpdatesButtonHit);
    connect(m_ui->contactUsButton, &QPushButton::clicked, this, &GeneralPreferencesViewController::viewDebugLog);
    connect(m_ui->quitButton, &QPushButton::clicked, this, &GeneralPreferencesViewController::quitButtonHit);
    connect(m_ui->logoButton, &QPushButton::clicked, this, &GeneralPreferencesViewController::logoHit);
    layoutForWidth();
}

QList<QWidget *> GeneralPreferencesViewController::buttonRow() const
{
    return {m_ui->aboutButton, m_ui->checkForUpdatesButton, m_ui->contactUsButton, m_ui->quitButton};
}

void GeneralPreferencesViewController::layoutForWidth()
{
    const int width = this->width();
    PaneLayout::centre(m_ui->logoButton, width);
    for (int tag : {5001, 5002, 5003}) {
        if (auto *label = findViewWithTag<QLabel>(this, tag))
            PaneLayout::span(label, width);
    }
    if (auto *box = findViewWithTag<QCheckBox>(this, 5004)) {
        box->resize(PaneLayout::neededWidth(box), box->height());
        PaneLayout::centre(box, width);
    }
    PaneLayout::centreRow(buttonRow(), width);
}

int GeneralPreferencesViewController::neededContentWidth()
{
    int widest = PaneLayout::rowWidth(buttonRow());
    for (int tag : {5001, 5002, 5003}) {
        if (auto *label = findViewWithTag<QLabel>(this, tag))
            widest = qMax(widest, label->sizeHint().width());
    }
    if (auto *box = findViewWithTag<QCheckBox>(this, 5004))
        widest = qMax(widest, PaneLayout::neededWidth(box));
    return widest + 2 * PaneLayout::kMargin;
}

void GeneralPreferencesViewController::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    layoutForWidth();
}

void GeneralPreferencesViewController::syncBlackAndWhiteCheckbox()
{
    m_ui->blackAndWhiteIcon->setChecked(Settings::boolForKey(kTrayIconBW));
}

void GeneralPreferencesViewController::aboutButtonHit() { PreferencesServices::instance().displayAbout(); }
void GeneralPreferencesViewController::checkForUpdatesButtonHit() { PreferencesServices::instance().checkForUpdates(); }
void GeneralPreferencesViewController::quitButtonHit() { PreferencesServices::instance().quitApp(); }
void GeneralPreferencesViewController::viewDebugLog() { PreferencesServices::instance().openBugTracker(); }
void GeneralPreferencesViewController::viewDebugLogReal() { PreferencesServices::instance().viewDebugLog(); }

void GeneralPreferencesViewController::blackAndWhiteIconHit()
{
    const bool value = !Settings::boolForKey(kTrayIconBW);
    Settings::setBool(value, kTrayIconBW);
    syncBlackAndWhiteCheckbox();
    PreferencesServices &services = PreferencesServices::instance();
    services.updateStatusIcon();
    services.reporterSet(QStringLiteral("Prefs: Icon BW"), int(value));
}

void GeneralPreferencesViewController::toggleRunAtStartup()
{
    PreferencesServices &services = PreferencesServices::instance();
    services.setRunAtStartup(!services.runAtStartup());
}

void GeneralPreferencesViewController::showCredits()
{
    // The libraries the application is built on, with their licences.
    AlertRequest request;
    request.title = PreferenceTexts::tr(QStringLiteral("Open source credits"));
    request.message = QStringLiteral("Qt %1 (LGPL 3)\nlibplist (LGPL 2.1)\nSQLite (public domain)\nOpenSSL (Apache 2.0)\n"
                                     "spdlog and fmt (MIT)\nExiv2 (GPL 2)\ncpp-httplib (MIT)")
                          .arg(QString::fromLatin1(qVersion()));
    request.buttons = {PreferenceTexts::tr(QStringLiteral("OK"))};
    request.sheetParent = window();
    Alerts::show(request);
}

void GeneralPreferencesViewController::switchBranch()
{
    const QString key = hiddenChannelKey();
    if (key.isEmpty())
        return;
    Settings::setBool(!Settings::boolForKey(key), key);
    PreferencesServices::instance().switchBranchFollowUp();
}

QMenu *GeneralPreferencesViewController::buildLogoMenu(QWidget *parent)
{
    auto *menu = new QMenu(parent);
    QPointer<GeneralPreferencesViewController> self(this);
    auto add = [&](const QString &title, void (GeneralPreferencesViewController::*action)(), bool checkable = false,
                   bool checked = false) {
        QAction *item = menu->addAction(QString(title).replace(QLatin1Char('&'), QStringLiteral("&&")));
        item->setCheckable(checkable);
        item->setChecked(checked);
        QObject::connect(item, &QAction::triggered, menu, [self, action] {
            if (self)
                (self.data()->*action)();
        });
        return item;
    };
    if (hiddenChannelOn() || Settings::boolForKey(kAlphaEnvAvailable) || Settings::boolForKey(kDevBrAvailable)) {
        add(switchBranchTitle(), &GeneralPreferencesViewController::switchBranch);
        menu->addSeparator();
    }
    add(PreferenceTexts::tr(QStringLiteral("Use black & white tray icon")), &GeneralPreferencesViewController::blackAndWhiteIconHit,
        true, Settings::boolForKey(kTrayIconBW));
    add(PreferenceTexts::tr(QStringLiteral("Run at startup")), &GeneralPreferencesViewController::toggleRunAtStartup, true,
        PreferencesServices::instance().runAtStartup());
    menu->addSeparator();
    add(PreferenceTexts::tr(QStringLiteral("Open source credits")), &GeneralPreferencesViewController::showCredits);
    menu->addSeparator();
    add(PreferenceTexts::tr(QStringLiteral("Check for updates")), &GeneralPreferencesViewController::checkForUpdatesButtonHit);
    add(PreferenceTexts::tr(QStringLiteral("View debug log")), &GeneralPreferencesViewController::viewDebugLogReal);
    return menu;
}

void GeneralPreferencesViewController::logoHit()
{
    PreferencesServices &services = PreferencesServices::instance();
    services.reporterIncrement(QStringLiteral("Prefs: About logo hit"));
    auto probe = services.checkForAlphaEnvironmentAvailable;
    if (probe)
        dispatch_default_queue_async(probe);
    QWidget *anchor = m_ui->logoButton;
    QMenu *menu = buildLogoMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(anchor->mapToGlobal(QPoint(2, anchor->height() + 2)));
}

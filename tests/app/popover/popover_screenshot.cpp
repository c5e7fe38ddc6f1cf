// Renders the tray popover (the service double's account, ten recent uploads, two of them not
// yet finished by the service; then one row and none) and a few shared widgets into PNG files
// for a person to look at.
//   popover_screenshot <folder> [--dark] [--long]
// --dark gives the application a dark palette and a dark panel; --long installs a test
// translation that makes every phrase much longer and gives the account a long name and status
// line. QT_SCALE_FACTOR=2 renders at twice the density. The status scenes (status-*.png) are
// pictures of the whole screen, the open menu beside the popover; they want a screen of
// 1280x900 or more.
#include "PopoverTestSupport.h"
#include "app/launch/ShellTestFakes.h"

#include "LumoraDouble.h"
#include "app/menubar/MainController.h"
#include "app/menubar/TrayMenuController.h"
#include "app/menubar/TrayPopoverView.h"
#include "app/widgets/SmallViews.h"
#include "app/widgets/SpinningProgressIndicator.h"
#include "app/widgets/TextUtils.h"

#include "app/platform/ColorScheme.h"
#include "sync/StatusModel.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPainter>
#include <QScreen>
#include <QStandardPaths>
#include <QTimer>
#include <QTranslator>

// Every phrase about twice as long, with letters outside ASCII, as a long translation would be.
class LongStringTranslator : public QTranslator
{
public:
    bool isEmpty() const override { return false; }
    QString translate(const char *context, const char *source, const char *, int) const override
    {
        if (qstrcmp(context, "Hoistly") != 0 || !source)
            return QString();
        const QString english = QString::fromUtf8(source);
        if (english.contains(QLatin1String("%d")) || english.contains(QLatin1String("%@")))
            return QStringLiteral("Ŧŕåñšļåţéð ") + english + QStringLiteral(" ţéẋţ");
        return QStringLiteral("Ŵéŕý ļöñĝ ") + english + QStringLiteral(" ţŕåñšļåţîöñ");
    }
};

static QByteArray fetch(const QUrl &url)
{
    QNetworkAccessManager manager;
    QNetworkReply *reply = manager.get(QNetworkRequest(url));
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    const QByteArray body = reply->readAll();
    reply->deleteLater();
    return body;
}

static void wait(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    const QStringList args = QCoreApplication::arguments();
    const QString outDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("/tmp/hoistly-shots");
    QDir().mkpath(outDir);
    const bool dark = args.contains(QStringLiteral("--dark"));
    const bool longStrings = args.contains(QStringLiteral("--long"));
    if (dark) {
        ColorScheme::setOverrideForTesting(1);
        QPalette palette;
        palette.setColor(QPalette::Window, QColor(45, 45, 48));
        palette.setColor(QPalette::WindowText, QColor(230, 230, 230));
        palette.setColor(QPalette::Base, QColor(30, 30, 32));
        palette.setColor(QPalette::Text, QColor(230, 230, 230));
        palette.setColor(QPalette::Button, QColor(60, 60, 64));
        palette.setColor(QPalette::ButtonText, QColor(230, 230, 230));
        palette.setColor(QPalette::ToolTipBase, QColor(60, 60, 64));
        palette.setColor(QPalette::ToolTipText, QColor(230, 230, 230));
        palette.setColor(QPalette::Link, QColor(125, 180, 250)); // made for a dark ground
        QApplication::setPalette(palette);
    }
    LongStringTranslator translator;
    if (longStrings)
        QCoreApplication::installTranslator(&translator);

    LumoraDouble service;
    if (!service.start())
        return 1;
    service.exportEnvironment();

    FakePopoverWorld world;
    world.userId = QString::fromLatin1(LumoraDoubleDefaults::userId);
    world.userName = QString::fromLatin1(LumoraDoubleDefaults::userName);
    world.fullName = QString::fromLatin1(LumoraDoubleDefaults::userFullName);
    // The account images as the service serves them.
    world.avatarPath = outDir + QStringLiteral("/UserImage.jpg");
    world.coverPath = outDir + QStringLiteral("/UserCover.jpg");
    QFile avatar(world.avatarPath), cover(world.coverPath);
    if (avatar.open(QIODevice::WriteOnly))
        avatar.write(fetch(QUrl(service.baseUrl() + QStringLiteral("/buddyicons/") + world.userId + QStringLiteral(".jpg"))));
    if (cover.open(QIODevice::WriteOnly))
        cover.write(fetch(QUrl(service.baseUrl() + QStringLiteral("/coverphotos/") + world.userId + QStringLiteral(".jpg"))));
    avatar.close();
    cover.close();
    for (int i = 0; i < 10; ++i)
        world.addUpload(QStringLiteral("/home/user/Pictures/IMG_%1.JPG").arg(i), i >= 8 ? 0 : 5000 + i,
                        QColor::fromHsv((i * 37) % 360, 150, 210));
    world.running = true;
    world.percent = 0.4;
    world.statusLine = QStringLiteral("Uploading IMG_0042.JPG");
    if (longStrings) {
        world.fullName = QStringLiteral("Maximiliane Wolfeschlegelsteinhausen-Bergerdorff");
        world.statusLine = QStringLiteral("Uploading IMG_20240101_123456_panorama_from_the_mountain_top.JPG");
    }
    world.filesToUpload = 132;
    world.install();

    TrayMenuController::setExpandDelayForTesting(0.1);
    TrayMenuController controller(nullptr);
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    controller.showRelativeTo(QRect(screen.right() - 200, screen.top(), 24, 24));
    wait(900);
    controller.popoverWindow()->grab().save(outDir + QStringLiteral("/popover.png"));
    controller.close();

    // One row, then none: the outline closes the main area at every height.
    world.recent = world.recent.mid(0, 3);
    world.running = false;
    world.complete = true;
    world.percent = 1.0;
    controller.showRelativeTo(QRect(screen.right() - 200, screen.top(), 24, 24));
    wait(600);
    controller.popoverWindow()->grab().save(outDir + QStringLiteral("/popover-one-row.png"));
    controller.close();
    world.recent.clear();
    world.complete = false;
    world.statusLine = longStrings ? world.statusLine : QStringLiteral("Paused until you resume");
    world.paused = true;
    controller.showRelativeTo(QRect(screen.right() - 200, screen.top(), 24, 24));
    wait(600);
    controller.popoverWindow()->grab().save(outDir + QStringLiteral("/popover-no-rows.png"));
    controller.close();

    // The status as the engine words it, in the popover's row, the pause menu and the menu of the
    // status lines: a watched folder away with a note after it and "Try again" offered; then
    // signed out over a settings file that could not be read.
    const auto shootScreen = [&outDir](const QString &name) {
        wait(500);
        QGuiApplication::primaryScreen()->grabWindow(0).save(outDir + QStringLiteral("/status-%1.png").arg(name));
        if (QWidget *menu = QApplication::activePopupWidget())
            menu->close();
    };
    FakeShell shell;
    shell.install();
    MainController::setTrayBackendFactory([] { return new FakeTray; });
    MainController *main = MainController::instance();
    main->setupTrayIcon();
    world.statusBarMenu = main->statusBarMenu();
    StatusInputs away;
    away.sourcesUnavailable = 1;
    away.left.tooSmall = 1;
    away.left.counted = true;
    StatusInputs awayMany = away;
    awayMany.sourcesUnavailable = 12;
    awayMany.left.tooSmall = 12345;
    StatusInputs unread;
    unread.signedIn = false;
    unread.settingsUnread = QStringLiteral("Permission denied");
    unread.settingsFile = QStringLiteral("/home/maximiliane.wolfeschlegelsteinhausen/.config/Lumora/Hoistly.conf");
    const QList<QPair<QString, StatusInputs>> states{{QStringLiteral("away"), away},
                                                      {QStringLiteral("away-many"), awayMany},
                                                      {QStringLiteral("settings-unread"), unread}};
    world.paused = false;
    for (const auto &[name, inputs] : states) {
        const StatusModel status = composeStatus(inputs);
        world.statusLine = status.lineShort;
        world.retryOffered = true; // the menu's first entry, whatever this state offers
        shell.status[0] = status.line1;
        shell.status[1] = status.line2;
        shell.status[2] = status.line3;
        shell.status[3] = status.resumeMessage;
        main->updateStatusInternal();
        controller.showRelativeTo(QRect(screen.right() - 200, screen.top(), 24, 24));
        wait(600);
        controller.statusPlayPauseButtonHit(controller.trayMenuView()->statusPlayPauseButton());
        shootScreen(name + QStringLiteral("-pause-menu"));
        controller.statusConfigButtonHit(controller.trayMenuView()->statusConfigButton());
        shootScreen(name + QStringLiteral("-lines"));
        controller.close();
    }

    // A few shared widgets side by side.
    QWidget gallery;
    gallery.setStyleSheet(QStringLiteral("background: #f4f4f4;"));
    auto *layout = new QHBoxLayout(&gallery);
    auto *spinner = new SpinningProgressIndicator;
    spinner->setFixedSize(48, 48);
    auto *pie = new SpinningProgressIndicator;
    pie->setFixedSize(48, 48);
    const QColor accent(40, 110, 200);
    pie->setColor(accent);
    pie->setDoubleValue(25);
    auto *button = new NSButtonCellWithCorners;
    QImage background(24, 24, QImage::Format_ARGB32_Premultiplied);
    background.fill(Qt::transparent);
    {
        QPainter p(&background);
        p.setRenderHint(QPainter::Antialiasing);
        p.setBrush(accent);
        p.setPen(Qt::NoPen);
        p.drawRoundedRect(QRectF(0, 0, 24, 24), 8, 8);
    }
    button->setBackgroundImage(background);
    button->setTitle(QStringLiteral("Get started"));
    button->setFixedSize(200, 40);
    auto *link = new NSTextFieldClickable;
    NSControlUtils::setAttributedStringValue(link, NSAttributedStringUtils::hyperlinkFromString(
                                                       QStringLiteral("<View> on the web & more"), QUrl(QStringLiteral("https://www.example.com/")),
                                                       QApplication::palette().color(QPalette::Link), true));
    link->setUseHandCursor(true);
    auto *kerned = new QLabel;
    NSControlUtils::setStringValueWithKerning(kerned, QStringLiteral("WELCOME"), 3.0);
    auto *disabled = new NSButtonCellWithCorners;
    disabled->setBackgroundImage(background);
    disabled->setTitle(QStringLiteral("Continue"));
    disabled->setFixedSize(140, 40);
    disabled->setEnabled(false);
    auto *white = new SpinningProgressIndicator; // as on the dark sign-in overlay
    white->setFixedSize(36, 36);
    white->setColor(Qt::white);
    white->setUsesThreadedAnimation(false);
    white->setDrawsBackground(true);
    white->setBackgroundColor(QColor(0, 0, 0, 168));
    layout->addWidget(spinner);
    layout->addWidget(white);
    layout->addWidget(pie);
    layout->addWidget(button);
    layout->addWidget(disabled);
    layout->addWidget(link);
    layout->addWidget(kerned);
    gallery.show();
    spinner->startAnimation();
    white->startAnimation();
    wait(400);
    gallery.grab().save(outDir + QStringLiteral("/widgets.png"));
    return 0;
}

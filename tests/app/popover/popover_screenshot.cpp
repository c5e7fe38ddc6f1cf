// Renders the tray popover (the service double's account, ten recent uploads, two of them not
// yet finished by the service) and a few shared widgets into PNG files for a person to look at.
#include "PopoverTestSupport.h"

#include "LumoraDouble.h"
#include "app/menubar/TrayMenuController.h"
#include "app/menubar/TrayPopoverView.h"
#include "app/widgets/SmallViews.h"
#include "app/widgets/SpinningProgressIndicator.h"
#include "app/widgets/TextUtils.h"

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
    const QString outDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("/tmp/hoistly-shots");
    QDir().mkpath(outDir);

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
    world.filesToUpload = 132;
    world.install();

    TrayMenuController controller(nullptr);
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    controller.showRelativeTo(QRect(screen.right() - 200, screen.top(), 24, 24));
    wait(900);
    controller.popoverWindow()->grab().save(outDir + QStringLiteral("/popover.png"));
    controller.close();

    // A few shared widgets side by side.
    QWidget gallery;
    gallery.setStyleSheet(QStringLiteral("background: #f4f4f4;"));
    auto *layout = new QHBoxLayout(&gallery);
    auto *spinner = new SpinningProgressIndicator;
    spinner->setFixedSize(48, 48);
    auto *pie = new SpinningProgressIndicator;
    pie->setFixedSize(48, 48);
    pie->setColor(QColor(0, 99, 220));
    pie->setDoubleValue(25);
    auto *button = new NSButtonCellWithCorners;
    QImage background(24, 24, QImage::Format_ARGB32_Premultiplied);
    background.fill(Qt::transparent);
    {
        QPainter p(&background);
        p.setRenderHint(QPainter::Antialiasing);
        p.setBrush(QColor(0, 99, 220));
        p.setPen(Qt::NoPen);
        p.drawRoundedRect(QRectF(0, 0, 24, 24), 8, 8);
    }
    button->setBackgroundImage(background);
    button->setTitle(QStringLiteral("Get started"));
    button->setFixedSize(200, 40);
    auto *link = new NSTextFieldClickable;
    NSControlUtils::setAttributedStringValue(link, NSAttributedStringUtils::hyperlinkFromString(
                                                       QStringLiteral("<View> on the web & more"), QUrl(QStringLiteral("https://www.example.com/")),
                                                       QColor(0, 99, 220), true));
    link->setUseHandCursor(true);
    auto *kerned = new QLabel;
    NSControlUtils::setStringValueWithKerning(kerned, QStringLiteral("WELCOME"), 3.0);
    layout->addWidget(spinner);
    layout->addWidget(pie);
    layout->addWidget(button);
    layout->addWidget(link);
    layout->addWidget(kerned);
    gallery.show();
    spinner->startAnimation();
    wait(400);
    gallery.grab().save(outDir + QStringLiteral("/widgets.png"));
    return 0;
}

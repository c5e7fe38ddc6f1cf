// Shows the preferences window for a look by eye (not a test): each pane and the album controls
// are saved as screenshots of the whole screen, window frame included.
//   xvfb-run -a sh -c 'openbox & preview_preferences /tmp/out [translation.qm]'
#include "windows/preferences/PreferencesPane.h"
#include "windows/preferences/PreferencesServices.h"
#include "windows/sources/SourcePaneMenuItem.h"
#include "windows/sources/SourcesPaneAlbumButton.h"

#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QPainter>
#include <QScreen>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QStandardPaths>
#include <QTest>
#include <QTranslator>

namespace {
void shoot(const QString &path)
{
    QTest::qWait(400);
    QGuiApplication::primaryScreen()->grabWindow(0).save(path);
}
} // namespace

int main(int argc, char **argv)
{
    QStandardPaths::setTestModeEnabled(true);
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("/tmp");
    QDir().mkpath(out);
    QTranslator translator;
    if (argc > 2 && translator.load(QString::fromLocal8Bit(argv[2])))
        QCoreApplication::installTranslator(&translator);

    auto &services = PreferencesServices::instance();
    services.isAuthorized = [] { return true; };
    services.currentUserName = [] { return QStringLiteral("max"); };
    services.currentUserFullName = [] {
        return QStringLiteral("Maximiliana Alexandrina Konstantinopoulou-Wolfeschlegelsteinhausenbergerdorff");
    };
    services.photoCount = [] { return 4096; };
    services.storageUsed = [] { return qint64(123) * 1024 * 1024 * 1024; };

    // An avatar and a cover with fine detail, to see that they are drawn at the screen's pixels.
    QTemporaryDir images;
    QImage detail(900, 600, QImage::Format_RGB32);
    detail.fill(QColor(40, 90, 160));
    {
        QPainter painter(&detail);
        painter.setPen(QPen(QColor(250, 220, 120), 2));
        for (int x = 0; x < 900; x += 6)
            painter.drawLine(x, 0, x + 300, 600);
    }
    detail.save(images.filePath(QStringLiteral("cover.png")));
    detail.copy(0, 0, 600, 600).save(images.filePath(QStringLiteral("avatar.png")));
    services.userImageFilePath = [&images] { return images.filePath(QStringLiteral("avatar.png")); };
    services.userCoverImageFilePath = [&images] { return images.filePath(QStringLiteral("cover.png")); };

    PreferencesPane *window = PreferencesPane::preferencesWindowController();
    window->show();
    shoot(out + QStringLiteral("/upload.png"));
    window->selectControllerAtIndex(0);
    shoot(out + QStringLiteral("/account.png"));
    // Where the window is smaller than the pane, its far corner scrolled into sight.
    auto *scroller = window->findChild<QScrollArea *>();
    if (scroller)
        scroller->ensureVisible(scroller->widget()->width(), scroller->widget()->height(), 1, 1);
    shoot(out + QStringLiteral("/account-scrolled.png"));
    window->selectControllerAtIndex(2);
    shoot(out + QStringLiteral("/about.png"));
    if (scroller)
        scroller->ensureVisible(scroller->widget()->width(), scroller->widget()->height(), 1, 1);
    shoot(out + QStringLiteral("/about-scrolled.png"));
    window->close();

    // The album button's looks, and the album menu with a checked item and many albums.
    QWidget host;
    host.setWindowTitle(QStringLiteral("Album controls"));
    host.resize(420, 160);
    const struct { bool album, icon; const char *title; } looks[] = {
        {false, false, "Create album"}, {false, true, "Create album"}, {true, true, "Summer in Wales"}, {true, false, "Summer in Wales"}};
    int y = 10;
    for (const auto &look : looks) {
        auto *button = new SourcesPaneAlbumButton(&host);
        button->setIsAlbum(look.album);
        button->setShowAlbumIcon(look.icon);
        button->setCanEditTitle(look.album);
        button->setText(QString::fromLatin1(look.title));
        button->setGeometry(240, y, 100, 22);
        button->sizeToFit();
        y += 34;
    }
    host.show();
    host.move(40, 40);
    shoot(out + QStringLiteral("/album-buttons.png"));
    QMenu *menu = SourcePaneMenuItem::newAlbumMenu(&host);
    for (int i = 0; i < 300; ++i) {
        auto *item = new SourcePaneMenuItem(i == 2 ? QStringLiteral("Our trip along the whole coast of Scotland, in the wettest "
                                                                    "summer anyone remembers")
                                                   : QStringLiteral("Album %1").arg(i),
                                            menu);
        if (i == 1) {
            item->setCheckable(true);
            item->setChecked(true);
            item->setDesc(QStringLiteral("Chosen album"));
        }
        item->menuItemView()->sizeToFit();
        menu->addAction(item);
    }
    menu->popup(host.mapToGlobal(QPoint(host.width() + 20, 10)));
    shoot(out + QStringLiteral("/album-menu.png"));
    return 0;
}

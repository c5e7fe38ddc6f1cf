// The onboarding screens as a user sees them: in English and with a translation whose strings run
// long, every control inside the window, centred ones centred, Linux wording, our own mark.
#include "FakeWelcomeServices.h"
#include "support/ScriptedModalUi.h"

#include "app/widgets/ModalUi.h"
#include "core/Localization.h"
#include "core/Settings.h"
#include "windows/onboarding/WelcomeWindowController.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollArea>
#include <QSvgRenderer>
#include <QTranslator>
#include <QtTest>

using W = WelcomeWindowController;

namespace {
// Texts through the real translation machinery, whatever translator the case installed.
class TranslatedServices : public FakeWelcomeServices
{
public:
    bool isLocalized() override { return Localization::isLocalized(); }
    QString localized(const QString &english) override { return Localization::tr(english); }
    QString translationOf(const QString &english) override
    {
        const QString translated = Localization::tr(english);
        return translated == english ? QString() : translated;
    }
};

// What each screen shows centred: single controls, and rows centred as a whole.
struct Centred
{
    QStringList singles;
    QList<QStringList> rows;
};

QMap<QString, Centred> centredControls()
{
    const Centred oneOption{{"screenIcon", "headingLabel", "descriptionLabel", "libraryFolderIcon", "privateNote"},
                            {{"skipButton", "yesButton"}}};
    return {
        {"welcomeView", {{"logoImage", "headingLabel", "translucentPanel", "descriptionLabel", "signUpButton", "signInButton"},
                         {{"facebookButton", "signInButton", "googleButton"}}}},
        {"oAuthView", {}},
        {"introView", {{"introImage", "headingLabel", "introText", "nextButton", "privacyNote"}, {}}},
        {"importPicturesView", {{"screenIcon", "headingLabel", "descriptionLabel", "privateNote"},
                                {{"skipButton", "yesButton"}, {"optionPictures", "optionDesktop", "optionDownloads", "optionDocuments"}}}},
        {"importIPhotoView", oneOption},
        {"importIMessageView", oneOption},
        {"importDropboxView", oneOption},
        {"importFolderView", {{"headingLabel", "descriptionLabel", "folderPickerPlaceholder", "dropView"},
                              {{"skipButton", "importFoldersButton"}}}},
        {"setupCompleteView", {{"avatarImage", "headingLabel", "descriptionLabel", "doneButton"}, {}}},
    };
}

// Where a control lies in the window's content, the screens' common container (the window shows
// all of it on a large screen, and scrolls it on a small one).
QRect inWindow(QWidget *widget, WelcomeWindowController *window)
{
    return QRect(widget->mapTo(window->containerView(), QPoint(0, 0)), widget->size());
}

// The window lies inside the screen's work area, and every button of the screen shown can be
// brought whole into sight, by scrolling where the window is smaller than its screens.
void checkReachable(WelcomeWindowController *window, QWidget *screen)
{
    QVERIFY2(window->screen()->availableGeometry().contains(window->frameGeometry()),
             qPrintable(QStringLiteral("window at %1,%2 %3x%4").arg(window->frameGeometry().x()).arg(window->frameGeometry().y())
                            .arg(window->frameGeometry().width()).arg(window->frameGeometry().height())));
    auto *scroller = window->findChild<QScrollArea *>(QStringLiteral("contentScrollArea"));
    QVERIFY(scroller);
    for (QAbstractButton *button : screen->findChildren<QAbstractButton *>()) {
        if (!button->isVisibleTo(window) || button->objectName().isEmpty())
            continue;
        scroller->ensureWidgetVisible(button, 0, 0);
        QCoreApplication::processEvents();
        const QRect shown(button->mapTo(scroller->viewport(), QPoint(0, 0)), button->size());
        QVERIFY2(scroller->viewport()->rect().contains(shown),
                 qPrintable(screen->objectName() + "/" + button->objectName() + " cannot be brought into sight"));
    }
}

// Twice the horizontal centre, so that half pixels stay exact.
int doubledCentre(const QRect &rect)
{
    return rect.left() + rect.right() + 1;
}
} // namespace

class TestWelcomeLayout : public QObject
{
    Q_OBJECT
private:
    TranslatedServices *services = nullptr;
    ScriptedAlerts *alerts = nullptr;
    QTranslator *translator = nullptr;

    void useTranslation(bool on)
    {
        if (on && !translator) {
            translator = new QTranslator;
            QVERIFY2(translator->load(QStringLiteral(WELCOME_LONG_STRINGS_QM)), WELCOME_LONG_STRINGS_QM);
            QCoreApplication::installTranslator(translator);
        } else if (!on && translator) {
            QCoreApplication::removeTranslator(translator);
            delete translator;
            translator = nullptr;
        }
        QCOMPARE(Localization::isLocalized(), on);
    }

    W *openWindow()
    {
        W::display();
        W *window = W::instanceNoCreate();
        // The two-column layout of the folders screen runs once the preparation is done.
        QCoreApplication::processEvents();
        return window;
    }

    void showScreen(W *window, QWidget *screen)
    {
        window->advanceToScreen(screen, false, false);
        QCoreApplication::processEvents();
    }

    void saveScreenshot(W *window, const QString &language)
    {
        const QString folder = qEnvironmentVariable("HOISTLY_SCREENSHOT_DIR");
        if (folder.isEmpty())
            return;
        QDir().mkpath(folder);
        const QString scale = qEnvironmentVariable("QT_SCALE_FACTOR", QStringLiteral("1"));
        window->grab().save(QStringLiteral("%1/%2-%3-x%4.png").arg(folder, language, window->currentView()->objectName(), scale));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        W::setAlphaEnvironmentAvailableForTesting(false);
    }

    void init()
    {
        Settings::clearAllSettingsPERMANENTLY();
        services = new TranslatedServices;
        WelcomeServices::setInstance(services);
        alerts = new ScriptedAlerts;
        Alerts::setPresenter(alerts);
    }

    void cleanup()
    {
        if (W *window = W::instanceNoCreate()) {
            QPointer<W> guard(window);
            W::forceClose();
            QTRY_VERIFY(!guard);
        }
        useTranslation(false);
        WelcomeServices::setInstance(nullptr);
        Alerts::setPresenter(nullptr);
        delete services;
        delete alerts;
    }

    void everyControlInsideAndCentred_data()
    {
        QTest::addColumn<bool>("translated");
        QTest::newRow("English") << false;
        QTest::newRow("long translation") << true;
    }
    void everyControlInsideAndCentred()
    {
        QFETCH(bool, translated);
        useTranslation(translated);
        W *window = openWindow();
        QVERIFY(window);
        const int width = window->containerView()->width();
        QCOMPARE(width, translated ? 628 : 600);
        QVERIFY(window->width() <= width + 20); // no wider than the screens and a scroll bar
        const QMap<QString, Centred> centred = centredControls();
        for (int s = 0; s < W::ScreenCount; ++s) {
            QWidget *screen = window->screenView(W::Screen(s));
            showScreen(window, screen);
            const QString name = screen->objectName();
            QVERIFY2(centred.contains(name), qPrintable(name));
            QCOMPARE(screen->geometry(), window->containerView()->rect());
            saveScreenshot(window, translated ? QStringLiteral("long") : QStringLiteral("English"));
            checkReachable(window, screen);
            if (QTest::currentTestFailed())
                return;

            // Every control of the interface file lies inside the window, every title fits.
            for (QWidget *widget : screen->findChildren<QWidget *>()) {
                if (!widget->isVisibleTo(window) || widget->objectName().isEmpty()
                    || widget->objectName().startsWith(QLatin1String("qt_")))
                    continue;
                if (widget->parentWidget() != screen && widget->parentWidget()->parentWidget() != screen)
                    continue; // the embedded folder list lays itself out
                const QRect frame = inWindow(widget, window);
                QVERIFY2(window->containerView()->rect().contains(frame),
                         qPrintable(QStringLiteral("%1/%2 at %3,%4 %5x%6 outside %7 px")
                                        .arg(name, widget->objectName()).arg(frame.x()).arg(frame.y())
                                        .arg(frame.width()).arg(frame.height()).arg(width)));
                if (auto *button = qobject_cast<QPushButton *>(widget))
                    QVERIFY2(button->width() >= button->sizeHint().width(),
                             qPrintable(QStringLiteral("%1/%2 cuts \"%3\"").arg(name, widget->objectName(), button->text())));
            }

            auto find = [&](const QString &child) { return screen->findChild<QWidget *>(child); };
            for (const QString &single : centred[name].singles) {
                QWidget *widget = find(single);
                QVERIFY2(widget, qPrintable(name + "/" + single));
                if (!widget->isVisibleTo(window))
                    continue;
                QVERIFY2(std::abs(doubledCentre(inWindow(widget, window)) - width) <= 2,
                         qPrintable(QStringLiteral("%1/%2 centred at %3 of %4").arg(name, single)
                                        .arg(doubledCentre(inWindow(widget, window)) / 2.0).arg(width)));
            }
            for (const QStringList &row : centred[name].rows) {
                QRect united;
                for (const QString &member : row) {
                    QWidget *widget = find(member);
                    QVERIFY2(widget, qPrintable(name + "/" + member));
                    if (widget->isVisibleTo(window))
                        united = united.united(inWindow(widget, window));
                }
                QVERIFY2(std::abs(doubledCentre(united) - width) <= 2,
                         qPrintable(QStringLiteral("%1/%2 centred at %3 of %4").arg(name, row.join('+'))
                                        .arg(doubledCentre(united) / 2.0).arg(width)));
            }
        }

        // The done screen's avatar is drawn at the screen's pixel density.
        auto *avatar = window->screenView(W::SetupComplete)->findChild<QLabel *>("avatarImage");
        QVERIFY(avatar);
        QCOMPARE(avatar->pixmap().devicePixelRatio(), window->devicePixelRatioF());

        // The login screen's background and web view span the whole window: no strip beside them.
        QWidget *login = window->screenView(W::Login);
        QCOMPARE(login->findChild<QWidget *>("oAuthBackground")->width(), width);
        QCOMPARE(login->findChild<QWidget *>("webViewPlaceholder")->width(), width);
    }

    // The welcome screen's last row: Facebook, Sign in and Google side by side, apart, with the
    // same margin to the window's sides and bottom, below "Sign up".
    void welcomeBottomRow_data() { everyControlInsideAndCentred_data(); }
    void welcomeBottomRow()
    {
        QFETCH(bool, translated);
        useTranslation(translated);
        W *window = openWindow();
        QWidget *welcome = window->screenView(W::Welcome);
        showScreen(window, welcome);
        auto frame = [&](const char *name) { return inWindow(welcome->findChild<QWidget *>(name), window); };
        const QRect facebook = frame("facebookButton"), signIn = frame("signInButton"), google = frame("googleButton"),
                    signUp = frame("signUpButton");
        QCOMPARE(facebook.center().y(), signIn.center().y());
        QCOMPARE(google.center().y(), signIn.center().y());
        QVERIFY(facebook.right() + 8 < signIn.left());
        QVERIFY(signIn.right() + 8 < google.left());
        QVERIFY(signUp.bottom() + 8 < signIn.top());
        const int left = facebook.left(), right = window->containerView()->width() - 1 - google.right();
        const int bottom = window->containerView()->height() - 1 - signIn.bottom();
        QCOMPARE(left, right);
        QVERIFY2(bottom >= 12 && bottom <= 24 && left >= 12, qPrintable(QStringLiteral("%1 %2").arg(left).arg(bottom)));
    }

    // "All photos kept private" in its own colour.
    void privacyNoteColour()
    {
        W *window = openWindow();
        for (W::Screen s : {W::ImportPictures, W::ImportIPhoto}) {
            auto *note = window->screenView(s)->findChild<QLabel *>("privateNote");
            QVERIFY(note);
            note->ensurePolished();
            QCOMPARE(note->palette().color(note->foregroundRole()), QColor(102, 131, 148));
        }
    }

    // Texts name what this platform has, and no screen offers a source it never has.
    void linuxWording()
    {
        W *window = openWindow();
        const QRegularExpression macOnly(QStringLiteral("\\bMac\\b|Finder|menu bar|iPhoto|\\bPhotos\\b|Dock"));
        for (QWidget *screen : window->importScreens()) {
            showScreen(window, screen);
            for (QWidget *widget : screen->findChildren<QWidget *>()) {
                if (!widget->isVisibleTo(window))
                    continue;
                QString text;
                if (auto *label = qobject_cast<QLabel *>(widget))
                    text = label->text();
                else if (auto *button = qobject_cast<QAbstractButton *>(widget))
                    text = button->text();
                QVERIFY2(!text.contains(macOnly), qPrintable(screen->objectName() + ": " + text));
            }
        }
        auto textOf = [&](W::Screen s, const char *name) { return window->screenView(s)->findChild<QLabel *>(name)->text(); };
        QCOMPARE(textOf(W::ImportPictures, "headingLabel"), QStringLiteral("Upload my folders"));
        QVERIFY(textOf(W::SetupComplete, "descriptionLabel").endsWith(QStringLiteral("To view status, use the tray icon.")));
        QCOMPARE(textOf(W::Welcome, "descriptionLabel"), QStringLiteral("Upload automatically from folders, SD cards and hard drives."));
        // The welcome panel shows the sources there are: folders, cards and drives.
        showScreen(window, window->screenView(W::Welcome));
        QStringList tiles;
        for (QLabel *label : window->screenView(W::Welcome)->findChild<QWidget *>("translucentPanel")->findChildren<QLabel *>())
            if (label->isVisibleTo(window) && !label->text().isEmpty() && label->objectName() != QLatin1String("uploadFromLabel"))
                tiles << label->text();
        tiles.sort();
        QCOMPARE(tiles, (QStringList{"Hard Drive", "Pictures folders", "SD Card"}));
    }

    // A control shows its state in its own frame only: a focused Done button draws no frame
    // inside its own, and "Upload" with no source to upload looks as unavailable as it is.
    void buttonsShowTheirState()
    {
        W *window = openWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        auto grabOf = [&](W::Screen s, const char *name, const std::function<void(QWidget *)> &state) {
            showScreen(window, window->screenView(s));
            auto *button = window->screenView(s)->findChild<QPushButton *>(name);
            state(button);
            return button->grab().toImage();
        };
        window->setAttribute(Qt::WA_KeyboardFocusChange); // focus as after a Tab
        const QImage withFocus = grabOf(W::SetupComplete, "doneButton", [](QWidget *b) { b->setFocus(Qt::TabFocusReason); });
        saveScreenshot(window, QStringLiteral("focused"));
        const QImage without = grabOf(W::SetupComplete, "doneButton", [](QWidget *b) { b->clearFocus(); });
        // Inside the rounded border (5 px corners), the focused button is the same picture.
        const int border = int(std::ceil(6 * withFocus.devicePixelRatio()));
        const QRect inside = withFocus.rect().adjusted(border, border, -border, -border);
        QCOMPARE(withFocus.copy(inside), without.copy(inside));
        QVERIFY(window->sourcesShown().isEmpty());
        const QImage unavailable = grabOf(W::ImportFolder, "importFoldersButton", [](QWidget *b) { QVERIFY(!b->isEnabled()); });
        QVERIFY(unavailable != grabOf(W::ImportFolder, "importFoldersButton", [](QWidget *b) { b->setEnabled(true); }));
    }

    // The welcome screen draws Hoistly's own mark, one colour only.
    void ownMark()
    {
        QVERIFY(!QFile::exists(QStringLiteral(":/onboarding/LumoraLogo.svg")));
        QFile mark(QStringLiteral(":/onboarding/HoistlyMark.svg"));
        QVERIFY(mark.open(QIODevice::ReadOnly));
        const QString svg = QString::fromUtf8(mark.readAll());
        QSet<QString> colours;
        for (auto it = QRegularExpression(QStringLiteral("#[0-9a-fA-F]{3,6}\\b")).globalMatch(svg); it.hasNext();)
            colours << it.next().captured(0).toLower();
        QCOMPARE(colours.size(), 1);
        QVERIFY(QSvgRenderer(svg.toUtf8()).isValid());
        // The About pane shows the same mark, in its toolbar and above its texts.
        QFile about(QStringLiteral(":/images/preferences/PrefPaneAbout.svg"));
        QVERIFY(about.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(about.readAll()), svg);

        W *window = openWindow();
        auto *logo = window->screenView(W::Welcome)->findChild<QLabel *>("logoImage");
        QVERIFY(logo);
        const QImage shown = logo->pixmap().toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
        QImage expected(shown.size(), QImage::Format_ARGB32_Premultiplied);
        expected.fill(Qt::transparent);
        QPainter painter(&expected);
        QSvgRenderer(svg.toUtf8()).render(&painter);
        painter.end();
        QCOMPARE(shown, expected);
    }
};

int main(int argc, char **argv)
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    TestWelcomeLayout test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_welcome_layout.moc"

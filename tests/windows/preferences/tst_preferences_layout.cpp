// How the Account and About panes look: no control covers another or is cut, centred rows are
// centred, in English and with a long-string test translation; long names and the space bar
// draw right.
#include "core/Localization.h"
#include "core/Settings.h"
#include "support/PixelProbe.h"
#include "ui_AccountPreferencesView.h"
#include "ui_GeneralPreferencesView.h"
#include "windows/preferences/AccountPreferencesViewController.h"
#include "windows/preferences/GeneralPreferencesViewController.h"
#include "windows/preferences/PreferencesPane.h"
#include "windows/preferences/PreferencesServices.h"
#include "windows/sources/SourcesPreferencesViewController.h"
#include "windows/sources/support/FakeSourcesBackend.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QScreen>
#include <QTemporaryDir>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QSvgRenderer>
#include <QTest>
#include <QTranslator>

namespace {
const QString kLongName = QStringLiteral("Maximiliana Alexandrina Konstantinopoulou-Wolfeschlegelsteinhausenbergerdorff");

QString describe(const QWidget *w)
{
    const QRect g = w->geometry();
    return QStringLiteral("%1 (%2,%3 %4x%5)").arg(w->objectName()).arg(g.x()).arg(g.y()).arg(g.width()).arg(g.height());
}

// The controls a user sees in a pane; the cover image is the backdrop the avatar sits on.
QList<QWidget *> controlsOf(QWidget *pane)
{
    QList<QWidget *> out;
    for (QWidget *child : pane->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
        if (child->isVisible() && child->objectName() != QStringLiteral("coverPhotoImageView"))
            out << child;
    }
    return out;
}

// A text the pane's layout must show whole (the greeting shortens the name on purpose).
bool mustFitWhole(const QWidget *w)
{
    if (auto *button = qobject_cast<const QAbstractButton *>(w))
        return !button->text().isEmpty(); // an image button has no text to cut
    return w->objectName() != QStringLiteral("accountNameTextField");
}

void checkLayout(QWidget *pane)
{
    const QList<QWidget *> controls = controlsOf(pane);
    QVERIFY(controls.size() >= 5);
    for (int i = 0; i < controls.size(); ++i) {
        QWidget *a = controls[i];
        QVERIFY2(pane->rect().contains(a->geometry()), qPrintable(describe(a) + QStringLiteral(" leaves the pane")));
        for (int j = i + 1; j < controls.size(); ++j) {
            QWidget *b = controls[j];
            QVERIFY2(!a->geometry().intersects(b->geometry()), qPrintable(describe(a) + QStringLiteral(" covers ") + describe(b)));
        }
        if (!mustFitWhole(a))
            continue;
        if (qobject_cast<QAbstractButton *>(a) || qobject_cast<QLabel *>(a)) {
            QVERIFY2(a->sizeHint().width() <= a->width(),
                     qPrintable(describe(a) + QStringLiteral(" cuts its text, needs %1").arg(a->sizeHint().width())));
        }
        // A check box draws its box and title from the left edge: any width beyond what they
        // need would push what the user sees off the centre of the row.
        if (qobject_cast<QCheckBox *>(a))
            QVERIFY2(a->width() <= a->sizeHint().width() + 1, qPrintable(describe(a) + QStringLiteral(" is wider than its title")));
    }
    // Rows: controls whose heights overlap. Every row, as a whole, is centred.
    QList<QRect> rows;
    for (QWidget *c : controls) {
        const QRect g = c->geometry();
        bool joined = false;
        for (QRect &row : rows) {
            if (g.top() <= row.bottom() && g.bottom() >= row.top()) {
                row |= g;
                joined = true;
                break;
            }
        }
        if (!joined)
            rows << g;
    }
    for (const QRect &row : rows) {
        const int left = row.left();
        const int right = pane->width() - 1 - row.right();
        QVERIFY2(qAbs(left - right) <= 1, qPrintable(QStringLiteral("row at y %1 is off centre: %2 left, %3 right of %4")
                                                         .arg(row.y()).arg(left).arg(right).arg(pane->width())));
    }
}

QImage renderSvg(const QString &resource, qreal dpr)
{
    QSvgRenderer renderer(resource);
    QImage image(renderer.defaultSize() * dpr, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    renderer.render(&painter);
    return image;
}

// Every button of the pane can be brought whole into sight: scrolled to where the window is
// smaller than the pane (a control larger than the window, corner by corner).
void checkReachable(QWidget *pane)
{
    QWidget *window = pane->window();
    QVERIFY2(window->screen()->availableGeometry().contains(window->frameGeometry()), qPrintable(describe(window)));
    auto *scroller = window->findChild<QScrollArea *>();
    for (QAbstractButton *control : pane->findChildren<QAbstractButton *>()) {
        if (!control->isVisibleTo(pane))
            continue;
        const QRect whole = control->rect();
        QList<QRect> parts{whole};
        if (scroller && !QRect(QPoint(), scroller->viewport()->size()).contains(whole))
            parts = {QRect(whole.topLeft(), QSize(1, 1)), QRect(whole.bottomRight(), QSize(1, 1))};
        for (const QRect &part : parts) {
            QCoreApplication::processEvents(); // the pane's layout first, then the scroll range
            if (scroller) {
                const QPoint at = control->mapTo(scroller->widget(), part.center());
                scroller->ensureVisible(at.x(), at.y(), part.width() / 2 + 1, part.height() / 2 + 1);
            }
            QCoreApplication::processEvents();
            QRect shown = part; // what every enclosing widget lets through
            for (QWidget *w = control->parentWidget(); w; w = w->parentWidget())
                shown &= QRect(control->mapFrom(w, QPoint(0, 0)), w->size());
            QVERIFY2(shown == part, qPrintable(describe(control) + QStringLiteral(" cannot be brought into sight")));
        }
    }
}

// Columns [x, x + width) of a against columns [bx, bx + width) of b, channel by channel.
int largestDifference(const QImage &a, int x, const QImage &b, int bx, int width)
{
    const QImage ia = a.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage ib = b.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    int worst = 0;
    for (int y = 0; y < qMin(ia.height(), ib.height()); ++y) {
        for (int i = 0; i < width; ++i)
            worst = qMax(worst, PixelProbe::distance(ia.pixel(x + i, y), ib.pixel(bx + i, y)));
    }
    return worst;
}
} // namespace

class TestPreferencesLayout : public QObject
{
    Q_OBJECT
    QTranslator m_translator;

    PreferencesPane *openWindow()
    {
        PreferencesPane *window = PreferencesPane::preferencesWindowController();
        window->show();
        if (!QTest::qWaitForWindowExposed(window))
            return nullptr;
        return window;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY2(m_translator.load(QStringLiteral(HOISTLY_TEST_LONG_QM)), HOISTLY_TEST_LONG_QM);
    }

    // A remembered Upload pane size larger than this screen: the window is shown fitted to the
    // screen within the window manager's real frame, the pane scrolls, and the remembered size
    // stays for a larger screen. (First here: the first window of the process is the one that
    // opens before any frame was seen.)
    void largerRememberedSizeIsShownFittedAndKept()
    {
        const QString key = PanedPreferencesWindowController::frameKeyForIdentifier(QStringLiteral("SourcePreferences"));
        const QString remembered = QStringLiteral("{{0, 0}, {1400, 1000}}");
        Settings::setObject(remembered, key);
        PreferencesPane *window = openWindow();
        QVERIFY(window);
        QCOMPARE(Settings::stringForKey(key), remembered);
        const QRect available = window->screen()->availableGeometry();
        QTRY_COMPARE(window->frameGeometry(), available);
        window->selectControllerAtIndex(0);
        window->selectControllerAtIndex(1);
        QVERIFY2(available.contains(window->frameGeometry()), qPrintable(describe(window)));
        window->close();
        QCOMPARE(Settings::stringForKey(key), remembered);
    }
    void init()
    {
        Settings::clearAllSettingsPERMANENTLY();
        PreferencesServices::reset();
        auto &s = PreferencesServices::instance();
        s.currentUserFullName = [] { return kLongName; };
        s.currentUserName = [] { return QStringLiteral("max"); };
        s.isAuthorized = [] { return true; };
        s.photoCount = [] { return 1234; };
        s.storageUsed = [] { return qint64(123) * 1024 * 1024 * 1024; };
    }
    void cleanup()
    {
        if (QWidget *w = PreferencesPane::preferencesWindowControllerNoCreate())
            w->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::removeTranslator(&m_translator);
    }

    void panesLayOutWithoutOverlap_data()
    {
        QTest::addColumn<bool>("translated");
        QTest::addColumn<bool>("signedIn");
        // The Upload pane's status line: the engine's longest ones, one of them with a reason
        // as the catalogue worded it.
        QTest::addColumn<QString>("line1");
        QTest::addColumn<QString>("line2");
        QTest::addColumn<bool>("whole"); // two lines hold all of it
        const QString unsaved = QStringLiteral("Uploads wait: the photo catalogue cannot be saved.");
        const QString reported = QStringLiteral("The catalogue reported: %1.");
        const QString badName = QStringLiteral("Its name is not valid UTF-8; rename it to back it up.");
        QTest::newRow("English") << false << true << unsaved << reported << true;
        QTest::newRow("translated") << true << true << unsaved << reported << false;
        QTest::newRow("translated, signed out") << true << false << QStringLiteral("Signed out of Lumora.")
                                                << QStringLiteral("Sign in to back up your photos.") << true;
        QTest::newRow("translated, disk full") << true << true << unsaved
                                               << QStringLiteral("Free up disk space; uploading resumes by itself.") << true;
        QTest::newRow("translated, sign-in refused") << true << true << QStringLiteral("Lumora no longer accepts your sign-in.")
                                                     << QStringLiteral("Sign in again to back up your photos.") << true;
        QTest::newRow("settings file with a long path") << false << false << QStringLiteral("Signed out of Lumora.")
                                                        << QStringLiteral("Your settings could not be read: /home/maximiliane.wolfeschlegel"
                                                                          "steinhausen/.config/Lumora/Hoistly.conf (%1).")
                                                        << false;
        const QString oneFile = QStringLiteral("1 file could not be backed up.");
        QTest::newRow("name not UTF-8") << false << true << oneFile << badName << true;
        QTest::newRow("translated, name not UTF-8") << true << true << oneFile << badName << true;
    }
    void panesLayOutWithoutOverlap()
    {
        QFETCH(bool, translated);
        QFETCH(bool, signedIn);
        QFETCH(QString, line1);
        QFETCH(QString, line2);
        QFETCH(bool, whole);
        if (translated)
            QCoreApplication::installTranslator(&m_translator);
        FakeSourcesBackend backend;
        backend.line1 = Localization::tr(line1);
        backend.line2 = Localization::tr(line2).arg(QStringLiteral("attempt to write a readonly database"));
        SourcesBackend::setInstance(&backend);
        auto restore = qScopeGuard([] { SourcesBackend::setInstance(nullptr); });
        QCOMPARE(Localization::isLocalized(), translated);
        if (!signedIn) {
            auto &s = PreferencesServices::instance();
            s.currentUserFullName = [] { return QString(); };
            s.currentUserName = [] { return QString(); };
            s.isAuthorized = [] { return false; };
        }
        PreferencesPane *window = openWindow();
        QVERIFY(window);

        window->selectControllerAtIndex(0);
        auto *account = dynamic_cast<AccountPreferencesViewController *>(window->selectedViewController());
        QVERIFY(account);
        QTRY_VERIFY(account->isVisible());
        // The translated panes are at least 80 points wider than the interface file's 560.
        QVERIFY(account->width() >= (translated ? 640 : 560));
        checkLayout(account);
        checkReachable(account);
        if (QTest::currentTestFailed())
            return;
        if (translated) {
            QCOMPARE(account->ui()->logOutButton->text(), Localization::tr(QStringLiteral("Log out")));
            QVERIFY(account->ui()->viewPhotoStreamButton->width() >= 170 + 60);
            QVERIFY(account->ui()->logOutButton->width() >= 80 + 60);
        }

        // The status line is shown from its start, on a second line when one is too short, only
        // then shortened in the second line's middle, its end kept; whole in its tooltip.
        window->selectControllerAtIndex(1);
        auto *upload = dynamic_cast<SourcesPreferencesViewController *>(window->selectedViewController());
        QVERIFY(upload);
        QTRY_VERIFY(upload->isVisible());
        upload->updateStatus();
        QLabel *status = upload->statusLabel();
        const QString all = backend.line1 + QLatin1Char(' ') + backend.line2;
        QCOMPARE(status->toolTip(), all);
        QVERIFY2(upload->rect().contains(status->geometry().translated(status->parentWidget()->mapTo(upload, QPoint()))),
                 qPrintable(describe(status) + QStringLiteral(" leaves the pane")));
        QVERIFY2(status->parentWidget()->rect().contains(status->geometry()),
                 qPrintable(describe(status) + QStringLiteral(" leaves its button")));
        const QStringList lines = status->text().split(QLatin1Char('\n'));
        QVERIFY2(lines.size() <= 2, qPrintable(status->text()));
        QVERIFY2(status->contentsRect().height() >= int(lines.size()) * status->fontMetrics().height(),
                 qPrintable(describe(status) + QStringLiteral(" cuts its lines")));
        for (const QString &line : lines)
            QVERIFY2(status->fontMetrics().horizontalAdvance(line) <= status->contentsRect().width(), qPrintable(line + QStringLiteral(" is cut")));
        // Spaces aside: a line may break inside a path, where the text has none.
        const QString shown = lines.join(QString()).remove(QLatin1Char(' ')), text = QString(all).remove(QLatin1Char(' '));
        const QStringList ends = shown.split(QChar(0x2026));
        QVERIFY2(shown == text || (!whole && ends.size() == 2 && text.startsWith(ends[0]) && !ends[1].isEmpty() && text.endsWith(ends[1])),
                 qPrintable(status->text() + QStringLiteral(" is not the start and the end of ") + all));
        checkReachable(upload);

        window->selectControllerAtIndex(2);
        auto *about = dynamic_cast<GeneralPreferencesViewController *>(window->selectedViewController());
        QVERIFY(about);
        QTRY_VERIFY(about->isVisible());
        QVERIFY(about->width() >= (translated ? 640 : 560));
        checkLayout(about);
        checkReachable(about);
        if (QTest::currentTestFailed())
            return;
        if (translated) {
            // Every button speaks the translation.
            QCOMPARE(about->ui()->aboutButton->text(), Localization::tr(QStringLiteral("About")));
            QCOMPARE(about->ui()->checkForUpdatesButton->text(), Localization::tr(QStringLiteral("Check for updates")));
            QCOMPARE(about->ui()->quitButton->text(), Localization::tr(QStringLiteral("Quit")));
            QCOMPARE(about->ui()->contactUsButton->text(), Localization::tr(QStringLiteral("Contact us")));
            QVERIFY(about->ui()->aboutButton->text() != QStringLiteral("About"));
            QVERIFY(about->ui()->contactUsButton->width() >= 100 + 60);
        } else {
            QCOMPARE(about->ui()->aboutButton->text(), QStringLiteral("About"));
        }
    }

    // The avatar and the cover are drawn with the screen's pixels.
    void imagesAreDrawnAtTheScreensPixels()
    {
        QTemporaryDir dir;
        const QString avatarPath = dir.filePath(QStringLiteral("avatar.png"));
        const QString coverPath = dir.filePath(QStringLiteral("cover.png"));
        QImage photo(2000, 600, QImage::Format_RGB32);
        photo.fill(Qt::blue);
        QVERIFY(photo.save(coverPath) && photo.copy(0, 0, 512, 512).save(avatarPath));
        auto &s = PreferencesServices::instance();
        s.userImageFilePath = [avatarPath] { return avatarPath; };
        s.userCoverImageFilePath = [coverPath] { return coverPath; };
        PreferencesPane *window = openWindow();
        QVERIFY(window);
        window->selectControllerAtIndex(0);
        auto *account = dynamic_cast<AccountPreferencesViewController *>(window->selectedViewController());
        QVERIFY(account);
        const qreal dpr = window->devicePixelRatioF();
        QLabel *avatar = account->ui()->avatarImageView;
        QCOMPARE(avatar->pixmap().devicePixelRatio(), dpr);
        QCOMPARE(avatar->pixmap().size(), avatar->size() * dpr);
        QLabel *cover = account->ui()->coverPhotoImageView;
        QCOMPARE(cover->pixmap().devicePixelRatio(), dpr);
        QCOMPARE(cover->pixmap().size(), QSize(account->width(), cover->height()) * dpr);
    }

    // A name longer than the greeting's room is shortened with an ellipsis; the greeting stays
    // whole, centred and inside its label, and the tooltip has the whole name.
    void greetingShortensLongNamesAndStaysCentred()
    {
        AccountPreferencesViewController pane;
        pane.resize(640, pane.height());
        QLabel *label = pane.ui()->accountNameTextField;
        const QImage image = label->grab().toImage();
        const QRect ink = PixelProbe::inkBounds(image, image.pixel(0, 0));
        QVERIFY(!ink.isEmpty());
        const int dpr = qRound(image.devicePixelRatio());
        const int left = ink.left();
        const int right = image.width() - 1 - ink.right();
        // Not cut at either end, and centred (within the glyphs' own side bearings).
        QVERIFY2(left > 0 && right > 0, qPrintable(QStringLiteral("ink from %1 to %2 of %3").arg(ink.left()).arg(ink.right()).arg(image.width())));
        QVERIFY2(qAbs(left - right) <= 3 * dpr, qPrintable(QStringLiteral("%1 left, %2 right").arg(left).arg(right)));
        QCOMPARE(label->toolTip(), kLongName);
        QVERIFY(label->text().startsWith(QStringLiteral("Namaste, Maximiliana")));
        QVERIFY(label->text().endsWith(QStringLiteral("\u2026!")));
        // A short name is shown as it is.
        PreferencesServices::instance().currentUserFullName = [] { return QStringLiteral("Pat Lee"); };
        AccountPreferencesViewController shortName;
        QCOMPARE(shortName.ui()->accountNameTextField->text(), QStringLiteral("Namaste, Pat Lee!"));
    }

    // The space bar's ends are its images' 10-point caps at their own size, at any bar width.
    void spaceBarKeepsItsCaps()
    {
        PreferencesServices::instance().storageUsed = [] { return qint64(500) * 1024 * 1024 * 1024; }; // half full
        AccountPreferencesViewController pane;
        pane.updateStats();
        QLabel *bar = pane.ui()->spaceUsedImageView;
        const QImage drawn = bar->pixmap().toImage();
        const qreal dpr = bar->devicePixelRatioF();
        QCOMPARE(drawn.size(), bar->size() * dpr);
        QCOMPARE(bar->property("fillWidth").toInt(), bar->width() / 2);
        const QImage full = renderSvg(QStringLiteral(":/images/preferences/SpaceProgressBarFull.svg"), dpr);
        const QImage empty = renderSvg(QStringLiteral(":/images/preferences/SpaceProgressBarEmpty.svg"), dpr);
        QVERIFY(drawn.width() > 2 * full.width()); // the bar is much wider than its images
        QCOMPARE(drawn.height(), full.height());
        // Left cap from the full image, right cap from the empty one, unstretched.
        const int cap = qRound(10 * dpr);
        QVERIFY2(largestDifference(drawn, 0, full, 0, cap) <= 8, "left end is stretched");
        QVERIFY2(largestDifference(drawn, drawn.width() - cap, empty, empty.width() - cap, cap) <= 8, "right end is squashed");
        // Its last column is the empty image's outline, not a transparent or filled sliver.
        QVERIFY(qAlpha(drawn.pixel(drawn.width() - 1, drawn.height() / 2)) > 100);
    }
};

QTEST_MAIN(TestPreferencesLayout)
#include "tst_preferences_layout.moc"

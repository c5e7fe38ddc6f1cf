// The alert interface: the real presenter as a window-modal sheet and as an application-modal
// dialog (answered by clicking its buttons, never by a nested loop), and the scripted doubles.
#include "app/widgets/ModalUi.h"
#include "app/widgets/TextUtils.h"
#include "support/ScriptedModalUi.h"

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <QtTest>

static QMessageBox *openMessageBox()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible())
            return box;
    return nullptr;
}

static QPushButton *buttonTitled(QMessageBox *box, const QString &title)
{
    for (QAbstractButton *b : box->buttons())
        if (b->text() == title)
            return qobject_cast<QPushButton *>(b);
    return nullptr;
}

class TestModalUi : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void sheetOnVisibleWindow()
    {
        QWidget window;
        window.resize(400, 300);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        std::optional<AlertResult> result;
        AlertRequest request{QStringLiteral("Remove folder?"), QStringLiteral("Photos in <b>it</b> stay."),
                             {QStringLiteral("Remove"), QStringLiteral("Cancel")}, &window,
                             QStringLiteral("Don't ask again")};
        Alerts::show(request, [&](AlertResult r) { result = r; });
        QMessageBox *box = openMessageBox();
        QVERIFY(box);
        QCOMPARE(box->windowModality(), Qt::WindowModal);
        QCOMPARE(box->parentWidget(), &window);
        QCOMPARE(box->textFormat(), Qt::PlainText);
        QCOMPARE(box->defaultButton(), buttonTitled(box, QStringLiteral("Remove")));
        QVERIFY(!result); // nothing answered until a button is pressed
        box->checkBox()->setChecked(true);
        buttonTitled(box, QStringLiteral("Cancel"))->click();
        QTRY_VERIFY(result.has_value());
        QCOMPARE(result->button, 1);
        QVERIFY(result->checkboxChecked);
    }

    void applicationModalWithoutWindow()
    {
        QWidget hidden; // never shown: no sheet on it
        std::optional<AlertResult> result;
        NSAlertUtils::beginSheetOrRunModalForWindow(
            AlertRequest{QStringLiteral("Error communicating with Lumora"), QStringLiteral("timed out"), {}, {}, {}},
            &hidden, [&](AlertResult r) { result = r; });
        QMessageBox *box = openMessageBox();
        QVERIFY(box);
        QCOMPARE(box->windowModality(), Qt::ApplicationModal);
        QVERIFY(box->parentWidget() == nullptr);
        QCOMPARE(box->buttons().size(), 1); // no buttons given: one "OK"
        QVERIFY(!box->checkBox());
        box->buttons().first()->click();
        QTRY_VERIFY(result.has_value());
        QCOMPARE(result->button, 0);
        QVERIFY(!result->checkboxChecked);
    }

    void escapePicksCancel()
    {
        std::optional<AlertResult> result;
        // Translated titles: the cancel button is known by its place.
        Alerts::show(AlertRequest{QStringLiteral("Beenden?"), {}, {QStringLiteral("Beenden"), QStringLiteral("Abbrechen"), QStringLiteral("Später")}, {}, {}, 1},
                     [&](AlertResult r) { result = r; });
        QMessageBox *box = openMessageBox();
        QVERIFY(box);
        QCOMPARE(box->buttonRole(buttonTitled(box, QStringLiteral("Abbrechen"))), QMessageBox::RejectRole);
        box->reject(); // Escape or the close box
        QTRY_VERIFY(result.has_value());
        QCOMPARE(result->button, 1);
    }

    void savePanelModality()
    {
        QWidget window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *panel = new QFileDialog;
        panel->setOption(QFileDialog::DontUseNativeDialog);
        panel->setAttribute(Qt::WA_DeleteOnClose);
        int answered = -1;
        NSAlertUtils::beginSheetOrRunModalForWindow(panel, &window, [&](int r) { answered = r; });
        QCOMPARE(panel->windowModality(), Qt::WindowModal);
        QCOMPARE(panel->parentWidget(), &window);
        panel->reject();
        QCOMPARE(answered, int(QDialog::Rejected));

        auto *modal = new QFileDialog;
        modal->setOption(QFileDialog::DontUseNativeDialog);
        modal->setAttribute(Qt::WA_DeleteOnClose);
        NSAlertUtils::beginSheetOrRunModalForWindow(modal, nullptr, [&](int r) { answered = r; });
        QCOMPARE(modal->windowModality(), Qt::ApplicationModal);
        QVERIFY(modal->isVisible());
        static_cast<QDialog *>(modal)->done(QDialog::Accepted);
        QCOMPARE(answered, int(QDialog::Accepted));
    }

    void scriptedDoubles()
    {
        ScriptedAlerts alerts;
        InstallAlerts guard(&alerts);
        alerts.enqueue(1, true);
        alerts.enqueueTitle(QStringLiteral("Keep"));
        alerts.enqueueDeferred();
        QList<AlertResult> results;
        auto record = [&](AlertResult r) { results << r; };
        Alerts::show({QStringLiteral("A"), {}, {QStringLiteral("x"), QStringLiteral("y")}, {}, {}}, record);
        Alerts::show({QStringLiteral("B"), {}, {QStringLiteral("Delete"), QStringLiteral("Keep")}, {}, {}}, record);
        Alerts::show({QStringLiteral("C"), {}, {}, {}, {}}, record);
        QCOMPARE(results.size(), 2);
        QCOMPARE(results[0].button, 1);
        QVERIFY(results[0].checkboxChecked);
        QCOMPARE(results[1].button, 1);
        QVERIFY(alerts.answerPending(0));
        QCOMPARE(results.size(), 3);
        QVERIFY(!alerts.answerPending(0));
        QCOMPARE(alerts.titles(), (QStringList{QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C")}));
        QVERIFY(openMessageBox() == nullptr);

        ScriptedFolderChooser chooser;
        InstallFolderChooser g2(&chooser);
        chooser.enqueue({QStringLiteral("/tmp/a"), QStringLiteral("/tmp/b")});
        QStringList chosen;
        FolderChoosers::chooser()->chooseFolders(nullptr, QStringLiteral("Add"), true, [&](QStringList f) { chosen = f; });
        QCOMPARE(chosen.size(), 2);
        FolderChoosers::chooser()->chooseFolders(nullptr, QStringLiteral("Add"), false, [&](QStringList f) { chosen = f; });
        QVERIFY(chosen.isEmpty()); // nothing queued: cancelled
        QCOMPARE(chooser.requests.last().multiple, false);

        RecordingUrlOpener opener;
        {
            InstallUrlOpener g3(&opener);
            UrlOpeners::open(QUrl(QStringLiteral("https://www.example.com/")));
            QCOMPARE(opener.opened.size(), 1);
        }
        QVERIFY(UrlOpeners::opener() != &opener); // the real one is back after the scope
    }
};

QTEST_MAIN(TestModalUi)
#include "tst_modal_ui.moc"

#include "app/widgets/ModalUi.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeView>

namespace {

// A visible parent gets a window-modal sheet; otherwise the alert stands alone, application-modal.
class MessageBoxPresenter final : public AlertPresenter
{
public:
    void present(const AlertRequest &request, std::function<void(AlertResult)> done) override
    {
        QWidget *parent = request.sheetParent;
        const bool sheet = parent && parent->isVisible();
        auto *box = new QMessageBox(sheet ? parent->window() : nullptr);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(sheet ? Qt::WindowModal : Qt::ApplicationModal);
        box->setWindowTitle(request.title);
        box->setIcon(QMessageBox::Warning);
        // Titles and messages often carry names from outside (files, albums, accounts).
        box->setTextFormat(Qt::PlainText);
        box->setText(request.title);
        box->setInformativeText(request.message);

        QStringList titles = request.buttons;
        if (titles.isEmpty())
            titles << QObject::tr("OK");
        // Escape and the close box answer with the cancel button, known by its place and not by
        // its title, which a translation changes.
        const int escapeIndex =
            request.cancelButton >= 0 && request.cancelButton < titles.size() ? request.cancelButton : titles.size() - 1;
        QList<QAbstractButton *> buttons;
        for (int i = 0; i < titles.size(); ++i) {
            const QMessageBox::ButtonRole role = i == request.cancelButton ? QMessageBox::RejectRole
                                                 : i == 0                  ? QMessageBox::AcceptRole
                                                                           : QMessageBox::ActionRole;
            QPushButton *button = box->addButton(titles.at(i), role);
            buttons << button;
            if (i == 0)
                box->setDefaultButton(button);
        }
        box->setEscapeButton(buttons.at(escapeIndex));

        QCheckBox *check = nullptr;
        if (!request.checkboxText.isEmpty()) {
            check = new QCheckBox(request.checkboxText, box);
            box->setCheckBox(check);
        }

        QObject::connect(box, &QMessageBox::finished, box,
                         [box, buttons, check, escapeIndex, done = std::move(done)](int) {
                             AlertResult result;
                             const int clicked = buttons.indexOf(box->clickedButton());
                             result.button = clicked >= 0 ? clicked : escapeIndex;
                             result.checkboxChecked = check && check->isChecked();
                             if (done)
                                 done(result);
                         });
        // open() makes a dialog window-modal; the application-modal form is shown instead.
        if (sheet)
            box->open();
        else
            box->show();
    }
};

class FileDialogChooser final : public FolderChooser
{
public:
    void chooseFolders(QWidget *parent, const QString &title, bool multiple,
                       std::function<void(QStringList)> done) override
    {
        auto *dialog = new QFileDialog(parent, title);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->setFileMode(QFileDialog::Directory);
        dialog->setOption(QFileDialog::ShowDirsOnly, true);
        if (multiple) {
            // The platform dialogs choose one folder at a time; Qt's own lets the views select many.
            dialog->setOption(QFileDialog::DontUseNativeDialog, true);
            for (auto *view : dialog->findChildren<QListView *>())
                view->setSelectionMode(QAbstractItemView::ExtendedSelection);
            for (auto *view : dialog->findChildren<QTreeView *>())
                view->setSelectionMode(QAbstractItemView::ExtendedSelection);
        }
        QObject::connect(dialog, &QFileDialog::finished, dialog,
                         [dialog, done = std::move(done)](int result) {
                             QStringList chosen;
                             if (result == QDialog::Accepted)
                                 chosen = dialog->selectedFiles();
                             if (done)
                                 done(chosen);
                         });
        if (parent && parent->isVisible()) {
            dialog->open();
        } else {
            dialog->setWindowModality(Qt::ApplicationModal);
            dialog->show();
        }
    }
};

class DesktopUrlOpener final : public UrlOpener
{
public:
    void open(const QUrl &url) override { QDesktopServices::openUrl(url); }

    void revealFile(const QString &path) override
    {
        const QFileInfo info(path);
        const QUrl fileUrl = QUrl::fromLocalFile(info.absoluteFilePath());
        const QUrl folderUrl = QUrl::fromLocalFile(info.absolutePath());
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
            QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
        call << QStringList{fileUrl.toString()} << QString();
        // Asked without waiting: a file manager that is slow to start must not freeze the menus.
        auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, 5000));
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [folderUrl](QDBusPendingCallWatcher *w) {
            if (w->isError()) // no file manager service: open the enclosing folder instead
                QDesktopServices::openUrl(folderUrl);
            w->deleteLater();
        });
    }
};

MessageBoxPresenter &realPresenter()
{
    static MessageBoxPresenter presenter;
    return presenter;
}
FileDialogChooser &realChooser()
{
    static FileDialogChooser chooser;
    return chooser;
}
DesktopUrlOpener &realOpener()
{
    static DesktopUrlOpener opener;
    return opener;
}

AlertPresenter *g_presenter = nullptr;
FolderChooser *g_chooser = nullptr;
UrlOpener *g_opener = nullptr;

} // namespace

namespace Alerts {
AlertPresenter *presenter()
{
    return g_presenter ? g_presenter : &realPresenter();
}
void setPresenter(AlertPresenter *presenter)
{
    g_presenter = presenter;
}
void show(const AlertRequest &request, std::function<void(AlertResult)> done)
{
    presenter()->present(request, std::move(done));
}
} // namespace Alerts

namespace FolderChoosers {
FolderChooser *chooser()
{
    return g_chooser ? g_chooser : &realChooser();
}
void setChooser(FolderChooser *chooser)
{
    g_chooser = chooser;
}
} // namespace FolderChoosers

namespace UrlOpeners {
UrlOpener *opener()
{
    return g_opener ? g_opener : &realOpener();
}
void setOpener(UrlOpener *opener)
{
    g_opener = opener;
}
void open(const QUrl &url)
{
    opener()->open(url);
}
} // namespace UrlOpeners

// The onboarding window's choice of sources: the standard folders, the photo library and further
// folders, ticked, dropped, chosen or skipped.
#include "windows/onboarding/WelcomeWindowController.h"

#include "app/widgets/ModalUi.h"
#include "app/widgets/ViewTags.h"
#include "core/Settings.h"
#include "platform/StandardPaths.h"
#include "windows/onboarding/WelcomeDropView.h"
#include "windows/onboarding/WelcomeInternals.h"
#include "windows/onboarding/WelcomeServices.h"

#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace {
QString L(const QString &english)
{
    return WelcomeServices::instance()->localized(english);
}
} // namespace

QCheckBox *WelcomeWindowController::optionOnCurrentScreen(int tag) const
{
    return m_currentView ? findViewWithTag<QCheckBox>(m_currentView, tag) : nullptr;
}

void WelcomeWindowController::importYesButtonHit()
{
    WelcomeServices *services = WelcomeServices::instance();
    const Screen screen = currentScreen();
    QCheckBox *first = optionOnCurrentScreen(2110);
    bool ticked = !first || first->isChecked();

    switch (screen) {
    case ImportIPhoto:
        if (m_usingOSXPhotos)
            services->setImportOSXPhotosEnabled(ticked);
        else
            services->setImportIPhotoEnabled(ticked);
        break;
    case ImportIMessage:
        services->setImportIMessageEnabled(ticked);
        break;
    case ImportPictures: {
        const QString folders[4] = {services->picturesDirectory(), services->desktopDirectory(),
                                    services->downloadsDirectory(), services->documentsDirectory()};
        ticked = false;
        for (int i = 0; i < 5; ++i) {
            QCheckBox *box = optionOnCurrentScreen(2110 + i);
            const bool on = box && box->isChecked();
            ticked = ticked || on;
            if (i < 4 && !folders[i].isEmpty()) {
                if (on)
                    services->addCustomFolder(folders[i]);
                else
                    services->removeCustomFolder(folders[i]);
            }
        }
        refreshSourcesView();
        break;
    }
    case ImportFolder:
        for (const QString &folder : std::as_const(m_foldersToAdd))
            if (m_selectedFoldersToAdd.contains(folder))
                services->addCustomFolder(folder);
        refreshSourcesView();
        break;
    default:
        break;
    }

    services->setProperty(QStringLiteral("Misc: Last interaction"), QDateTime::currentDateTimeUtc());
    const QString yesNo = ticked ? QStringLiteral("yes") : QStringLiteral("no");
    switch (screen) {
    case ImportIPhoto:
        services->trackAndIncrement(QStringLiteral("Welcome: iPhoto screen %1").arg(yesNo), 3);
        if (ticked && (NSDevice::osxVersionMajor() > 10 || NSDevice::osxVersionMinor() >= 13)) {
            services->hasPhotosAuthorizationOrRequest([](int status) {
                if (status == 3)
                    WelcomeServices::instance()->trackAndIncrement(
                        QStringLiteral("Welcome: iPhoto screen - Authorised Iphoto permissions yes"), 3);
            });
        }
        break;
    case ImportIMessage:
        services->trackAndIncrement(QStringLiteral("Welcome: iMessage %1").arg(yesNo), 3);
        break;
    case ImportDropbox:
        services->trackAndIncrement(QStringLiteral("Welcome: Dropbox screen %1").arg(yesNo), 3);
        break;
    case ImportPictures: {
        QVariantMap properties;
        const char *keys[4] = {"selectedPictures", "selectedDesktop", "selectedDownloads", "selectedDocuments"};
        for (int i = 0; i < 4; ++i) {
            QCheckBox *box = optionOnCurrentScreen(2110 + i);
            properties.insert(QString::fromLatin1(keys[i]), box && box->isChecked());
        }
        if (QCheckBox *dropbox = optionOnCurrentScreen(2114); dropbox && services->isDropboxInstalled())
            properties.insert(QStringLiteral("selectedDropbox"), dropbox->isChecked());
        int unticked = 0;
        for (const QVariant &value : std::as_const(properties))
            if (!value.toBool())
                ++unticked;
        services->trackAndIncrement(QStringLiteral("Welcome: Folders screen %1").arg(ticked ? QStringLiteral("yes")
                                                                                            : QStringLiteral("no to all")),
                                    3, properties);
        if (unticked == 0)
            services->trackAndIncrement(QStringLiteral("Welcome: Folders screen yes to all"), 3, properties);
        else if (unticked < properties.size())
            services->trackAndIncrement(QStringLiteral("Welcome: Folders screen all minus %1").arg(unticked), 3, properties);
        break;
    }
    case ImportFolder:
        services->trackAndIncrement(
            QStringLiteral("Welcome: Summary screen %1").arg(services->allSources().isEmpty() ? QStringLiteral("no")
                                                                                               : QStringLiteral("yes")),
            3,
            {{QStringLiteral("sources"), services->allSources().size()},
             {QStringLiteral("sourcesFiltered"), services->allSourcesFiltered().size()},
             {QStringLiteral("customFolders"), services->customFolders().size()}});
        break;
    default:
        break;
    }
    QTimer::singleShot(0, this, [this] { advanceImportScreen(); });
}

void WelcomeWindowController::importNoButtonHit_Skip()
{
    WelcomeServices *services = WelcomeServices::instance();
    const Screen screen = currentScreen();
    if (screen == ImportFolder) {
        for (const QString &folder : std::as_const(m_foldersToAdd)) {
            if (m_selectedFoldersToAdd.contains(folder)) {
                importYesButtonHit();
                return;
            }
        }
    }
    services->setProperty(QStringLiteral("Misc: Last interaction"), QDateTime::currentDateTimeUtc());
    QString event;
    switch (screen) {
    case ImportIPhoto: event = QStringLiteral("Welcome: iPhoto screen no"); break;
    case ImportIMessage: event = QStringLiteral("Welcome: iMessage screen no"); break;
    case ImportDropbox: event = QStringLiteral("Welcome: Dropbox screen no"); break;
    case ImportFolder: event = QStringLiteral("Welcome: Folders screen no"); break;
    default: break;
    }
    if (!event.isEmpty())
        services->trackAndIncrement(event, 3);

    AlertRequest request;
    switch (screen) {
    case ImportIPhoto:
        request.title = QStringLiteral("Skip uploading from iPhoto?");
        request.message = QStringLiteral("We won't disrupt your iPhoto collection, and with 1TB free we can upload "
                                         "everything you've got. Are you sure you'd like to skip?");
        request.buttons = {QStringLiteral("Don't Upload")};
        break;
    case ImportIMessage:
        request.title = QStringLiteral("Skip uploading?");
        request.message = QStringLiteral("Your iMessage photos won't be uploaded. Are you sure you'd like to skip?");
        request.buttons = {QStringLiteral("Don't Upload")};
        break;
    case ImportDropbox:
        request.title = QStringLiteral("Skip uploading?");
        request.message = QStringLiteral("We won't disrupt your Dropbox, and with 1TB free we can upload everything "
                                         "you've got. Are you sure you'd like to skip?");
        request.buttons = {QStringLiteral("Don't Upload")};
        break;
    case ImportFolder:
        request.title = QStringLiteral("Skip uploading from folders?");
        request.message = QStringLiteral("There are no folders you'd like to upload?");
        request.buttons = {QStringLiteral("Skip")};
        break;
    default:
        request.title = QStringLiteral("Skip uploading?");
        request.buttons = {QStringLiteral("Don't Upload")};
        break;
    }
    request.buttons << L(QStringLiteral("Back"));
    request.sheetParent = this;
    QPointer<WelcomeWindowController> self(this);
    const bool osxPhotos = m_usingOSXPhotos;
    Alerts::show(request, [self, screen, event, osxPhotos](AlertResult result) {
        if (!self)
            return;
        WelcomeServices *services = WelcomeServices::instance();
        if (result.button != 0) {
            if (!event.isEmpty())
                services->trackAndIncrement(event + QStringLiteral(" canceled"), 3);
            return;
        }
        QTimer::singleShot(350, self, [self, screen, osxPhotos] {
            WelcomeServices *services = WelcomeServices::instance();
            switch (screen) {
            case ImportIPhoto:
                if (osxPhotos)
                    services->setImportOSXPhotosEnabled(false);
                else
                    services->setImportIPhotoEnabled(false);
                break;
            case ImportIMessage: services->setImportIMessageEnabled(false); break;
            case ImportDropbox: services->setImportDropboxEnabled(false); break;
            case ImportFolder: {
                const QStringList folders = services->customFolders();
                for (const QString &folder : folders)
                    services->removeCustomFolder(folder);
                self->refreshSourcesView();
                break;
            }
            default: break;
            }
            self->advanceImportScreen();
        });
    });
}

// ---------------------------------------------------------------------------------------------
// The folder list and the dropped folders of the summary screen

void WelcomeWindowController::setupFolderPicker()
{
    if (m_sourcesViewController)
        return;
    QWidget *summary = m_screens[ImportFolder];
    QWidget *placeholder = summary->findChild<QWidget *>(QStringLiteral("folderPickerPlaceholder"));
    if (!placeholder)
        return;
    // The Upload pane's own tree, in its welcome form, takes the placeholder's place and follows
    // its size; a one-pixel margin keeps the placeholder's border visible.
    SourcesPreferencesViewController *pane = SourcesPreferencesViewController::initAsWelcomeScreenControl(placeholder);
    m_sourcesViewController = pane;
    pane->setDelegate(this);
    auto *layout = new QVBoxLayout(placeholder);
    layout->setContentsMargins(1, 1, 1, 1);
    layout->setSpacing(0);
    layout->addWidget(pane);
    // The summary screen has its own add and remove buttons and no status line. The pane keeps
    // using these widgets internally, so they are hidden rather than deleted.
    for (const char *name : {"headerLabel", "statusLabel", "statusLabelButton", "removeSourceButton",
                             "removeSourceButton2", "addSourceButton", "addSourceButton2"}) {
        if (QWidget *outlet = pane->findChild<QWidget *>(QString::fromLatin1(name)))
            outlet->hide();
    }
    pane->setGeometry(placeholder->contentsRect().adjusted(1, 1, -1, -1));
    layout->activate();

    m_folderTable = summary->findChild<QTableWidget *>(QStringLiteral("importFoldersTableView"));
    if (m_folderTable) {
        m_folderTable->setColumnCount(2);
        m_folderTable->setHorizontalHeaderLabels({QStringLiteral("check"), QStringLiteral("name")});
        m_folderTable->horizontalHeader()->hide();
        m_folderTable->verticalHeader()->hide();
        m_folderTable->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
        m_folderTable->horizontalHeader()->setStretchLastSection(true);
        m_folderTable->setSelectionMode(QAbstractItemView::NoSelection);
        m_folderTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
        m_folderTable->setShowGrid(false);
        // The list lies over the drop view once it has entries; the list takes the drops then.
        auto *drop = summary->findChild<WelcomeWindowControllerDropView *>(QStringLiteral("dropView"));
        if (drop && m_folderTable->parentWidget() && m_folderTable->parentWidget()->parentWidget())
            drop->takeDropsOn(m_folderTable->parentWidget()->parentWidget());
    }
    refreshSourcesView();
}

void WelcomeWindowController::refreshSourcesView()
{
    if (m_sourcesViewController)
        m_sourcesViewController->refreshViewInstance();
    updateSourcesPanelEnabledControls();
}

QStringList WelcomeWindowController::sourcesShown() const
{
    return m_sourcesViewController ? m_sourcesViewController->sources() : QStringList();
}

void WelcomeWindowController::sourcesPreferencesContentsChanged()
{
    updateSourcesPanelEnabledControls();
}

void WelcomeWindowController::sourcesPreferencesSelectionChanged()
{
    updateSourcesPanelEnabledControls();
}

void WelcomeWindowController::updateSourcesPanelEnabledControls()
{
    QWidget *summary = m_screens[ImportFolder];
    if (!summary)
        return;
    const int rows = m_sourcesViewController ? m_sourcesViewController->outlineView()->model()->rowCount() : 0;
    const bool topLevelSelected = m_sourcesViewController
        && m_sourcesViewController->isTopLevelItem(m_sourcesViewController->selectedItem());
    if (auto *button = summary->findChild<QAbstractButton *>(QStringLiteral("importFoldersButton")))
        button->setEnabled(rows > 0);
    // Only a source itself can be removed here, not one of its folders.
    if (auto *button = summary->findChild<QAbstractButton *>(QStringLiteral("removeFolderButton")))
        button->setVisible(topLevelSelected);
}

void WelcomeWindowController::importAddFolderButtonHit()
{
    WelcomeServices::instance()->trackAndIncrement(QStringLiteral("Welcome: Welcome screen add folder hit"), 3);
    // The embedded pane's own add-source menu, under this screen's "+".
    if (m_sourcesViewController)
        m_sourcesViewController->addSourceButtonHit(
            m_screens[ImportFolder]->findChild<QAbstractButton *>(QStringLiteral("addFolderButton")));
}

void WelcomeWindowController::importRemoveFolderButtonHit()
{
    WelcomeServices::instance()->trackAndIncrement(QStringLiteral("Welcome: Welcome screen remove folder hit"), 3);
    if (m_sourcesViewController)
        m_sourcesViewController->removeSourceButtonHit();
}

void WelcomeWindowController::addFolder(const QString &path)
{
    if (currentScreen() != ImportFolder || path.isEmpty())
        return;
    if (auto *forward = findViewWithTag<QAbstractButton>(m_screens[ImportFolder], 7000)) {
        forward->setText(L(QStringLiteral("Next")));
        WelcomeStyle::setTitleColors(forward, QColor(0, 0, 0));
    }
    if (!m_foldersToAdd.contains(path))
        m_foldersToAdd.append(path);
    m_selectedFoldersToAdd.insert(path);
    reloadFolderTable();
    if (m_folderTable && m_folderTable->parentWidget() && m_folderTable->parentWidget()->parentWidget())
        m_folderTable->parentWidget()->parentWidget()->show();
    if (auto *drop = m_screens[ImportFolder]->findChild<QWidget *>(QStringLiteral("dropView")))
        drop->lower();
}

void WelcomeWindowController::reloadFolderTable()
{
    if (!m_folderTable)
        return;
    m_folderTable->setRowCount(int(m_foldersToAdd.size()));
    const QIcon folderIcon(QStringLiteral(":/onboarding/sources-folder.svg"));
    for (int row = 0; row < m_foldersToAdd.size(); ++row) {
        const QString path = m_foldersToAdd.at(row);
        auto *box = new QCheckBox(m_folderTable);
        setViewTag(box, row);
        box->setChecked(m_selectedFoldersToAdd.contains(path));
        connect(box, &QCheckBox::toggled, this, [this, path](bool on) { setFolderTicked(path, on); });
        m_folderTable->setCellWidget(row, 0, box);
        auto *name = new QTableWidgetItem(folderIcon, path);
        name->setToolTip(path);
        // Even rows are tinted so long lists stay readable.
        if (row % 2 == 0)
            name->setBackground(QColor::fromRgbF(0.9f, 0.9f, 0.8f));
        m_folderTable->setItem(row, 1, name);
    }
}

void WelcomeWindowController::setFolderTicked(const QString &path, bool ticked)
{
    if (!m_foldersToAdd.contains(path))
        return;
    if (ticked)
        m_selectedFoldersToAdd.insert(path);
    else
        m_selectedFoldersToAdd.remove(path);
}

bool WelcomeWindowController::dropPaths(const QStringList &paths)
{
    QStringList folders;
    bool others = false;
    for (const QString &path : paths) {
        if (QFileInfo(path).isDir())
            folders << QDir::cleanPath(path);
        else
            others = true;
    }
    for (const QString &folder : std::as_const(folders))
        addFolder(folder);
    if (folders.isEmpty() || others) {
        AlertRequest request;
        request.title = L(QStringLiteral("Please drop folders, not individual files"));
        request.message = L(QStringLiteral("We'll begin uploading from folders you add immediately, and will continue "
                                           "watching for changes."));
        request.buttons = {L(QStringLiteral("OK"))};
        Alerts::show(request);
    }
    return !folders.isEmpty();
}

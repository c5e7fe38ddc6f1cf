#include "windows/sources/SourcesPreferencesViewController.h"

#include "app/widgets/ModalUi.h"
#include "core/Dispatch.h"
#include "core/LGLog.h"
#include "core/NotificationCenter.h"
#include "core/Settings.h"
#include "platform/DeviceDetection.h"
#include "platform/Endpoints.h"
#include "ui_FolderStatusViewController.h"
#include "ui_SourcesPreferencesView.h"
#include "windows/preferences/PreferenceTexts.h"
#include "windows/preferences/PreferencesServices.h"
#include "windows/sources/SourcesBackend.h"
#include "windows/sources/SourcesRowDelegate.h"
#include "windows/sources/SourcesTreeModel.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QScrollBar>
#include <QStyle>
#include <QTextLayout>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

namespace {
QPointer<SourcesPreferencesViewController> s_mostRecent;
QString s_lastKnownDropbox;
QHash<QString, QPointer<FolderStatusViewController>> s_statusWindows;

const QString kIPhoto = QStringLiteral("iPhoto");
const QString kAperture = QStringLiteral("Aperture");
const QString kPhotos = QStringLiteral("'Photos'");
const QString kDropbox = QStringLiteral("Dropbox");
const QString kICloud = QStringLiteral("iCloud Library");
const QString kExcludedBackup = QStringLiteral("ExcludedFoldersBackup");
// Also written by the catalogue when a folder on a removable device is added.
const QString kRemovableSources = QStringLiteral("RemovableSourceDevices");

QString L(const QString &english)
{
    return PreferenceTexts::tr(english);
}

void track(const QString &event)
{
    PreferencesServices::instance().reporterIncrement(event);
}

// The file manager's icon of the record's file; a library root or album shows its library's.
QIcon detailsIconFor(const RecordState &record)
{
    static QFileIconProvider provider;
    QString path = record.path;
    if (record.hasFlag(RecordFlags::LibraryRoot))
        path = path.section(QLatin1Char('/'), 0, -2);
    else if (record.hasFlag(RecordFlags::LibraryAlbum))
        path = path.section(QLatin1Char('/'), 0, -3);
    const QFileInfo info(path);
    if (info.exists())
        return provider.icon(info);
    return provider.icon(record.isFolder ? QFileIconProvider::Folder : QFileIconProvider::File);
}

bool isDirectory(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() && info.isDir();
}

// Which library a top-level name stands for.
bool libraryForName(const QString &name, SourcesBackend::Library *library)
{
    if (name == kIPhoto)
        *library = SourcesBackend::Library::IPhoto;
    else if (name == kAperture)
        *library = SourcesBackend::Library::Aperture;
    else if (name == kPhotos)
        *library = SourcesBackend::Library::OSXPhotos;
    else if (name == kDropbox)
        *library = SourcesBackend::Library::Dropbox;
    else if (name == SourcesPreferencesViewController::messagesName())
        *library = SourcesBackend::Library::IMessage;
    else
        return false;
    return true;
}

QString shownName(const QString &item)
{
    QString trimmed = item;
    const QString strip = QStringLiteral("/\\ \t\n");
    while (!trimmed.isEmpty() && strip.contains(trimmed.front()))
        trimmed.remove(0, 1);
    while (!trimmed.isEmpty() && strip.contains(trimmed.back()))
        trimmed.chop(1);
    const int slash = trimmed.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? trimmed : trimmed.mid(slash + 1);
}

QMenu *newMenu(QWidget *parent)
{
    auto *menu = new QMenu(parent);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    return menu;
}

// A real folder opens in the file manager; anything else that exists (a file, a virtual folder)
// is shown where it lies.
void openOrReveal(const QString &path, const RecordState &record)
{
    if (path.isEmpty())
        return;
    if (isDirectory(path) && !record.isVirtualFolder)
        UrlOpeners::open(QUrl::fromLocalFile(path));
    else if (QFileInfo::exists(path))
        UrlOpeners::opener()->revealFile(path);
}

// A menu item whose command runs only if the pane that built the menu is still there.
QAction *addPaneAction(QMenu *menu, const QPointer<SourcesPreferencesViewController> &pane, const QString &title,
                       std::function<void(SourcesPreferencesViewController *)> action)
{
    QAction *a = menu->addAction(title);
    QObject::connect(a, &QAction::triggered, menu, [pane, action = std::move(action)] {
        if (pane)
            action(pane);
    });
    return a;
}
} // namespace

// ---------------------------------------------------------------------------------------------
// Folder status window

FolderStatusViewController::FolderStatusViewController(const QString &path, QWidget *parent)
    : QWidget(parent, Qt::Window), m_path(path), m_ui(new Ui_FolderStatusViewController)
{
    m_ui->setupUi(this);
    refresh();
}

FolderStatusViewController::~FolderStatusViewController()
{
    delete m_ui;
}

void FolderStatusViewController::refresh()
{
    m_ui->pathLabel->setText(SourcesPreferencesViewController::pathCondensingUserFolder(m_path));
    SourcesBackend *backend = SourcesBackend::instance();
    RecordState record;
    const RecordId id = backend->recordForPath(m_path);
    if (id && backend->recordState(id, &record))
        m_ui->statusTextLabel->setText(SourcesPreferencesTableCellView::statusText(record));
    else
        m_ui->statusTextLabel->setText(L(QStringLiteral("No photos")));
}

// ---------------------------------------------------------------------------------------------
// Construction

SourcesPreferencesViewController::SourcesPreferencesViewController(QWidget *parent)
    : QWidget(parent), m_ui(new Ui::SourcesPreferencesView)
{
    ensurePreferencesResources();
    m_ui->setupUi(this);
    awakeFromNib();
}

SourcesPreferencesViewController *SourcesPreferencesViewController::initAsWelcomeScreenControl(QWidget *parent)
{
    auto *controller = new SourcesPreferencesViewController(parent);
    controller->m_isWelcomeScreen = true;
    // The onboarding list has no status line, and its own button pair.
    controller->m_ui->statusLabelButton->hide();
    controller->m_ui->statusProgressBarView->hide();
    controller->m_ui->addSourceButton->hide();
    controller->m_ui->removeSourceButton->hide();
    controller->m_ui->addSourceButton2->show();
    controller->m_ui->removeSourceButton2->show();
    controller->m_ui->outlineHeaderLayout->setContentsMargins(12, 2, 11, 2);
    QObject::disconnect(controller->m_ui->statusLabelButton, nullptr, controller, nullptr);
    return controller;
}

SourcesPreferencesViewController::~SourcesPreferencesViewController()
{
    if (m_detailsWindow)
        delete m_detailsWindow.data();
    delete m_ui;
}

void SourcesPreferencesViewController::awakeFromNib()
{
    setAcceptDrops(true);
    NSKeyboardSupportOutlineView *view = m_ui->outlineView;
    setFocusProxy(view); // the pane's focus is the tree's
    m_model = new SourcesTreeModel(this, SourcesTreeModel::Tree::Main, this);
    view->setModel(m_model);
    m_rowDelegate = new SourcesRowDelegate(this, view);
    view->setItemDelegate(m_rowDelegate);
    view->setKeyboardDelegate(this);
    view->setContextMenuPolicy(Qt::DefaultContextMenu);
    connect(view, &QTreeView::expanded, this, &SourcesPreferencesViewController::onExpanded);
    connect(view, &QTreeView::doubleClicked, this, [this] { tableViewDoubleClicked(); });
    connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &SourcesPreferencesViewController::outlineViewSelectionDidChange);

    if (PreferenceTexts::isLocalized())
        m_ui->headerLabel->setText(L(QStringLiteral("All photos uploaded are private. We detect and ignore duplicates.")));
    m_ui->noSourcesLabel->setText(PreferenceTexts::useOldTranslatedPhrase(QStringLiteral("No sources selected\n\nClick below to add a source"),
                                                                           QStringLiteral("No sources selected\n\nClick + below to add a source")));
    m_ui->noSourcesLabel->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_ui->noSourcesLabel->setStyleSheet(QStringLiteral("color: rgb(128, 128, 128);"));

    m_ui->outlineViewContainer->setAutoFillBackground(true);
    m_ui->outlineViewContainer->setStyleSheet(
        QStringLiteral("#outlineViewContainer { background: rgba(255, 255, 255, 166); border-top: 1px solid rgba(0, 0, 0, 64);"
                       " border-bottom: 1px solid rgba(0, 0, 0, 38); }"));
    m_ui->outlineHeaderContainer->setStyleSheet(
        QStringLiteral("#outlineHeaderContainer { background: rgba(255, 255, 255, 102); border-bottom: 1px solid rgba(0, 0, 0, 38); }"));
    m_ui->removeSourceButton->setEnabled(false);
    m_ui->removeSourceButton2->setEnabled(false);
    m_ui->addSourceButton2->hide();
    m_ui->removeSourceButton2->hide();
    m_ui->statusProgressBarView->setStyleSheet(QStringLiteral("background: rgb(85, 182, 237);"));
    m_ui->statusProgressBarView->setAttribute(Qt::WA_StyledBackground);
    m_ui->statusProgressBarView->hide();

    connect(m_ui->addSourceButton, &QPushButton::clicked, this, [this] { addSourceButtonHit(); });
    connect(m_ui->addSourceButton2, &QPushButton::clicked, this, [this] { addSourceButtonHit(); });
    connect(m_ui->removeSourceButton, &QPushButton::clicked, this, &SourcesPreferencesViewController::removeSourceButtonHit);
    connect(m_ui->removeSourceButton2, &QPushButton::clicked, this, &SourcesPreferencesViewController::removeSourceButtonHit);
    connect(m_ui->statusLabelButton, &QPushButton::clicked, this, &SourcesPreferencesViewController::statusLabelHit);
    m_ui->statusLabel->installEventFilter(this);

    SourcesBackend *backend = SourcesBackend::instance();
    connect(backend, &SourcesBackend::recordsChanged, this, &SourcesPreferencesViewController::onRecordsChanged);
    connect(backend, &SourcesBackend::childrenChanged, this, &SourcesPreferencesViewController::onChildrenChanged);

    m_spinnerTimer = new QTimer(this);
    m_spinnerTimer->setInterval(50);
    connect(m_spinnerTimer, &QTimer::timeout, this, &SourcesPreferencesViewController::tickSpinner);
    connect(m_model, &SourcesTreeModel::spinningChanged, this, &SourcesPreferencesViewController::updateSpinnerRunning);

    updateStatus2();
    NotificationCenter::observe(Notifications::StatusUpdated, this, [this](const QVariant &) {
        // Posted on any thread; the pane works on the main thread only.
        QPointer<SourcesPreferencesViewController> self(this);
        dispatch_main_async([self] {
            if (self && !self->m_isWelcomeScreen)
                self->updateStatus();
        });
    });
}

SourcesPreferencesViewController *SourcesPreferencesViewController::mostRecentInstance()
{
    return s_mostRecent.data();
}

QString SourcesPreferencesViewController::lastKnownDropboxDirectory()
{
    return s_lastKnownDropbox;
}

QString SourcesPreferencesViewController::messagesName()
{
    return L(QStringLiteral("Messages"));
}

QIcon SourcesPreferencesViewController::toolbarItemImage() const
{
    return QIcon(QStringLiteral(":/images/preferences/PrefPaneUpload.svg"));
}

QString SourcesPreferencesViewController::toolbarItemLabel() const
{
    return L(QStringLiteral("Upload"));
}

void SourcesPreferencesViewController::viewWillAppear()
{
    refreshViewInstance();
}

QWidget *SourcesPreferencesViewController::initialKeyView()
{
    return m_ui->outlineView;
}

NSKeyboardSupportOutlineView *SourcesPreferencesViewController::outlineView() const { return m_ui->outlineView; }
QLabel *SourcesPreferencesViewController::noSourcesLabel() const { return m_ui->noSourcesLabel; }
QLabel *SourcesPreferencesViewController::statusLabel() const { return m_ui->statusLabel; }
QWidget *SourcesPreferencesViewController::statusProgressBarView() const { return m_ui->statusProgressBarView; }
QPushButton *SourcesPreferencesViewController::addSourceButton() const { return m_ui->addSourceButton; }
QPushButton *SourcesPreferencesViewController::removeSourceButton() const { return m_ui->removeSourceButton; }
QPushButton *SourcesPreferencesViewController::addSourceButton2() const { return m_ui->addSourceButton2; }
QPushButton *SourcesPreferencesViewController::removeSourceButton2() const { return m_ui->removeSourceButton2; }
QPushButton *SourcesPreferencesViewController::statusLabelButton() const { return m_ui->statusLabelButton; }

bool SourcesPreferencesViewController::eventFilter(QObject *watched, QEvent *e)
{
    // Return in the details window opens the selected file.
    if (watched == m_detailsTree && e->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(e);
        if (!key->isAutoRepeat() && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)) {
            openCurrentDetailsSelection(false);
            return true;
        }
    }
    if (watched == m_ui->statusLabel && (e->type() == QEvent::Resize || e->type() == QEvent::Show))
        fitStatusText();
    return QWidget::eventFilter(watched, e);
}

bool SourcesPreferencesViewController::event(QEvent *e)
{
    // The pane's window became the active one: this pane (the preferences window's, or the
    // onboarding window's own list) is the one the entry points act on.
    if (e->type() == QEvent::WindowActivate) {
        s_mostRecent = this;
        refreshViewInstance();
    }
    return QWidget::event(e);
}

// ---------------------------------------------------------------------------------------------
// Entry points

void SourcesPreferencesViewController::addPath(const QString &path)
{
    if (path.isEmpty() || !QFileInfo::exists(path))
        return;
    SourcesBackend *backend = SourcesBackend::instance();
    const QStringList watched = backend->customFolders();
    for (const QString &folder : watched) {
        if (folder.compare(path, Qt::CaseInsensitive) == 0)
            return;
    }
    backend->setTrackingCurrentScan(true);
    backend->addCustomFolder(path);
    if (s_mostRecent)
        s_mostRecent->refreshViewInstance();
}

void SourcesPreferencesViewController::refreshView()
{
    if (s_mostRecent)
        s_mostRecent->refreshViewForceRefreshUI(true);
}

void SourcesPreferencesViewController::showAddFolderDialog()
{
    if (s_mostRecent)
        s_mostRecent->addFolderHit();
}

// ---------------------------------------------------------------------------------------------
// Sources list

SourcesPreferencesViewController::Gathered SourcesPreferencesViewController::gatherSources(SourcesBackend *backend)
{
    Gathered g;
    const QStringList watched = backend->customFolders();
    const QList<SourcesBackend::Folder> standard{SourcesBackend::Folder::Pictures, SourcesBackend::Folder::Desktop,
                                                 SourcesBackend::Folder::Documents, SourcesBackend::Folder::Downloads};
    for (SourcesBackend::Folder folder : standard) {
        const QString path = backend->standardDirectory(folder);
        if (!path.isEmpty() && isDirectory(path) && watched.contains(path) && !g.sources.contains(path))
            g.sources << path;
    }
    const QList<QPair<QString, SourcesBackend::Library>> libraries{
        {kIPhoto, SourcesBackend::Library::IPhoto},
        {kAperture, SourcesBackend::Library::Aperture},
        {kPhotos, SourcesBackend::Library::OSXPhotos},
        {kDropbox, SourcesBackend::Library::Dropbox},
        {messagesName(), SourcesBackend::Library::IMessage}};
    for (const auto &library : libraries) {
        const bool enabled = backend->importEnabled(library.second);
        if (enabled)
            g.enabled.insert(library.first);
        if (enabled && backend->isInstalled(library.second))
            g.sources << library.first;
    }
    for (const QString &path : watched) {
        g.enabled.insert(path);
        if (!g.sources.contains(path))
            g.sources << path;
    }
    // One look at the mount table for the whole list.
    const QList<RemovableDevice> devices = DeviceDetection::removableDevices();
    for (const QString &path : std::as_const(watched)) {
        if (const RemovableDevice *best = DeviceDetection::deviceFor(devices, path))
            g.removable.insert(path, best->name.isEmpty() ? QFileInfo(best->mountPoint).fileName() : best->name);
    }
    return g;
}

bool SourcesPreferencesViewController::removableSourceDevice(const QString &path, QString *deviceName) const
{
    QString name;
    bool found = true;
    if (auto now = m_removableNow.constFind(path); now != m_removableNow.cend())
        name = now.value();
    else if (auto known = m_removableKnown.constFind(path); known != m_removableKnown.cend())
        name = known.value();
    else
        found = false;
    if (deviceName)
        *deviceName = name;
    return found;
}

void SourcesPreferencesViewController::rememberRemovableSources(const Gathered &gathered)
{
    m_removableNow = gathered.removable;
    // Sources seen on a removable device are remembered, so an unplugged one is still shown as
    // such after a restart; sources no longer watched are forgotten.
    const QVariantMap stored = Settings::objectForKey(kRemovableSources).toMap();
    QVariantMap wanted;
    for (auto it = stored.cbegin(); it != stored.cend(); ++it) {
        if (gathered.sources.contains(it.key()))
            wanted.insert(it.key(), it.value());
    }
    for (auto it = gathered.removable.cbegin(); it != gathered.removable.cend(); ++it)
        wanted.insert(it.key(), it.value());
    if (wanted != stored) {
        if (wanted.isEmpty())
            Settings::removeObjectForKey(kRemovableSources);
        else
            Settings::setObject(wanted, kRemovableSources);
    }
    m_removableKnown.clear();
    for (auto it = wanted.cbegin(); it != wanted.cend(); ++it)
        m_removableKnown.insert(it.key(), it.value().toString());
}

void SourcesPreferencesViewController::refreshViewForceRefreshUI(bool force)
{
    QPointer<SourcesBackend> backend = SourcesBackend::instance();
    s_lastKnownDropbox = backend->libraryDirectory(SourcesBackend::Library::Dropbox);
    s_mostRecent = this;
    const quint64 generation = ++m_gatherGeneration;
    QPointer<SourcesPreferencesViewController> self(this);
    dispatch_default_queue_async([self, backend, generation, force] {
        if (!backend)
            return;
        const Gathered gathered = gatherSources(backend);
        dispatch_main_async([self, generation, force, gathered] {
            // A later gather supersedes this one; a closed pane takes nothing.
            if (!self || generation != self->m_gatherGeneration)
                return;
            self->applyGathered(gathered, force);
        });
    });
}

void SourcesPreferencesViewController::applyGathered(const Gathered &gathered, bool force)
{
    rememberRemovableSources(gathered);
    if (m_haveSources && gathered.sources == m_sources && gathered.enabled == m_selectedSources && !force) {
        // Nothing moved: keep the selection and the expanded folders, refresh what rows show.
        m_model->rebindAll();
        updateStatus2();
        updateProgressBar(); // status news that came while the pane was away left the bar behind
        Q_EMIT sourcesRefreshed();
        return;
    }
    // Reloaded in place: what the user opened, selected and scrolled to stays as it was.
    m_sources = gathered.sources;
    m_selectedSources = gathered.enabled;
    m_haveSources = true;
    reloadData();
    relistOpenFolders();
    if (m_delegate)
        m_delegate->sourcesPreferencesContentsChanged();
    updateStatus2();
    updateProgressBar();
    Q_EMIT sourcesRefreshed();
}

void SourcesPreferencesViewController::reloadData()
{
    QList<SourceItem> items;
    for (const QString &name : std::as_const(m_sources))
        items << SourceItem{name, 0};
    m_model->setTopLevel(items);
    m_ui->noSourcesLabel->setVisible(m_haveSources && m_sources.isEmpty());
    // A source that stays keeps its row and its selection, and so its remove buttons.
    const QModelIndexList rows = m_ui->outlineView->selectionModel()->selectedRows();
    const bool topLevel = !rows.isEmpty() && !rows.first().parent().isValid();
    m_ui->removeSourceButton->setEnabled(topLevel);
    m_ui->removeSourceButton2->setEnabled(topLevel);
    if (m_delegate) {
        m_delegate->sourcesPreferencesSelectionChanged();
        m_delegate->sourcesPreferencesContentsChanged();
    }
}

QString SourcesPreferencesViewController::pathForItemWithName(const QString &name)
{
    if (name == L(QStringLiteral("Pictures")))
        return SourcesBackend::instance()->standardDirectory(SourcesBackend::Folder::Pictures);
    if (name == kDropbox)
        return Settings::stringForKey(QStringLiteral("DropboxDirectory"));
    if (name == messagesName())
        return Settings::stringForKey(QStringLiteral("iMessageDirectory"));
    return name;
}

RecordId SourcesPreferencesViewController::fileDataForItem(const SourceItem &item) const
{
    if (!item.isTopLevel())
        return item.record;
    if (item.name.isEmpty())
        return 0;
    SourcesBackend *backend = SourcesBackend::instance();
    auto library = [&](SourcesBackend::Library which) {
        const QString last = backend->lastLibraryPath(which);
        return last.isEmpty() ? backend->libraryDirectory(which) : last;
    };
    QString path;
    if (item.name == kIPhoto)
        path = library(SourcesBackend::Library::IPhoto);
    else if (item.name == kAperture)
        path = library(SourcesBackend::Library::Aperture);
    else if (item.name == kPhotos)
        path = library(SourcesBackend::Library::OSXPhotos);
    else if (item.name == kICloud)
        path.clear();
    else if (item.name == messagesName())
        path = backend->standardDirectory(SourcesBackend::Folder::IMessage);
    else if (item.name == kDropbox)
        path = library(SourcesBackend::Library::Dropbox);
    else if (item.name == L(QStringLiteral("Pictures")))
        path = backend->standardDirectory(SourcesBackend::Folder::Pictures);
    else
        path = item.name;
    return path.isEmpty() ? 0 : backend->recordForPath(path);
}

bool SourcesPreferencesViewController::isTopLevelItem(const SourceItem &item) const
{
    return item.isTopLevel() && m_sources.contains(item.name);
}

QString SourcesPreferencesViewController::pathCondensingUserFolder(const QString &path)
{
    const QString home = SourcesBackend::instance()->standardDirectory(SourcesBackend::Folder::Home);
    if (!home.isEmpty() && path.startsWith(home, Qt::CaseInsensitive))
        return QStringLiteral("~") + path.mid(home.size());
    return path;
}

SourceItem SourcesPreferencesViewController::selectedItem() const
{
    const QModelIndexList rows = m_ui->outlineView->selectionModel()->selectedRows();
    return rows.isEmpty() ? SourceItem() : m_model->itemAt(rows.first());
}

// ---------------------------------------------------------------------------------------------
// Expansion and record changes

bool SourcesPreferencesViewController::shouldExpandItem(const QModelIndex &index)
{
    const SourceItem item = m_model->itemAt(index);
    const RecordId id = fileDataForItem(item);
    SourcesBackend *backend = SourcesBackend::instance();
    RecordState record;
    if (!id || !backend->recordState(id, &record))
        return false;
    if (record.needsScan != 0) {
        showScanningAlert();
        return false;
    }
    if (!record.path.isEmpty() && record.path == backend->standardDirectory(SourcesBackend::Folder::IMessage))
        return false;
    relistChildren(index, id);
    return true;
}

void SourcesPreferencesViewController::showScanningAlert()
{
    const QString informative = SourcesBackend::instance()->hasCompletedScanThisSession()
                                    ? L(QStringLiteral("This source is still being scanned."))
                                    : L(QStringLiteral("Please wait, we're still loading your Lumora collection and scanning your sources."));
    // Never inside the view's own callback: the alert comes on the next turn.
    QPointer<SourcesPreferencesViewController> self(this);
    dispatch_main_async([self, informative] {
        if (!self)
            return;
        AlertRequest request;
        request.title = L(QStringLiteral("Please wait, scanning..."));
        request.message = informative;
        request.buttons = {L(QStringLiteral("OK"))};
        Alerts::show(request);
    });
}

void SourcesPreferencesViewController::relistChildren(const QModelIndex &index, RecordId id, const QList<RecordId> &candidates)
{
    if (const SourcesTreeModel::Listing *last = m_model->listingOf(index); last && !candidates.isEmpty()) {
        SourcesTreeModel::Listing grown = *last;
        if (SourcesTreeModel::extendListing(id, candidates, &grown)) {
            m_model->setListing(index, grown);
            m_model->updateChildren(index, grown.rows);
            return;
        }
    }
    SourcesTreeModel::Listing listing;
    const QList<RecordId> children = SourcesTreeModel::childrenForRecord(id, SourcesTreeModel::Tree::Main, &listing);
    m_model->setListing(index, listing);
    m_model->updateChildren(index, children);
}

void SourcesPreferencesViewController::relistOpenFolders()
{
    // Parents first: a folder listed again may drop rows that were open below it.
    QList<QPersistentModelIndex> pending;
    for (int row = 0; row < m_model->rowCount(); ++row)
        pending << QPersistentModelIndex(m_model->index(row, 0));
    while (!pending.isEmpty()) {
        const QPersistentModelIndex index = pending.takeFirst();
        if (!index.isValid() || !m_ui->outlineView->isExpanded(index))
            continue;
        if (const RecordId id = fileDataForItem(m_model->itemAt(index)))
            relistChildren(index, id);
        for (int row = 0; row < m_model->rowCount(index); ++row)
            pending << QPersistentModelIndex(m_model->index(row, 0, index));
    }
}

void SourcesPreferencesViewController::onExpanded(const QModelIndex &index)
{
    if (shouldExpandItem(index))
        return;
    // Refused: fold it again once the view has finished expanding.
    QPersistentModelIndex persistent(index);
    QPointer<SourcesPreferencesViewController> self(this);
    QTimer::singleShot(0, this, [self, persistent] {
        if (self && persistent.isValid())
            self->m_ui->outlineView->collapse(persistent);
    });
}

void SourcesPreferencesViewController::onRecordsChanged(const QSet<RecordId> &ids)
{
    m_model->refreshRecords(ids);
    if (m_detailsViewFile && ids.contains(m_detailsViewFile) && m_detailsWindow && m_detailsWindow->isVisible())
        reloadDetailsView();
}

void SourcesPreferencesViewController::onChildrenChanged(const QSet<RecordId> &ids)
{
    m_model->refreshRecords(ids);
    // Only open folders are listed again, and only the rows that differ change: what is open
    // and selected below them stays so while the scanner reports. A report reaches every folder
    // above the one that changed; those whose own children are the same keep their rows as
    // they are.
    SourcesBackend *backend = SourcesBackend::instance();
    QList<QPersistentModelIndex> open;
    for (RecordId id : ids) {
        for (const QModelIndex &index : m_model->indexesForRecord(id)) {
            if (m_ui->outlineView->isExpanded(index))
                open << QPersistentModelIndex(index);
        }
    }
    // The top-level rows follow their records too.
    for (int row = 0; row < m_model->rowCount(); ++row) {
        const QModelIndex index = m_model->index(row, 0);
        if (m_ui->outlineView->isExpanded(index) && ids.contains(m_model->rowState(index).record)
            && !open.contains(QPersistentModelIndex(index)))
            open << QPersistentModelIndex(index);
    }
    for (const QPersistentModelIndex &index : std::as_const(open)) {
        if (!index.isValid())
            continue; // went with a folder listed again before it
        const RecordId id = fileDataForItem(m_model->itemAt(index));
        if (!id)
            continue;
        const QList<RecordId> candidates = backend->children(id);
        if (m_model->listingMayDiffer(index, candidates))
            relistChildren(index, id, candidates);
    }
}

// ---------------------------------------------------------------------------------------------
// Spinner

bool SourcesPreferencesViewController::isSpinnerRunning() const
{
    return m_spinnerTimer && m_spinnerTimer->isActive();
}

void SourcesPreferencesViewController::updateSpinnerRunning()
{
    const bool want = m_model->anySpinning() && !m_isWelcomeScreen;
    if (want && !m_spinnerTimer->isActive()) {
        m_spinnerClock.start();
        m_spinnerTimer->start();
    } else if (!want && m_spinnerTimer->isActive()) {
        m_spinnerTimer->stop();
        m_spinnerAngle = 0;
    }
}

void SourcesPreferencesViewController::tickSpinner()
{
    // One turn every 1.66 s, clockwise.
    const double phase = std::fmod(m_spinnerClock.elapsed() / 1000.0, 1.66);
    stepSpinner((1.0 - phase / 1.66) * 360.0);
}

void SourcesPreferencesViewController::stepSpinner(double angle)
{
    const bool crossed = (m_spinnerAngle < 180.0) != (angle < 180.0);
    m_spinnerAngle = angle;
    NSKeyboardSupportOutlineView *view = m_ui->outlineView;
    const int width = view->viewport()->width();
    auto repaint = [&](const QModelIndex &index) {
        const QRect rect = view->visualRect(index);
        if (rect.isValid() && rect.intersects(view->viewport()->rect()))
            view->viewport()->update(m_rowDelegate->statusRect(QRect(0, rect.top(), width, rect.height())).adjusted(-3, -3, 3, 3));
    };
    if (crossed) {
        // Icons winding down stand upright at the half turn and stop.
        for (const QModelIndex &index : m_model->finishWindingDown())
            repaint(index);
    }
    if (!isVisible())
        return;
    for (const QModelIndex &index : m_model->spinningIndexes())
        repaint(index);
}

// ---------------------------------------------------------------------------------------------
// Commands: adding and removing sources

QMenu *SourcesPreferencesViewController::buildAddSourceMenu(QWidget *parent, bool optionHeld)
{
    QMenu *menu = newMenu(parent);
    SourcesBackend *backend = SourcesBackend::instance();
    QPointer<SourcesPreferencesViewController> self(this);
    auto add = [&](const QString &title, std::function<void(SourcesPreferencesViewController *)> action) {
        return addPaneAction(menu, self, title, std::move(action));
    };
    add(L(QStringLiteral("Add a folder")), [](SourcesPreferencesViewController *c) { c->addFolderHit(); });
    const QList<QPair<QString, SourcesBackend::Folder>> folders{
        {QStringLiteral("Add my Pictures folder"), SourcesBackend::Folder::Pictures},
        {QStringLiteral("Add my Documents folder"), SourcesBackend::Folder::Documents},
        {QStringLiteral("Add my Desktop folder"), SourcesBackend::Folder::Desktop},
        {QStringLiteral("Add my Downloads folder"), SourcesBackend::Folder::Downloads}};
    for (const auto &folder : folders) {
        const QString path = backend->standardDirectory(folder.second);
        if (!path.isEmpty() && isDirectory(path) && !m_sources.contains(path))
            add(L(folder.first), [path](SourcesPreferencesViewController *c) { c->addFolder(path); });
    }
    auto offerLibrary = [&](const QString &title, const QString &name, SourcesBackend::Library library, bool extra) {
        if (backend->isInstalled(library) && !backend->importEnabled(library) && extra)
            add(L(title), [name](SourcesPreferencesViewController *c) { c->addSpecialFolderHitWithName(name); });
    };
    offerLibrary(QStringLiteral("Add my iPhoto library"), kIPhoto, SourcesBackend::Library::IPhoto, true);
    offerLibrary(QStringLiteral("Add my Aperture library"), kAperture, SourcesBackend::Library::Aperture, true);
    offerLibrary(QStringLiteral("Add my 'Photos' library"), kPhotos, SourcesBackend::Library::OSXPhotos,
                 !backend->libraryDirectory(SourcesBackend::Library::OSXPhotos).isEmpty());
    offerLibrary(QStringLiteral("Add photos from my Messages"), messagesName(), SourcesBackend::Library::IMessage, optionHeld);
    menu->addSeparator();
    menu->addAction(L(QStringLiteral("Easy, automatic uploading to Lumora.")))->setEnabled(false);
    return menu;
}

void SourcesPreferencesViewController::addSourceButtonHit()
{
    addSourceButtonHit(m_isWelcomeScreen ? static_cast<QWidget *>(m_ui->addSourceButton2) : m_ui->addSourceButton);
}

void SourcesPreferencesViewController::addSourceButtonHit(QWidget *sender)
{
    if (!sender)
        return;
    track(QStringLiteral("Prefs: Add source button hit"));
    const bool optionHeld = QGuiApplication::queryKeyboardModifiers() & Qt::AltModifier;
    QMenu *menu = buildAddSourceMenu(this, optionHeld);
    menu->popup(sender->mapToGlobal(QPoint(2, sender->height() + 1)));
}

void SourcesPreferencesViewController::addFolderHit()
{
    track(QStringLiteral("Prefs: Add folder button hit"));
    QPointer<SourcesPreferencesViewController> self(this);
    FolderChoosers::chooser()->chooseFolders(window(), L(QStringLiteral("Add a folder")), false, [self](QStringList chosen) {
        if (chosen.isEmpty())
            return;
        dispatch_main_async([self, chosen] {
            if (!self)
                return;
            for (const QString &path : chosen) {
                if (isDirectory(path))
                    self->addFolder(path);
            }
        });
    });
}

void SourcesPreferencesViewController::addFolder(const QString &path)
{
    addFolderInternal(path);
}

void SourcesPreferencesViewController::addFolderInternal(const QString &path)
{
    if (path.isEmpty())
        return;
    SourcesBackend *backend = SourcesBackend::instance();
    // A photo-library package is watched through its library file.
    QString watched = path;
    QString libraryEvent;
    if (backend->isApertureLibraryPackage(path)) {
        watched = backend->apertureLibraryPathFromPackage(path);
        libraryEvent = QStringLiteral("Library: Added custom Aperture library");
        const QString roundTrip = backend->packagePathForLibrary(watched);
        if (roundTrip.compare(path, Qt::CaseInsensitive) != 0)
            LGLogError(QStringLiteral("WARNING: Aperture library roundtrip path verfication failed %1 vs %2").arg(roundTrip, path));
    } else if (backend->isIPhotoOrApertureLibraryPackage(path)) {
        watched = path + QStringLiteral("/AlbumData.xml");
        libraryEvent = QStringLiteral("Library: Added custom iPhoto library");
    }
    if (!watched.isEmpty()) {
        track(QStringLiteral("Library: Added custom folder"));
        if (!libraryEvent.isEmpty())
            track(libraryEvent);
        backend->setTrackingCurrentScan(true);
        backend->addCustomFolder(watched);
    }
    if (m_autoCreateAlbums)
        backend->setAlbumModeIfNone(backend->recordForPathCreating(path), -2);
    if (!m_sources.contains(path))
        m_sources << path;
    m_selectedSources.insert(path);
    m_haveSources = true;
    reloadData();
    if (m_delegate)
        m_delegate->sourcesPreferencesContentsChanged();
}

void SourcesPreferencesViewController::addSpecialFolderHitWithName(const QString &name)
{
    if (name.isEmpty())
        return;
    if (!m_sources.contains(name))
        m_sources.prepend(name);
    m_haveSources = true;
    toggleStateForItemNamed(name, true);
    reloadData();
    if (m_delegate)
        m_delegate->sourcesPreferencesContentsChanged();
}

void SourcesPreferencesViewController::toggleStateForItemNamed(const QString &name, bool selected, std::function<void(bool)> done)
{
    SourcesBackend *backend = SourcesBackend::instance();
    SourcesBackend::Library library;
    const bool isLibrary = libraryForName(name, &library);
    if (selected) {
        m_selectedSources.insert(name);
        backend->setTrackingCurrentScan(true);
        if (isLibrary)
            backend->setImportEnabled(library, true);
        else if (name == L(QStringLiteral("Pictures")))
            backend->addCustomFolder(backend->standardDirectory(SourcesBackend::Folder::Pictures));
        else
            backend->addCustomFolder(name);
        backend->requestUploadListCleanup();
        if (done)
            done(true);
        return;
    }

    QString quoted = name;
    if (quoted.contains(QLatin1Char(' ')))
        quoted = QLatin1Char('"') + quoted + QLatin1Char('"');
    AlertRequest request;
    // The texts are translated with their placeholders, then the name goes in once.
    request.title = L(QStringLiteral("Remove source \"%1\"?")).arg(shownName(name));
    request.message = m_isWelcomeScreen
                          ? L(QStringLiteral("We won't upload photos from %1.")).arg(quoted)
                          : L(QStringLiteral("We will no longer upload new photos from %1. Photos already uploaded will not be removed. To remove photos, please use the Lumora website or mobile app.")).arg(quoted);
    request.buttons = {L(QStringLiteral("Remove")), L(QStringLiteral("Cancel"))};
    request.cancelButton = 1;
    QPointer<SourcesPreferencesViewController> self(this);
    Alerts::show(request, [self, name, isLibrary, library, done](AlertResult result) {
        if (result.button != 0 || !self) {
            if (done)
                done(false);
            return;
        }
        SourcesBackend *backend = SourcesBackend::instance();
        self->m_selectedSources.remove(name);
        auto libraryOff = [backend](SourcesBackend::Library which) {
            const QString last = backend->lastLibraryPath(which);
            if (!last.isEmpty())
                backend->removeCustomFolder(last);
            backend->setImportEnabled(which, false);
        };
        if (isLibrary) {
            if (library == SourcesBackend::Library::IMessage || library == SourcesBackend::Library::Dropbox)
                backend->setImportEnabled(library, false);
            else
                libraryOff(library);
        } else if (name == L(QStringLiteral("Pictures"))) {
            backend->removeCustomFolder(backend->standardDirectory(SourcesBackend::Folder::Pictures));
        } else {
            backend->removeCustomFolder(name);
            for (SourcesBackend::Library which : {SourcesBackend::Library::IPhoto, SourcesBackend::Library::Aperture,
                                                  SourcesBackend::Library::OSXPhotos}) {
                const QString last = backend->lastLibraryPath(which);
                if (!last.isEmpty() && last == name)
                    backend->setImportEnabled(which, false);
            }
        }
        backend->requestUploadListCleanup();
        backend->cancelCurrentUploadIfNoLongerSelected();
        if (done)
            done(true);
    });
}

void SourcesPreferencesViewController::removeSourceButtonHit()
{
    const SourceItem item = selectedItem();
    if (!isTopLevelItem(item))
        return;
    QPointer<SourcesPreferencesViewController> self(this);
    const QString name = item.name;
    toggleStateForItemNamed(name, false, [self, name](bool changed) {
        if (!changed || !self)
            return;
        self->m_sources.removeAll(name);
        self->reloadData();
    });
}

void SourcesPreferencesViewController::toggleSourceMenuItemHit(const SourceItem &item)
{
    if (!isTopLevelItem(item))
        return;
    const QString name = item.name;
    const bool wasEnabled = m_selectedSources.contains(name);
    QPointer<SourcesPreferencesViewController> self(this);
    toggleStateForItemNamed(name, !wasEnabled, [self, name, wasEnabled](bool changed) {
        if (!self)
            return;
        if (changed && wasEnabled)
            self->m_sources.removeAll(name);
        self->reloadData();
    });
}

void SourcesPreferencesViewController::deleteHit()
{
    if (m_ui->removeSourceButton->isEnabled() || m_ui->removeSourceButton2->isEnabled())
        removeSourceButtonHit();
}

void SourcesPreferencesViewController::outlineViewSelectionDidChange()
{
    const QModelIndexList rows = m_ui->outlineView->selectionModel()->selectedRows();
    const bool topLevel = !rows.isEmpty() && !rows.first().parent().isValid();
    m_ui->removeSourceButton->setEnabled(topLevel);
    m_ui->removeSourceButton2->setEnabled(topLevel);
    if (!rows.isEmpty() && m_detailsWindow && m_detailsWindow->isVisible()) {
        setDetailsViewFile(fileDataForItem(m_model->itemAt(rows.first())));
        reloadDetailsView();
    }
    if (m_delegate)
        m_delegate->sourcesPreferencesSelectionChanged();
}

// ---------------------------------------------------------------------------------------------
// Opening

QString SourcesPreferencesViewController::openPathForItem(const SourceItem &item, RecordState *out) const
{
    SourcesBackend *backend = SourcesBackend::instance();
    RecordState record;
    const RecordId id = fileDataForItem(item);
    const bool has = id && backend->recordState(id, &record);
    if (out)
        *out = record;
    if (item.isTopLevel())
        return item.name == messagesName() ? QString() : pathForItemWithName(item.name);
    if (!has)
        return QString();
    if (record.hasFlag(RecordFlags::LibraryAlbum)) {
        RecordState parent;
        if (record.parent && backend->recordState(record.parent, &parent))
            return parent.path;
    }
    return record.path;
}

bool SourcesPreferencesViewController::couldOpenCurrentSelection() const
{
    const SourceItem item = selectedItem();
    if (item.name.isEmpty() && !item.record)
        return false;
    return QFileInfo::exists(openPathForItem(item));
}

void SourcesPreferencesViewController::openCurrentSelection()
{
    const SourceItem item = selectedItem();
    if (item.name.isEmpty() && !item.record)
        return;
    RecordState record;
    const QString path = openPathForItem(item, &record);
    openOrReveal(path, record);
}

void SourcesPreferencesViewController::tableViewDoubleClicked()
{
    openCurrentSelection();
}

void SourcesPreferencesViewController::viewFileOnLumora(RecordId id)
{
    RecordState record;
    if (!id || !SourcesBackend::instance()->recordState(id, &record) || record.uploadedRemoteId == 0)
        return;
    PreferencesServices &services = PreferencesServices::instance();
    const QString user = services.currentUserID();
    if (user.isEmpty())
        return;
    QString base = Endpoints::webBase(services.alphaOrWWW()).toString(QUrl::FullyEncoded);
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    const QUrl url(base + QStringLiteral("/photos/") + QString::fromLatin1(QUrl::toPercentEncoding(user)) + QLatin1Char('/')
                   + QString::number(record.uploadedRemoteId), QUrl::StrictMode);
    if (!Endpoints::isAllowedTransport(url))
        return;
    UrlOpeners::open(url);
    track(QStringLiteral("Albums: Open photo on Lumora"));
}

// ---------------------------------------------------------------------------------------------
// Drops

void SourcesPreferencesViewController::dragEnterEvent(QDragEnterEvent *event)
{
    if (!event->mimeData()->hasUrls())
        return;
    for (const QUrl &url : event->mimeData()->urls()) {
        if (url.isLocalFile() && QFileInfo::exists(url.toLocalFile())) {
            event->setDropAction(Qt::CopyAction);
            event->accept();
            return;
        }
    }
}

void SourcesPreferencesViewController::dropEvent(QDropEvent *event)
{
    QStringList paths;
    for (const QUrl &url : event->mimeData()->urls()) {
        if (url.isLocalFile())
            paths << url.toLocalFile();
    }
    // The alert, when there is one, comes after the drop has finished.
    QPointer<SourcesPreferencesViewController> self(this);
    dispatch_main_async([self, paths] {
        if (self)
            self->performDrop(paths);
    });
    event->acceptProposedAction();
}

bool SourcesPreferencesViewController::performDrop(const QStringList &paths)
{
    QStringList folders;
    bool other = false;
    for (const QString &path : paths) {
        if (isDirectory(path))
            folders << path;
        else
            other = true;
    }
    SourcesPreferencesViewController *target = s_mostRecent ? s_mostRecent.data() : this;
    for (const QString &folder : std::as_const(folders))
        target->addFolder(folder);
    if (folders.isEmpty() || other) {
        AlertRequest request;
        request.title = L(QStringLiteral("Please drop folders, not individual files"));
        request.message = L(QStringLiteral("We'll begin uploading from folders you add immediately, and will continue watching for changes."));
        request.buttons = {L(QStringLiteral("OK"))};
        Alerts::show(request);
    }
    return !folders.isEmpty();
}

// ---------------------------------------------------------------------------------------------
// Keyboard and menus

bool SourcesPreferencesViewController::outlineViewKeyDown(QTreeView *view, QKeyEvent *event)
{
    if (event->isAutoRepeat())
        return false;
    const int key = event->key();
    if (view == m_ui->outlineView) {
        if (key == Qt::Key_Delete || key == Qt::Key_Backspace) {
            deleteHit();
            return true;
        }
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            tableViewDoubleClicked();
            return true;
        }
    }
    return false;
}

QMenu *SourcesPreferencesViewController::tableViewMenuForRows(QTreeView *view, const QModelIndexList &rows)
{
    if (view != m_ui->outlineView || rows.isEmpty())
        return nullptr;
    return buildMainMenu(m_model->itemAt(rows.first()), this);
}

QMenu *SourcesPreferencesViewController::buildMainMenu(const SourceItem &item, QWidget *parent)
{
    SourcesBackend *backend = SourcesBackend::instance();
    RecordState record;
    const RecordId id = fileDataForItem(item);
    const bool hasRecord = id && backend->recordState(id, &record);
    QMenu *menu = newMenu(parent);
    QPointer<SourcesPreferencesViewController> self(this);
    // Every action carries its own item: the row may have moved by the time it runs.
    auto add = [&](const QString &title, std::function<void(SourcesPreferencesViewController *)> action) {
        return addPaneAction(menu, self, title, std::move(action));
    };
    auto openItem = [item](SourcesPreferencesViewController *c) {
        const QModelIndex index = c->m_model->indexForItem(item);
        if (index.isValid())
            c->m_ui->outlineView->setCurrentIndex(index);
        c->openCurrentSelection();
    };
    const bool topLevel = isTopLevelItem(item);
    const bool enabled = topLevel && m_selectedSources.contains(item.name);
    if (hasRecord && record.hasFlag(RecordFlags::AnyLibrary)) {
        if (QFileInfo::exists(openPathForItem(item)))
            add(L(QStringLiteral("Show in Files")), openItem);
    } else if (topLevel) {
        if (!(hasRecord && record.isVirtualFolder) && enabled && QFileInfo::exists(pathForItemWithName(item.name))) {
            const bool messages = hasRecord && record.hasFlag(RecordFlags::MessagesRoot);
            add(messages ? L(QStringLiteral("Open Messages")) : L(QStringLiteral("Open folder")), openItem);
        }
    } else if (hasRecord && QFileInfo::exists(record.path)) {
        add(L(QStringLiteral("Open folder")), openItem);
    }
    if (!m_isWelcomeScreen && hasRecord && !record.excludedFromScan && !record.hasFlag(RecordFlags::ICloudLibrary))
        add(L(QStringLiteral("View folder status")), [item](SourcesPreferencesViewController *c) { c->showDetailsViewForItem(item); });
    if (!m_isWelcomeScreen && hasRecord && !record.excludedFromScan && record.needsScan == 0 && !record.scanning
        && backend->computeStatus(id) == 1)
        add(L(QStringLiteral("Re-upload this folder")), [item](SourcesPreferencesViewController *c) { c->reuploadFolder(item); });
    if (topLevel) {
        const bool exists = QFileInfo::exists(pathForItemWithName(item.name));
        QString title;
        if (!enabled)
            title = L(QStringLiteral("Re-Enable"));
        else if (exists)
            title = m_isWelcomeScreen ? L(QStringLiteral("Don't upload from this folder")) : L(QStringLiteral("Stop uploading from this folder"));
        else
            title = m_isWelcomeScreen ? L(QStringLiteral("Don't upload from this source")) : L(QStringLiteral("Stop uploading from this source"));
        if (enabled) {
            add(title, [item](SourcesPreferencesViewController *c) {
                const QString name = item.name;
                QPointer<SourcesPreferencesViewController> guard(c);
                c->toggleStateForItemNamed(name, false, [guard, name](bool changed) {
                    if (!guard || !changed)
                        return;
                    guard->m_sources.removeAll(name);
                    guard->reloadData();
                });
            });
        } else {
            add(title, [item](SourcesPreferencesViewController *c) { c->toggleSourceMenuItemHit(item); });
        }
    }
    if (hasRecord && record.isAlbum) {
        menu->addSeparator();
        addAlbumMenuItemsToMenu(menu, item);
    }
    return menu;
}

void SourcesPreferencesViewController::openDetailsRecord(RecordId id, bool browse)
{
    SourcesBackend *backend = SourcesBackend::instance();
    RecordState record;
    if (!id || !backend->recordState(id, &record))
        return;
    QString path = record.path;
    if (record.hasFlag(RecordFlags::LibraryAlbum)) {
        RecordState parent;
        if (record.parent && backend->recordState(record.parent, &parent))
            path = parent.path;
    } else if (!record.hasFlag(RecordFlags::AnyLibrary) && !browse && !record.isFolder && QFileInfo::exists(path)) {
        UrlOpeners::open(QUrl::fromLocalFile(path)); // the file in its own application
        return;
    }
    openOrReveal(path, record);
}

void SourcesPreferencesViewController::openCurrentDetailsSelection(bool browse)
{
    if (!m_detailsTree || !m_detailsTree->currentItem())
        return;
    openDetailsRecord(m_detailsTree->currentItem()->data(0, Qt::UserRole).value<qint64>(), browse);
}

QMenu *SourcesPreferencesViewController::buildDetailsMenu(RecordId id, QWidget *parent)
{
    RecordState record;
    if (!id || !SourcesBackend::instance()->recordState(id, &record))
        return nullptr;
    QMenu *menu = newMenu(parent);
    QPointer<SourcesPreferencesViewController> self(this);
    if (!record.isFolder) {
        menu->addAction(L(QStringLiteral("Open")), menu, [self, id] {
            if (self)
                self->openDetailsRecord(id, false);
        });
    }
    menu->addAction(L(QStringLiteral("Show in Files")), menu, [self, id] {
        if (self)
            self->openDetailsRecord(id, true);
    });
    if (record.uploadedRemoteId != 0) {
        menu->addAction(L(QStringLiteral("View on Lumora")), menu, [self, id] {
            if (self)
                self->viewFileOnLumora(id);
        });
    }
    return menu;
}

// ---------------------------------------------------------------------------------------------
// Row controls

void SourcesPreferencesViewController::excludedFolderCheckboxHit(const SourceItem &item, bool checkboxOn)
{
    const RecordId id = fileDataForItem(item);
    RecordState record;
    if (!id || !SourcesBackend::instance()->recordState(id, &record) || record.path.isEmpty())
        return;
    const bool wantExcluded = !checkboxOn;
    if (wantExcluded == record.excludedFromScan) {
        // Nothing to store; the row shows the stored state again.
        m_model->refreshRecords({id});
        return;
    }
    applyExclusion(item, id, wantExcluded);
}

void SourcesPreferencesViewController::applyExclusion(const SourceItem &item, RecordId id, bool excluded)
{
    SourcesBackend *backend = SourcesBackend::instance();
    RecordState record;
    backend->recordState(id, &record);
    if (!excluded) {
        for (const QModelIndex &index : m_model->indexesForRecord(id)) {
            if (m_ui->outlineView->isExpanded(index))
                m_ui->outlineView->collapse(index);
        }
        if (item.isTopLevel()) {
            const QModelIndex index = m_model->indexForItem(item);
            if (index.isValid() && m_ui->outlineView->isExpanded(index))
                m_ui->outlineView->collapse(index);
        }
    }
    storeFolderChoice(id, [backend, id, excluded] { backend->setExcludedFromScan(id, excluded); });
    const QString lowered = record.path.toLower();
    if (excluded)
        Settings::addObject(lowered, kExcludedBackup);
    else
        Settings::removeObject(lowered, kExcludedBackup);
    if (excluded) {
        backend->requestUploadListCleanup();
        backend->cancelCurrentUploadIfNoLongerSelected();
        backend->runUploader();
    } else {
        backend->setTrackingCurrentScan(true);
        backend->setNeedsScanRecursive(id);
        backend->runScanner();
    }
    // The row (wherever it is shown) and its parents show what was stored.
    QSet<RecordId> changed{id};
    if (record.parent)
        changed.insert(record.parent);
    m_model->refreshRecords(changed);
    if (excluded) {
        for (const QModelIndex &index : m_model->indexesForRecord(id)) {
            if (m_ui->outlineView->isExpanded(index))
                m_ui->outlineView->collapse(index);
            m_model->updateChildren(index, {});
        }
    }
    backend->notifyParentsChanged(id);
    track(excluded ? QStringLiteral("Library: Folder excluded from scan") : QStringLiteral("Library: Folder re-enabled for scan"));
}

void SourcesPreferencesViewController::storeFolderChoice(RecordId id, const std::function<void()> &change)
{
    SourcesBackend *backend = SourcesBackend::instance();
    RecordState before, after;
    const bool heldBefore = backend->recordState(id, &before) && before.hasFlag(RecordFlags::ChoiceNotInFolder);
    change();
    if (heldBefore || !backend->recordState(id, &after) || !after.hasFlag(RecordFlags::ChoiceNotInFolder))
        return;
    // Never inside the row's own callback: the note comes on the next turn.
    QPointer<SourcesPreferencesViewController> self(this);
    const QString folder = pathCondensingUserFolder(after.path);
    dispatch_main_async([self, folder] {
        if (!self)
            return;
        AlertRequest request;
        request.title = L(QStringLiteral("Your choice could not be saved in the folder"));
        request.message = L(QStringLiteral("%1 cannot be written to (it may be read-only). Your choice holds on this computer, and is saved in the folder once it can be written.")).arg(folder);
        request.buttons = {L(QStringLiteral("OK"))};
        request.sheetParent = self->window();
        Alerts::show(request);
    });
}

QMenu *SourcesPreferencesViewController::buildStatusMenu(const SourceItem &item, QWidget *parent)
{
    SourcesBackend *backend = SourcesBackend::instance();
    RecordState record;
    const RecordId id = fileDataForItem(item);
    if (!id || !backend->recordState(id, &record) || record.excludedFromScan)
        return nullptr;
    QMenu *menu = newMenu(parent);
    QPointer<SourcesPreferencesViewController> self(this);
    menu->addAction(L(QStringLiteral("View folder status")), menu, [self, item] {
        if (self)
            self->showDetailsViewForItem(item);
    });
    if (record.needsScan == 0 && !record.scanning && backend->computeStatus(id) == 1) {
        menu->addAction(L(QStringLiteral("Re-upload this folder")), menu, [self, item] {
            if (self)
                self->reuploadFolder(item);
        });
    }
    return menu;
}

void SourcesPreferencesViewController::statusButtonHit(const SourceItem &item, const QPoint &globalPos)
{
    RecordState record;
    const RecordId id = fileDataForItem(item);
    if (!id || !SourcesBackend::instance()->recordState(id, &record) || record.excludedFromScan)
        return;
    if (record.hasFlag(RecordFlags::ICloudLibrary)) {
        AlertRequest request;
        request.title = L(QStringLiteral("Library stored in iCloud"));
        request.message = QStringLiteral("%1 %2\n\n%3")
                              .arg(L(QStringLiteral("Lumora Hoistly can't yet upload from iCloud, but this feature is on the way!")),
                                   L(QStringLiteral("Hoistly updates automatically, so once available, your library will begin uploading right away.")),
                                   L(QStringLiteral("To upload this library in the meantime, open \"Photos\", and choose the setting \"Download Originals to this Mac\".")));
        request.buttons = {L(QStringLiteral("OK"))};
        Alerts::show(request);
        return;
    }
    QMenu *menu = buildStatusMenu(item, this);
    if (menu)
        menu->popup(globalPos + QPoint(-2, 4));
}

void SourcesPreferencesViewController::reuploadFolder(const SourceItem &item)
{
    track(QStringLiteral("Prefs: Re-upload folder"));
    const RecordId id = fileDataForItem(item);
    if (!id)
        return;
    SourcesBackend *backend = SourcesBackend::instance();
    const QList<RecordId> files = backend->reuploadCandidates(id);
    if (!files.isEmpty())
        backend->reuploadPhotos(files, QStringLiteral("prefs"));
}

// ---------------------------------------------------------------------------------------------
// Status line and pause menu

void SourcesPreferencesViewController::updateStatus()
{
    if (!window() || !window()->isVisible())
        return;
    updateStatus2();
    updateProgressBar();
}

void SourcesPreferencesViewController::updateStatus2()
{
    SourcesBackend *backend = SourcesBackend::instance();
    const QString line2 = backend->statusLine2();
    const QString text = backend->statusLine1() + (line2.isEmpty() ? QString() : QStringLiteral(" ")) + line2;
    // The tooltip keeps the whole line; the label shows what fits of it.
    if (text != m_ui->statusLabel->toolTip()) {
        m_ui->statusLabel->setToolTip(text);
        m_ui->statusLabel->setAccessibleName(text);
        fitStatusText();
    }
}

void SourcesPreferencesViewController::fitStatusText()
{
    // A line too long for the pane (two sentences, a reason worded by the catalogue, a long
    // translation) goes on in a second line, so that what is wrong and what mends it both show;
    // what two lines cannot hold gives way in the middle of the second, where a long path or
    // name usually is: the start and the end (the reason, the remedy) always stay. Until the
    // label is laid out its width means nothing, so the whole line stands.
    QLabel *label = m_ui->statusLabel;
    const QString whole = label->toolTip();
    const int width = label->contentsRect().width();
    const QFontMetrics metrics = label->fontMetrics();
    QString shown = whole;
    if (label->isVisible() && width > 0 && metrics.horizontalAdvance(whole) > width) {
        QTextLayout layout(whole, label->font());
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(option);
        layout.beginLayout();
        QTextLine first = layout.createLine();
        first.setLineWidth(width);
        layout.endLayout();
        const int cut = qMax(1, first.textLength());
        QString head = whole.left(cut);
        while (head.endsWith(QLatin1Char(' ')))
            head.chop(1);
        shown = head + QLatin1Char('\n') + metrics.elidedText(whole.mid(cut).trimmed(), Qt::ElideMiddle, width);
    }
    if (shown != label->text())
        label->setText(shown);
    // The bar grows by the second line, and shrinks back when one line does.
    QWidget *button = m_ui->statusLabelButton;
    const int needed = label->sizeHint().height() + button->layout()->contentsMargins().top() + button->layout()->contentsMargins().bottom();
    if (button->minimumHeight() != needed)
        button->setMinimumHeight(needed);
}

void SourcesPreferencesViewController::updateProgressBar()
{
    QWidget *bar = m_ui->statusProgressBarView;
    SourcesBackend *backend = SourcesBackend::instance();
    if (!backend->statusIsComplete() && !backend->statusIsRunning() && !backend->statusIsScanning()) {
        bar->hide();
        return;
    }
    const double percent = qBound(0.0, backend->statusPercent(), 1.0);
    const int width = int(std::lround(percent * this->width()));
    bar->setMaximumWidth(width);
    bar->setMinimumWidth(width);
    bar->show();
}

QMenu *SourcesPreferencesViewController::buildPauseMenu(QWidget *parent)
{
    SourcesBackend *backend = SourcesBackend::instance();
    QMenu *menu = newMenu(parent);
    QPointer<SourcesBackend> guard(backend);
    if (backend->paused()) {
        menu->addAction(L(QStringLiteral("Resume Uploading")), menu, [guard] {
            if (guard)
                guard->resume();
        });
        return menu;
    }
    const QString resume = backend->statusResumeMessage();
    if (!resume.isEmpty()) {
        menu->addAction(resume, menu, [guard] {
            if (guard)
                guard->refreshManually();
        });
        menu->addSeparator();
    }
    const QList<QPair<QString, qint64>> pauses{
        {QStringLiteral("Pause for 1 hour"), 3600},
        {QStringLiteral("Pause for 8 hours"), 8 * 3600},
        {QStringLiteral("Pause for 24 hours"), 24 * 3600},
        {QStringLiteral("Pause for 1 week"), 7 * 24 * 3600},
        {QStringLiteral("Pause until I resume"), qint64(100) * 365 * 24 * 3600}};
    for (const auto &pause : pauses) {
        const qint64 seconds = pause.second;
        menu->addAction(L(pause.first), menu, [guard, seconds] {
            if (guard)
                guard->pauseFor(seconds);
        });
    }
    return menu;
}

void SourcesPreferencesViewController::statusLabelHit()
{
    track(QStringLiteral("Prefs: Status label hit"));
    QPointer<SourcesPreferencesViewController> self(this);
    dispatch_main_delay([self] {
        if (!self)
            return;
        QWidget *sender = self->m_ui->statusLabelButton;
        QMenu *menu = self->buildPauseMenu(self);
        menu->popup(sender->mapToGlobal(QPoint(int(0.45 * sender->width()) + 2, sender->height() + 10)));
    }, 0.01);
}

// ---------------------------------------------------------------------------------------------
// Details window

QString SourcesPreferencesViewController::fileStatusText(const RecordState &record, RecordId uploading)
{
    // The catalogue's own codes (FileData.h), as the scanner and the uploader write them.
    switch (record.needsUpload) {
    case NeedsUpload::Waiting:
        return record.id == uploading && uploading ? L(QStringLiteral("Uploading now...")) : L(QStringLiteral("Queued for upload"));
    case NeedsUpload::Uploaded:
        return record.uploadedRemoteId != 0 ? L(QStringLiteral("Uploaded successfully")) : L(QStringLiteral("Unknown state"));
    case NeedsUpload::Deferred: return L(QStringLiteral("Upload attempt failed, will try again shortly"));
    case NeedsUpload::AwaitingTicket: return L(QStringLiteral("Processing on Lumora"));
    case NeedsUpload::NotSelected:
        // Written when a file is found and until it is read, and for files left out of the upload.
        return record.needsScan != 0 ? L(QStringLiteral("File not yet scanned")) : L(QStringLiteral("Not selected to upload"));
    case NeedsUpload::AlreadyOnService: return L(QStringLiteral("Previously uploaded"));
    case NeedsUpload::ImageUnreadable: return L(QStringLiteral("Could not read image"));
    case NeedsUpload::UnsupportedFormat: return L(QStringLiteral("File type not yet supported"));
    case NeedsUpload::NoDate: return L(QStringLiteral("Photo has no timestamp"));
    case NeedsUpload::TooLarge: return L(QStringLiteral("File too large. Images be less than 200MB per photo."));
    case NeedsUpload::FailedThreeTimes:
        return L(QStringLiteral("Upload failed. (Too many tries, not trying again.) Please try using Lumora web uploader."));
    case NeedsUpload::DuplicateOnServer: return L(QStringLiteral("Previously uploaded (Rejected by server as duplicate)"));
    case NeedsUpload::Missing: return L(QStringLiteral("File not found"));
    case NeedsUpload::Deselected: return L(QStringLiteral("Not selected to upload"));
    case NeedsUpload::TooSmall: return L(QStringLiteral("File too small, or unable to read"));
    default: return QString();
    }
}

QString SourcesPreferencesViewController::detailsCountText(const RecordState &record)
{
    if (record.excludedFromScan)
        return L(QStringLiteral("Not selected to upload"));
    QString text = SourcesPreferencesTableCellView::countsText(record);
    if (record.skippedRecursive > 0) {
        // Said beside the photos, so the folder that holds them can be found from the top.
        const int n = record.skippedRecursive;
        const QString files = QStringLiteral("%1 %2").arg(QLocale().toString(n), n == 1 ? L(QStringLiteral("file")) : L(QStringLiteral("files")));
        const QString skipped = L(QStringLiteral("%1 could not be backed up")).arg(files);
        return text.isEmpty() ? skipped : text + QStringLiteral(", ") + skipped;
    }
    if (text.isEmpty())
        text = L(QStringLiteral("No photos"));
    return text;
}

QString SourcesPreferencesViewController::skippedStatusText(bool isFolder, SourcesBackend::SkippedEntry::Why why)
{
    using Why = SourcesBackend::SkippedEntry::Why;
    if (why == Why::LinkedFolder)
        return L(QStringLiteral("Linked folder, not followed; add the folder it leads to"));
    if (why == Why::NotRead)
        return isFolder ? L(QStringLiteral("Could not read this folder")) : L(QStringLiteral("Could not read image"));
    return isFolder ? L(QStringLiteral("Name is not valid UTF-8; rename the folder to back it up"))
                    : L(QStringLiteral("Name is not valid UTF-8; rename the file to back it up"));
}

void SourcesPreferencesViewController::setDetailsViewFile(RecordId record)
{
    m_detailsViewFile = record;
}

void SourcesPreferencesViewController::fillDetailsChildren(QTreeWidgetItem *parent, RecordId id)
{
    SourcesBackend *backend = SourcesBackend::instance();
    const RecordId uploading = backend->fileUploading();
    const QList<RecordId> children = SourcesTreeModel::childrenForRecord(id, SourcesTreeModel::Tree::Details);
    QList<QTreeWidgetItem *> items;
    QStringList keys; // the order the rows are sorted by
    items.reserve(children.size());
    keys.reserve(children.size());
    for (RecordId child : children) {
        RecordState record;
        if (!backend->recordState(child, &record))
            continue;
        auto *row = new QTreeWidgetItem;
        QString name = record.displayName;
        if (name.isEmpty())
            name = record.fileName;
        if (name.isEmpty())
            name = record.path.section(QLatin1Char('/'), -1);
        row->setText(0, name);
        row->setIcon(0, detailsIconFor(record));
        const QString status = record.isFolder ? detailsCountText(record) : fileStatusText(record, uploading);
        row->setText(1, status);
        row->setToolTip(1, status);
        row->setData(0, Qt::UserRole, QVariant::fromValue(qint64(child)));
        const bool expandable = record.isFolder && !record.excludedFromScan
                                && (record.hasFlag(RecordFlags::ChildrenListed) || record.numberOfPhotos > 0 || record.numberOfVideos > 0);
        row->setChildIndicatorPolicy(expandable ? QTreeWidgetItem::ShowIndicator : QTreeWidgetItem::DontShowIndicator);
        items << row;
        keys << record.fileName;
    }
    // Names no record can hold still get a row among their neighbours, with what to do about
    // them: otherwise nothing would tell the user which files are not backed up. Such a row has
    // no record, so it opens nothing.
    QList<SourcesBackend::SkippedEntry> skipped = backend->skippedEntries(id);
    std::sort(skipped.begin(), skipped.end(), [](const auto &a, const auto &b) { return a.name.compare(b.name) < 0; });
    static QFileIconProvider provider;
    for (const SourcesBackend::SkippedEntry &entry : std::as_const(skipped)) {
        auto *row = new QTreeWidgetItem;
        row->setText(0, entry.name);
        row->setIcon(0, provider.icon(entry.isFolder ? QFileIconProvider::Folder : QFileIconProvider::File));
        const QString status = skippedStatusText(entry.isFolder, entry.why);
        row->setText(1, status);
        row->setToolTip(1, status);
        row->setIcon(1, m_detailsTree->style()->standardIcon(QStyle::SP_MessageBoxWarning));
        row->setData(0, Qt::UserRole, QVariant::fromValue(qint64(0)));
        row->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicator);
        const qsizetype at = std::upper_bound(keys.cbegin(), keys.cend(), entry.name,
                                              [](const QString &a, const QString &b) { return a.compare(b) < 0; })
                             - keys.cbegin();
        items.insert(at, row);
        keys.insert(at, entry.name);
    }
    if (parent)
        parent->addChildren(items);
    else
        m_detailsTree->addTopLevelItems(items);
}

void SourcesPreferencesViewController::reloadDetailsView()
{
    if (!m_detailsViewFile || !m_detailsWindow)
        return;
    RecordState record;
    if (!SourcesBackend::instance()->recordState(m_detailsViewFile, &record))
        return;
    QString name;
    if (record.hasFlag(RecordFlags::LibraryRoot)) {
        const QString package = record.path.section(QLatin1Char('/'), -2, -2);
        name = package.contains(QLatin1Char('.')) ? package.left(package.lastIndexOf(QLatin1Char('.'))) : package;
    } else {
        name = record.fileName.isEmpty() ? record.path.section(QLatin1Char('/'), -1) : record.fileName;
    }
    m_detailsWindow->setWindowTitle(L(QStringLiteral("\"%1\" details")).arg(name));
    // The same record listed again keeps its open folders, the current row and the scroll
    // position; another record starts closed.
    QSet<RecordId> open;
    RecordId current = 0;
    int scroll = 0;
    if (m_detailsListed == m_detailsViewFile) {
        for (QTreeWidgetItemIterator it(m_detailsTree); *it; ++it) {
            if ((*it)->isExpanded())
                open.insert((*it)->data(0, Qt::UserRole).value<qint64>());
        }
        if (m_detailsTree->currentItem())
            current = m_detailsTree->currentItem()->data(0, Qt::UserRole).value<qint64>();
        scroll = m_detailsTree->verticalScrollBar()->value();
    }
    m_detailsTree->clear();
    m_detailsListed = m_detailsViewFile;
    fillDetailsChildren(nullptr, m_detailsViewFile);
    if (open.isEmpty() && !current)
        return;
    // Opening a row lists its children, which may hold more rows to open.
    for (QTreeWidgetItemIterator it(m_detailsTree); *it; ++it) {
        const RecordId id = (*it)->data(0, Qt::UserRole).value<qint64>();
        if (open.contains(id))
            (*it)->setExpanded(true);
        if (current && id == current)
            m_detailsTree->setCurrentItem(*it);
    }
    m_detailsTree->verticalScrollBar()->setValue(scroll);
}

void SourcesPreferencesViewController::showDetailsViewForItem(const SourceItem &item)
{
    const QModelIndex index = m_model->indexForItem(item);
    if (index.isValid() && !(selectedItem() == item))
        m_ui->outlineView->selectionModel()->select(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    if (!m_detailsWindow) {
        auto *window = new QWidget(nullptr, Qt::Window);
        window->resize(680, 400); // room for the longest status texts beside the names
        auto *layout = new QVBoxLayout(window);
        m_detailsTree = new QTreeWidget(window);
        m_detailsTree->setColumnCount(2);
        m_detailsTree->setHeaderLabels({L(QStringLiteral("Name")), L(QStringLiteral("Status"))});
        m_detailsTree->header()->setStretchLastSection(true);
        m_detailsTree->setColumnWidth(0, 260);
        m_detailsTree->setContextMenuPolicy(Qt::CustomContextMenu);
        layout->addWidget(m_detailsTree);
        auto *buttons = new QHBoxLayout;
        auto *refresh = new QPushButton(L(QStringLiteral("Refresh")), window);
        refresh->setProperty("tag", 880);
        auto *close = new QPushButton(L(QStringLiteral("Close")), window);
        close->setProperty("tag", 881);
        buttons->addStretch();
        buttons->addWidget(refresh);
        buttons->addWidget(close);
        layout->addLayout(buttons);
        connect(refresh, &QPushButton::clicked, this, &SourcesPreferencesViewController::reloadDetailsView);
        connect(close, &QPushButton::clicked, window, &QWidget::close);
        connect(m_detailsTree, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem *row) {
            if (row->childCount() > 0)
                return;
            const RecordId id = row->data(0, Qt::UserRole).value<qint64>();
            RecordState record;
            if (SourcesBackend::instance()->recordState(id, &record) && record.needsScan != 0) {
                row->setExpanded(false);
                showScanningAlert();
                return;
            }
            fillDetailsChildren(row, id);
        });
        connect(m_detailsTree, &QTreeWidget::itemDoubleClicked, this, [this] { openCurrentDetailsSelection(false); });
        m_detailsTree->installEventFilter(this);
        connect(m_detailsTree, &QTreeWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
            QTreeWidgetItem *row = m_detailsTree->itemAt(pos);
            if (!row)
                return;
            if (QMenu *menu = buildDetailsMenu(row->data(0, Qt::UserRole).value<qint64>(), m_detailsTree))
                menu->popup(m_detailsTree->viewport()->mapToGlobal(pos));
        });
        m_detailsWindow = window;
    }
    // Always the record of the item asked for, not whichever row is selected.
    setDetailsViewFile(fileDataForItem(item));
    reloadDetailsView();
    if (!m_detailsWindow->isVisible()) {
        const QRect pane = window()->geometry();
        const QSize size = m_detailsWindow->size();
        m_detailsWindow->move(pane.topLeft() + QPoint((pane.width() - size.width()) / 2, (pane.height() - size.height()) / 2));
    }
    m_detailsWindow->show();
    m_detailsWindow->raise();
    m_detailsWindow->activateWindow();
    m_detailsTree->setFocus();
    track(QStringLiteral("Prefs: View folder status"));
}

FolderStatusViewController *SourcesPreferencesViewController::folderStatusWindowForPath(const QString &path)
{
    auto it = s_statusWindows.find(path);
    if (it != s_statusWindows.end() && it.value())
        return it.value();
    auto *window = new FolderStatusViewController(path);
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    s_statusWindows.insert(path, window);
    return window;
}

void SourcesPreferencesViewController::viewFolderStatus()
{
    RecordState record;
    const RecordId id = fileDataForItem(selectedItem());
    if (!id || !SourcesBackend::instance()->recordState(id, &record) || record.path.isEmpty())
        return;
    FolderStatusViewController *window = folderStatusWindowForPath(record.path);
    window->refresh();
    window->show();
    window->raise();
}

// ---------------------------------------------------------------------------------------------
// Album commands

void SourcesPreferencesViewController::addAlbumMenuItemsToMenu(QMenu *menu, const SourceItem &item)
{
    RecordState record;
    const RecordId id = fileDataForItem(item);
    if (!menu || m_isWelcomeScreen || !id || !SourcesBackend::instance()->recordState(id, &record))
        return;
    if (record.lumoraSetId != 0) {
        QPointer<SourcesPreferencesViewController> self(this);
        menu->addAction(L(QStringLiteral("View album on the web")), menu, [self, item] {
            if (self)
                self->viewAlbumOnWeb(item);
        });
    }
    menu->addSeparator();
}

void SourcesPreferencesViewController::viewAlbumOnWeb(const SourceItem &item)
{
    RecordState record;
    const RecordId id = fileDataForItem(item);
    if (!id || !SourcesBackend::instance()->recordState(id, &record))
        return;
    PreferencesServices &services = PreferencesServices::instance();
    const QString user = services.currentUserID();
    if (user.isEmpty())
        return;
    // The albums the engine makes for folders carry their id but no stored name: the page is
    // found by the id. Only an album named here and not made yet has no page to show.
    if (record.lumoraSetId == 0) {
        if (record.albumName.isEmpty())
            return;
        AlertRequest request;
        request.title = L(QStringLiteral("No photos yet in this album"));
        request.message = L(QStringLiteral("No photos have been uploaded yet from this album. Please add photos to this folder to upload, or please wait for photos to upload."));
        request.buttons = {L(QStringLiteral("OK"))};
        request.sheetParent = window();
        Alerts::show(request);
        return;
    }
    QString base = Endpoints::webBase(services.alphaOrWWW()).toString(QUrl::FullyEncoded);
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    const QUrl url(base + QStringLiteral("/photos/") + QString::fromLatin1(QUrl::toPercentEncoding(user)) + QStringLiteral("/sets/")
                       + QString::number(record.lumoraSetId),
                   QUrl::StrictMode);
    if (!Endpoints::isAllowedTransport(url))
        return;
    UrlOpeners::open(url);
    track(QStringLiteral("Albums: Open album"));
}

void SourcesPreferencesViewController::createAlbum(const SourceItem &item, const QString &title, bool includeSubfolders)
{
    const RecordId id = fileDataForItem(item);
    const QString name = title.trimmed();
    if (!id || name.isEmpty())
        return;
    track(QStringLiteral("Albums: Create album complete"));
    storeFolderChoice(id, [id, name, includeSubfolders] { SourcesBackend::instance()->createAlbum(id, name, includeSubfolders); });
    m_model->refreshRecords({id});
}

void SourcesPreferencesViewController::applyAlbumRenameWithNewName(const SourceItem &item, const QString &newName)
{
    RecordState record;
    const RecordId id = fileDataForItem(item);
    const QString name = newName.trimmed();
    if (!id || name.isEmpty() || !SourcesBackend::instance()->recordState(id, &record))
        return;
    if (name == record.albumName)
        return;
    track(QStringLiteral("Albums: Rename album complete"));
    storeFolderChoice(id, [id, name] { SourcesBackend::instance()->renameAlbum(id, name); });
    m_model->refreshRecords({id});
}

QString SourcesPreferencesViewController::albumButtonDidFinishRenaming(const SourceItem &item, const QString &text)
{
    RecordState record;
    const RecordId id = fileDataForItem(item);
    const bool has = id && SourcesBackend::instance()->recordState(id, &record);
    if (!has || text.isEmpty() || record.albumName.isEmpty() || text.size() >= 2048)
        return text;
    QString cleaned = text;
    cleaned.remove(QLatin1Char('\t')).remove(QLatin1Char('\r')).remove(QLatin1Char('\n')).remove(QLatin1Char('\b'));
    if (cleaned != record.albumName)
        applyAlbumRenameWithNewName(item, cleaned);
    return cleaned;
}

void SourcesPreferencesViewController::stopAddingToAlbumHit(const SourceItem &item)
{
    RecordState record;
    const RecordId id = fileDataForItem(item);
    if (!id || !SourcesBackend::instance()->recordState(id, &record) || record.albumName.isEmpty())
        return;
    track(QStringLiteral("Albums: Stop adding to album"));
    QPointer<SourcesPreferencesViewController> self(this);
    auto confirmed = [self, id] {
        if (!self)
            return;
        track(QStringLiteral("Albums: Stop adding to album confirmed"));
        SourcesBackend::instance()->stopAddingToAlbum(id);
        dispatch_main_async([self, id] {
            if (self)
                self->m_model->refreshRecords({id});
        });
    };
    if (m_isWelcomeScreen || record.lumoraSetId == 0) {
        confirmed();
        return;
    }
    AlertRequest request;
    request.title = L(QStringLiteral("Stop adding to this album?"));
    request.message = L(QStringLiteral("\"%1\" will still exist on Lumora, but new photos added to this folder will not be added to this album.")).arg(record.albumName);
    request.buttons = {L(QStringLiteral("OK")), L(QStringLiteral("Cancel"))};
    request.cancelButton = 1;
    request.sheetParent = window();
    Alerts::show(request, [confirmed](AlertResult result) {
        if (result.button == 0)
            confirmed();
    });
}

void SourcesPreferencesViewController::deleteAlbumHitExplicit(const SourceItem &item, bool explicitly)
{
    RecordState record;
    const RecordId id = fileDataForItem(item);
    if (!id || !SourcesBackend::instance()->recordState(id, &record) || record.albumName.isEmpty())
        return;
    if (m_isWelcomeScreen || record.lumoraSetId == 0) {
        stopAddingToAlbumHit(item);
        return;
    }
    track(QStringLiteral("Albums: Stop adding to album"));
    const qint64 setId = record.lumoraSetId; // the album as it was when the question was asked
    AlertRequest request;
    request.title = L(QStringLiteral("Delete \"%1\" on Lumora?")).arg(record.albumName);
    request.message = explicitly ? L(QStringLiteral("Photos in this album will still appear on Lumora, but this photo grouping will be removed."))
                                 : L(QStringLiteral("Would you like to delete this album from Lumora?"));
    request.buttons = {L(QStringLiteral("Delete")), L(QStringLiteral("Cancel")), L(QStringLiteral("View album on Lumora"))};
    request.cancelButton = 1;
    request.sheetParent = window();
    QPointer<SourcesPreferencesViewController> self(this);
    Alerts::show(request, [self, id, setId, item](AlertResult result) {
        if (!self)
            return;
        if (result.button == 0) {
            Settings::addObject(setId, QStringLiteral("ConfirmedDeletedAlbumIDs"));
            SourcesBackend::instance()->markAlbumDeleted(id);
        } else if (result.button == 2) {
            self->viewAlbumOnWeb(item);
        }
    });
}

void SourcesPreferencesViewController::toggleIncludeSubfolders(const SourceItem &item)
{
    RecordState record;
    const RecordId id = fileDataForItem(item);
    if (!id || !SourcesBackend::instance()->recordState(id, &record))
        return;
    const bool on = !record.albumIncludesSubfolders;
    storeFolderChoice(id, [id, on] { SourcesBackend::instance()->setAlbumIncludesSubfolders(id, on); });
    track(QStringLiteral("Albums: Toggle include subfolders"));
    if (!on) {
        AlertRequest request;
        request.title = record.albumName;
        request.message = L(QStringLiteral("Photos already added to this album on Lumora will not be removed, but we'll no longer add new photos to this album from subfolders."));
        request.buttons = {L(QStringLiteral("OK"))};
        request.sheetParent = window();
        Alerts::show(request);
    }
}

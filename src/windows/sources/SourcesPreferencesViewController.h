#pragma once
// The Upload pane: the sources (watched folders and library sources) as a tree with their folders,
// and the commands that change them. Built with initAsWelcomeScreenControl() it is the folder list
// of the onboarding summary screen.
#include "windows/preferences/PanedPreferencesViewController.h"
#include "windows/sources/NSKeyboardSupportOutlineView.h"
#include "windows/sources/SourcesPreferencesTableCellView.h"

#include <QElapsedTimer>
#include <QHash>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QWidget>
#include <functional>

class QLabel;
class QMenu;
class QPushButton;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;
class SourcesTreeModel;
class SourcesRowDelegate;
namespace Ui { class SourcesPreferencesView; }

class SourcesPreferencesViewControllerDelegate
{
public:
    virtual ~SourcesPreferencesViewControllerDelegate() = default;
    virtual void sourcesPreferencesContentsChanged() {}
    virtual void sourcesPreferencesSelectionChanged() {}
};

// The per-folder status window (one per folder path, kept for reuse).
class FolderStatusViewController : public QWidget
{
    Q_OBJECT
public:
    explicit FolderStatusViewController(const QString &path, QWidget *parent = nullptr);
    ~FolderStatusViewController() override;
    QString path() const { return m_path; }
    void refresh();

private:
    QString m_path;
    class Ui_FolderStatusViewController *m_ui;
};

class SourcesPreferencesViewController : public QWidget,
                                         public PanedPreferencesViewController,
                                         public KeyboardSupportOutlineViewDelegate
{
    Q_OBJECT
public:
    explicit SourcesPreferencesViewController(QWidget *parent = nullptr);
    static SourcesPreferencesViewController *initAsWelcomeScreenControl(QWidget *parent = nullptr);
    ~SourcesPreferencesViewController() override;

    // ---- Entry points of other areas ----
    // Adds a watched folder (when it exists and is not watched yet), whether or not a pane exists.
    static void addPath(const QString &path);
    // Forced refresh of the most recent pane or onboarding list; nothing when there is none.
    static void refreshView();
    static void showAddFolderDialog();
    static SourcesPreferencesViewController *mostRecentInstance();
    // The Dropbox folder as found at the last refresh.
    static QString lastKnownDropboxDirectory();

    // ---- Pane protocol ----
    QString identifier() const override { return QStringLiteral("SourcePreferences"); }
    QIcon toolbarItemImage() const override;
    QString toolbarItemLabel() const override;
    QWidget *paneView() override { return this; }
    void viewWillAppear() override;
    QWidget *initialKeyView() override;

    bool isWelcomeScreen() const { return m_isWelcomeScreen; }
    void setDelegate(SourcesPreferencesViewControllerDelegate *delegate) { m_delegate = delegate; }
    SourcesPreferencesViewControllerDelegate *delegate() const { return m_delegate; }
    void setAutoCreateAlbums(bool value) { m_autoCreateAlbums = value; }
    bool autoCreateAlbums() const { return m_autoCreateAlbums; }

    // ---- Sources and items ----
    // Refresh of the source list (gathered in the background); a forced refresh always reloads.
    void refreshViewForceRefreshUI(bool force);
    void refreshViewInstance() { refreshViewForceRefreshUI(false); }
    void reloadData();
    QStringList sources() const { return m_sources; }
    QSet<QString> selectedSources() const { return m_selectedSources; }
    struct Gathered
    {
        QStringList sources;
        QSet<QString> enabled;
        // Watched folders on a removable volume mounted now: path -> the device's name.
        QHash<QString, QString> removable;
    };
    // Reads the sources configuration (any thread).
    static Gathered gatherSources(SourcesBackend *backend);
    RecordId fileDataForItem(const SourceItem &item) const;
    static QString pathForItemWithName(const QString &name);
    bool isTopLevelItem(const SourceItem &item) const;
    static QString pathCondensingUserFolder(const QString &path);
    static QString messagesName();
    // Whether the watched folder lies on a removable device, mounted now or when last seen
    // (read once per refresh, and remembered across runs); its name in deviceName.
    bool removableSourceDevice(const QString &path, QString *deviceName) const;

    NSKeyboardSupportOutlineView *outlineView() const;
    SourcesTreeModel *model() const { return m_model; }
    QLabel *noSourcesLabel() const;
    QLabel *statusLabel() const;
    QWidget *statusProgressBarView() const;
    QPushButton *addSourceButton() const;
    QPushButton *removeSourceButton() const;
    QPushButton *addSourceButton2() const;
    QPushButton *removeSourceButton2() const;
    QPushButton *statusLabelButton() const;

    // ---- Tree expansion ----
    // Lists the children of the item and answers true, or answers false (with the scanning alert
    // queued when its scan is pending).
    bool shouldExpandItem(const QModelIndex &index);
    SourceItem selectedItem() const;

    // ---- Commands ----
    QMenu *buildAddSourceMenu(QWidget *parent, bool optionHeld);
    void addSourceButtonHit();
    // Pops the add-source menu up under another button (the onboarding summary's "+").
    void addSourceButtonHit(QWidget *sender);
    void addFolderHit();
    void addFolder(const QString &path);
    void addFolderInternal(const QString &path);
    void addSpecialFolderHitWithName(const QString &name);
    // Enables or disables a source; disabling asks first. done(true) when the change was made.
    void toggleStateForItemNamed(const QString &name, bool selected, std::function<void(bool)> done = {});
    void removeSourceButtonHit();
    void toggleSourceMenuItemHit(const SourceItem &item);
    void deleteHit();
    void tableViewDoubleClicked();
    bool couldOpenCurrentSelection() const;
    void openCurrentSelection();
    void viewFileOnLumora(RecordId record);
    // Drops: adds the folders among the paths; explains when files were dropped.
    bool performDrop(const QStringList &paths);

    // Context menus built for one item; their actions act on that item whatever happens later.
    QMenu *buildMainMenu(const SourceItem &item, QWidget *parent);
    QMenu *buildDetailsMenu(RecordId record, QWidget *parent);

    // ---- Row controls ----
    void excludedFolderCheckboxHit(const SourceItem &item, bool checkboxOn);
    void statusButtonHit(const SourceItem &item, const QPoint &globalPos);
    QMenu *buildStatusMenu(const SourceItem &item, QWidget *parent);
    void reuploadFolder(const SourceItem &item);
    void displayDetailedStatus(const SourceItem &item) { showDetailsViewForItem(item); }

    // ---- Album commands of a row ----
    void addAlbumMenuItemsToMenu(QMenu *menu, const SourceItem &item);
    void viewAlbumOnWeb(const SourceItem &item);
    void createAlbum(const SourceItem &item, const QString &title, bool includeSubfolders);
    void applyAlbumRenameWithNewName(const SourceItem &item, const QString &name);
    // The album button's in-place rename ended with this text; answers the title to show.
    QString albumButtonDidFinishRenaming(const SourceItem &item, const QString &text);
    void stopAddingToAlbumHit(const SourceItem &item);
    void deleteAlbumHitExplicit(const SourceItem &item, bool explicitly);
    void toggleIncludeSubfolders(const SourceItem &item);

    // ---- Status line, pause menu, details window ----
    void updateStatus();
    void updateStatus2();
    void updateProgressBar();
    QMenu *buildPauseMenu(QWidget *parent);
    void statusLabelHit();
    void fitStatusText();
    void showDetailsViewForItem(const SourceItem &item);
    void setDetailsViewFile(RecordId record);
    RecordId detailsViewFile() const { return m_detailsViewFile; }
    void reloadDetailsView();
    QWidget *detailsWindow() const { return m_detailsWindow; }
    QTreeWidget *detailsOutlineView() const { return m_detailsTree; }
    static QString fileStatusText(const RecordState &record, RecordId uploading);
    // Opens the details window's selected file (browse: shows it in its folder instead).
    void openCurrentDetailsSelection(bool browse);
    void openDetailsRecord(RecordId record, bool browse);
    static QString detailsCountText(const RecordState &record);
    // The status of an entry no record can hold: its name keeps it from being backed up, or it
    // could not be looked at.
    static QString skippedStatusText(bool isFolder, SourcesBackend::SkippedEntry::Why why);
    void viewFolderStatus();
    static FolderStatusViewController *folderStatusWindowForPath(const QString &path);

    // ---- Turning status icons ----
    double spinnerAngleDegrees() const { return m_spinnerAngle; }
    bool isSpinnerRunning() const;
    // One step of the turning icons to this angle (degrees, 360 down to 0 every 1.66 s).
    void stepSpinner(double angleDegrees);

    // KeyboardSupportOutlineViewDelegate
    bool outlineViewKeyDown(QTreeView *view, QKeyEvent *event) override;
    QMenu *tableViewMenuForRows(QTreeView *view, const QModelIndexList &rows) override;

Q_SIGNALS:
    // A gathered source list landed (tests and the onboarding list wait for it).
    void sourcesRefreshed();

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void awakeFromNib();
    void applyGathered(const Gathered &gathered, bool force);
    void rememberRemovableSources(const Gathered &gathered);
    void outlineViewSelectionDidChange();
    void onExpanded(const QModelIndex &index);
    void onRecordsChanged(const QSet<RecordId> &ids);
    void onChildrenChanged(const QSet<RecordId> &ids);
    // Lists the item's children again (from these candidates of the record when only new ones
    // were appended since the last listing).
    void relistChildren(const QModelIndex &index, RecordId id, const QList<RecordId> &candidates = {});
    void showScanningAlert();
    void relistOpenFolders();
    void tickSpinner();
    void updateSpinnerRunning();
    void fillDetailsChildren(QTreeWidgetItem *parent, RecordId record);
    void applyExclusion(const SourceItem &item, RecordId id, bool excluded);
    // Runs a change of the folder's choices; says once when the folder's settings file could
    // not take it (the choice holds on this computer all the same).
    void storeFolderChoice(RecordId id, const std::function<void()> &change);
    QString openPathForItem(const SourceItem &item, RecordState *record = nullptr) const;

    Ui::SourcesPreferencesView *m_ui;
    bool m_isWelcomeScreen = false;
    bool m_autoCreateAlbums = false;
    SourcesPreferencesViewControllerDelegate *m_delegate = nullptr;
    QStringList m_sources;
    QSet<QString> m_selectedSources;
    QHash<QString, QString> m_removableNow;
    QHash<QString, QString> m_removableKnown;
    bool m_haveSources = false;
    quint64 m_gatherGeneration = 0;
    SourcesTreeModel *m_model = nullptr;
    SourcesRowDelegate *m_rowDelegate = nullptr;
    QPointer<QWidget> m_detailsWindow;
    QTreeWidget *m_detailsTree = nullptr;
    RecordId m_detailsViewFile = 0;
    RecordId m_detailsListed = 0; // the record the details tree lists now
    QTimer *m_spinnerTimer = nullptr;
    QElapsedTimer m_spinnerClock;
    double m_spinnerAngle = 0;
};

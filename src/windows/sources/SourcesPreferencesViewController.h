#pragma once
// The Upload pane: the sources (watched folders and library sources) as a tree with their folders,
// and the commands that change them. Built with initAsWelcomeScreenControl() it is the folder list
// of the onboarding summary screen.
#include "windows/preferences/PanedPreferencesViewController.h"

#include <QPointer>
#include <QStringList>
#include <QWidget>

class SourcesPreferencesViewControllerDelegate
{
public:
    virtual ~SourcesPreferencesViewControllerDelegate() = default;
    virtual void sourcesPreferencesContentsChanged() {}
    virtual void sourcesPreferencesSelectionChanged() {}
};

class SourcesPreferencesViewController : public QWidget, public PanedPreferencesViewController
{
    Q_OBJECT
public:
    explicit SourcesPreferencesViewController(QWidget *parent = nullptr);
    static SourcesPreferencesViewController *initAsWelcomeScreenControl(QWidget *parent = nullptr);
    ~SourcesPreferencesViewController() override;

    // Adds a watched folder (when it exists and is not watched yet), whether or not a pane exists.
    static void addPath(const QString &path);
    // Forced refresh of the most recent pane or onboarding list; nothing when there is none.
    static void refreshView();
    static void showAddFolderDialog();
    static SourcesPreferencesViewController *mostRecentInstance();

    // Pane protocol.
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

    // Refresh of the source list; a forced refresh always reloads the tree.
    void refreshViewForceRefreshUI(bool force);
    void refreshViewInstance() { refreshViewForceRefreshUI(false); }
    void reloadData();
    // The top-level items in display order.
    QStringList sources() const { return m_sources; }
    QStringList selectedSources() const { return m_selectedSources; }

    // Commands (menus and buttons).
    void addFolderHit();
    void addSourceButtonHit();
    void removeSourceButtonHit();

private:
    bool m_isWelcomeScreen = false;
    bool m_autoCreateAlbums = false;
    SourcesPreferencesViewControllerDelegate *m_delegate = nullptr;
    QStringList m_sources;
    QStringList m_selectedSources;
};

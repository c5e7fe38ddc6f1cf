#include "windows/sources/SourcesPreferencesViewController.h"

#include "windows/preferences/PreferenceTexts.h"
#include "windows/sources/SourcesBackend.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>

namespace {
QPointer<SourcesPreferencesViewController> s_mostRecent;
}

SourcesPreferencesViewController::SourcesPreferencesViewController(QWidget *parent) : QWidget(parent)
{
    ensurePreferencesResources();
    resize(560, 420);
}

SourcesPreferencesViewController *SourcesPreferencesViewController::initAsWelcomeScreenControl(QWidget *parent)
{
    auto *controller = new SourcesPreferencesViewController(parent);
    controller->m_isWelcomeScreen = true;
    return controller;
}

SourcesPreferencesViewController::~SourcesPreferencesViewController() = default;

SourcesPreferencesViewController *SourcesPreferencesViewController::mostRecentInstance()
{
    return s_mostRecent.data();
}

QIcon SourcesPreferencesViewController::toolbarItemImage() const
{
    return QIcon(QStringLiteral(":/images/preferences/PrefPaneUpload.svg"));
}

QString SourcesPreferencesViewController::toolbarItemLabel() const
{
    return PreferenceTexts::tr(QStringLiteral("Upload"));
}

void SourcesPreferencesViewController::viewWillAppear()
{
    refreshViewInstance();
}

QWidget *SourcesPreferencesViewController::initialKeyView()
{
    return this;
}

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

void SourcesPreferencesViewController::refreshViewForceRefreshUI(bool force)
{
    Q_UNUSED(force);
    s_mostRecent = this;
    m_sources = SourcesBackend::instance()->customFolders();
    m_selectedSources = m_sources;
}

void SourcesPreferencesViewController::reloadData() {}
void SourcesPreferencesViewController::addFolderHit() {}
void SourcesPreferencesViewController::addSourceButtonHit() {}
void SourcesPreferencesViewController::removeSourceButtonHit() {}

#include "windows/sources/SourcesPreferencesTableCellView.h"

#include "windows/preferences/PreferenceTexts.h"
#include "windows/sources/SourcesPreferencesViewController.h"

#include <QDir>
#include <QFileInfo>

namespace {
QString lastComponent(const QString &path)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? path : path.mid(slash + 1);
}

QString withoutLastComponent(const QString &path)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return QString();
    return slash == 0 ? QStringLiteral("/") : path.left(slash);
}

// Fills each "%d" of a translated format with the next number.
QString fillInts(QString format, std::initializer_list<int> values)
{
    for (int value : values) {
        const int at = format.indexOf(QStringLiteral("%d"));
        if (at < 0)
            break;
        format.replace(at, 2, QString::number(value));
    }
    return format;
}

bool sourceExists(const QString &path, bool hasRecord, const RecordState &record)
{
    return QFileInfo::exists(path) && !(hasRecord && record.hasFlag(RecordFlags::SourceUnavailable));
}

// A watched folder deleted or moved away reads as absent, as a pulled card does, the standard
// folders too: with several sources the user sees which one is gone.
QString unavailableMarked(const QString &title, const QString &path, bool hasRecord, const RecordState &record)
{
    if (!hasRecord || sourceExists(path, hasRecord, record))
        return title;
    return PreferenceTexts::tr(QStringLiteral("%1 (Unavailable)")).arg(title);
}

QString withoutExtension(const QString &name)
{
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    return dot <= 0 ? name : name.left(dot);
}
} // namespace

QString SourcesPreferencesTableCellView::folderTitle(const QString &path, bool removable, bool pathExists,
                                                     const QString &deviceName)
{
    QString title = lastComponent(path);
    if (title.isEmpty())
        title = path;
    title.remove(QStringLiteral("/Volumes/"));
    if (!deviceName.isEmpty())
        title = deviceName;
    if (removable && !pathExists)
        title += QStringLiteral(" (Disconnected)");
    return title;
}

QString SourcesPreferencesTableCellView::countsText(const RecordState &record, bool *appendedPhotoPart)
{
    const int folders = record.foldersRecursive;
    const int photos = record.photosRecursive;
    const bool scanning = record.needsScan != 0;
    QString text;
    bool photoPart = false;
    if (folders > 0) {
        const QString noun = record.hasFlag(RecordFlags::LibraryRoot) ? QStringLiteral("album") : QStringLiteral("folder");
        text = QStringLiteral("%1 %2%3").arg(folders).arg(noun, folders == 1 ? QString() : QStringLiteral("s"));
    }
    if (photos > 0) {
        text += QStringLiteral("%1%2 photo%3").arg(text.isEmpty() ? QString() : QStringLiteral(", ")).arg(photos)
                    .arg(photos == 1 ? QString() : QStringLiteral("s"));
        photoPart = true;
    } else if (folders > 0 && !scanning) {
        text += QStringLiteral(", no photos");
        photoPart = true;
    }
    if (PreferenceTexts::isLocalized()) {
        if (folders > 0 && photoPart)
            text = fillInts(PreferenceTexts::tr(QStringLiteral("%d folder(s), %d photo(s)")), {folders, photos});
        else if (folders > 0)
            text = fillInts(PreferenceTexts::tr(QStringLiteral("%d folder(s)")), {folders});
        else if (photos > 0)
            text = fillInts(PreferenceTexts::tr(QStringLiteral("%d photo(s)")), {photos});
        else
            text.clear();
    }
    if (appendedPhotoPart)
        *appendedPhotoPart = photoPart;
    return text;
}

QString SourcesPreferencesTableCellView::statusText(const RecordState &record)
{
    QString text = countsText(record);
    if (record.needsScan != 0 || record.scanning) {
        if (text.isEmpty())
            text = PreferenceTexts::tr(QStringLiteral("Scanning..."));
        else
            text += QLatin1Char(' ') + PreferenceTexts::tr(QStringLiteral("(Scanning)"));
    }
    if (text.isEmpty())
        text = PreferenceTexts::tr(QStringLiteral("No photos"));
    if (record.hasFlag(RecordFlags::ICloudLibrary))
        text = PreferenceTexts::tr(QStringLiteral("Library inaccessible, stored in iCloud"));
    return text;
}

void SourcesPreferencesTableCellView::statusIcon(const RecordState &record, bool pathExists, SourceRowState *row)
{
    row->statusPending = false;
    if (record.cachedStatus == 0 && !record.hasFlag(RecordFlags::ICloudLibrary)) {
        // Computing a status may walk the subtree: done on a later turn, not while painting.
        row->statusPending = true;
        return;
    }
    bool scanning = record.scanning;
    int status = record.cachedStatus;
    if (record.hasFlag(RecordFlags::ICloudLibrary))
        status = 8;
    else if (status == 4 && scanning)
        status = 1;
    if (!pathExists || record.excludedFromScan) {
        row->statusIconName.clear();
    } else {
        switch (status) {
        case 0: row->statusIconName.clear(); break;
        case 1: row->statusIconName = QStringLiteral("SourcesIconIdle"); break;
        case 2: row->statusIconName = QStringLiteral("SourcesIconWorking"); break;
        case 4: row->statusIconName = QStringLiteral("SourcesIconDone"); break;
        case 8: row->statusIconName = QStringLiteral("SourcesIconError"); scanning = false; break;
        default: break;
        }
    }
    row->sourceStatus = status;
    row->spinning = (status == 2 || scanning);
    row->windingDown = (status == 1 && !scanning);
}

SourceRowState SourcesPreferencesTableCellView::setItem(const SourceItem &item, const SourcesPreferencesViewController *controller)
{
    SourceRowState row = prepareForReuse();
    row.bound = true;
    SourcesBackend *backend = SourcesBackend::instance();
    RecordState record;
    const RecordId id = controller ? controller->fileDataForItem(item) : item.record;
    const bool hasRecord = id != 0 && backend->recordState(id, &record);
    row.record = hasRecord ? id : 0;
    row.hasChildren = hasRecord && record.hasFlag(RecordFlags::ChildrenListed);
    row.albumName = record.albumName;
    row.albumMode = record.albumMode;
    // A source the scanner could not reach (an unplugged card) is absent even where an empty
    // mount folder is left behind.
    row.pathExists = hasRecord && (record.isVirtualFolder
                                   || (!record.path.isEmpty() && !record.hasFlag(RecordFlags::SourceUnavailable)
                                       && QFileInfo::exists(record.path)));

    const QString picturesPath = backend->standardDirectory(SourcesBackend::Folder::Pictures);
    const QString messages = PreferenceTexts::tr(QStringLiteral("Messages"));
    if (item.isTopLevel()) {
        const QString &name = item.name;
        if (name == QLatin1String("iCloud Library")) {
            row.title = name;
            row.iconPath = name;
        } else if (name == QLatin1String("'Photos'") || name == QLatin1String("Aperture") || record.hasFlag(RecordFlags::PhotosRoot)) {
            row.iconName = QStringLiteral("SourcesIconIPhotoSm");
            const QString package = withoutLastComponent(record.path);
            if (name == QLatin1String("'Photos'"))
                row.title = PreferenceTexts::tr(QStringLiteral("'Photos' Library"));
            else if (name == QLatin1String("Aperture") || name == QLatin1String("iPhoto"))
                row.title = name;
            else
                row.title = withoutExtension(lastComponent(package));
            row.toolTip = package;
        } else if (name == QLatin1String("iPhoto") || record.hasFlag(RecordFlags::IPhotoRoot)) {
            row.iconName = QStringLiteral("SourcesIconIPhotoSm");
            row.title = name == QLatin1String("iPhoto") ? name : withoutExtension(lastComponent(withoutLastComponent(name)));
            row.toolTip = withoutLastComponent(record.path);
        } else if (name == messages) {
            row.iconName = QStringLiteral("SourceIconIMessage");
            row.title = name;
        } else if (!picturesPath.isEmpty() && name == picturesPath) {
            row.iconName = QStringLiteral("SourcesIconFolderSm");
            row.title = unavailableMarked(lastComponent(name), name, hasRecord, record);
            row.toolTip = name;
        } else if (name == QLatin1String("Dropbox")) {
            row.iconName = QStringLiteral("SourcesIconDropboxSm");
            row.title = name;
        } else {
            row.iconName = QStringLiteral("SourcesIconFolderSm");
            const bool exists = sourceExists(name, hasRecord, record);
            // Cameras and cards are named by their device; an absent one says so. The pane read
            // the mount table once for this refresh and remembers devices seen before.
            QString device;
            const bool removable = controller && controller->removableSourceDevice(name, &device);
            row.title = folderTitle(name, removable, exists, device);
            if (!removable)
                row.title = unavailableMarked(row.title, name, hasRecord, record);
            row.toolTip = name;
        }
    } else {
        row.iconName = QStringLiteral("SourcesIconFolderSm");
        row.title = record.fileName.isEmpty() ? lastComponent(record.path) : record.fileName;
    }

    if (hasRecord) {
        row.checkboxChecked = !record.excludedFromScan;
        row.checkboxVisible = !record.hasFlag(RecordFlags::LibraryAlbum);
        row.subtitle = statusText(record);
        if (!(controller && controller->isWelcomeScreen()))
            statusIcon(record, row.pathExists, &row);
    } else {
        row.subtitle = PreferenceTexts::tr(QStringLiteral("No photos"));
    }
    return row;
}

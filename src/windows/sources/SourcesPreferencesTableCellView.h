#pragma once
// One row of the sources tree, as state rather than widgets: what the row shows (icon, title,
// subtitle, check box, status icon) is computed from the item and its record when the row is
// bound, and the tree's delegate paints it. A tree of tens of thousands of folders therefore
// holds small values, not views.
#include "windows/sources/SourcesBackend.h"

#include <QHashFunctions>
#include <QString>

class SourcesPreferencesViewController;

// A tree item: a top-level source (its name or path) or a catalogue record below it.
struct SourceItem
{
    QString name;          // top-level: "iPhoto", "'Photos'", "Dropbox", "Messages" or a folder path
    RecordId record = 0;   // below the top level
    bool isTopLevel() const { return record == 0; }
    bool operator==(const SourceItem &o) const { return name == o.name && record == o.record; }
};
inline size_t qHash(const SourceItem &item, size_t seed = 0)
{
    return qHashMulti(seed, item.name, item.record);
}

struct SourceRowState
{
    bool bound = false;
    RecordId record = 0;     // the record the row shows and follows
    QString iconName;        // bundle image, or "" to use the file-type icon of iconPath
    QString iconPath;
    QString title;
    QString subtitle;
    QString toolTip;
    bool checkboxVisible = true;
    bool checkboxChecked = true; // on = uploaded (not excluded)
    QString statusIconName;  // "" = none
    int sourceStatus = 0;
    bool spinning = false;
    bool windingDown = false; // waiting again, nothing scanning: a turning icon finishes its turn
    bool statusPending = false; // status not computed yet; a later turn computes it
    bool pathExists = false;
    bool hasChildren = false;
    QString albumName;
    int albumMode = 0;
    QStringList titlesOfChildren;
};

class SourcesPreferencesTableCellView
{
public:
    // Bind: the row's whole state for the item, in the given pane.
    static SourceRowState setItem(const SourceItem &item, const SourcesPreferencesViewController *controller);
    // Unbind: a fresh, empty row.
    static SourceRowState prepareForReuse() { return SourceRowState(); }

    // Subtitle of a record: "3 folders, 12 photos", "(Scanning)", "No photos"...
    static QString statusText(const RecordState &record);
    // Counts text shared with the details window ("album"/"folder" by the kind of record).
    static QString countsText(const RecordState &record, bool *appendedPhotoPart = nullptr);
    // Status image name and whether it turns, for a record (welcome screen: none).
    static void statusIcon(const RecordState &record, bool pathExists, SourceRowState *row);
    // The title of a watched folder path ("/Volumes/" removed, device names, disconnected).
    static QString folderTitle(const QString &path, bool removable, bool pathExists, const QString &deviceName);
};

#pragma once
// The sources tree as an item model: top-level sources, and below them the folders of each
// expanded item. Rows hold items (names or record ids) and a lazily bound row state; a record
// shown in several places is refreshed everywhere it appears.
#include "windows/sources/SourcesPreferencesTableCellView.h"

#include <QAbstractItemModel>
#include <QHash>
#include <QMultiHash>
#include <QSet>
#include <QStringList>
#include <vector>

class SourcesPreferencesViewController;

class SourcesTreeModel : public QAbstractItemModel
{
    Q_OBJECT
public:
    enum class Tree { Main, Details, SetupAlbums };

    explicit SourcesTreeModel(SourcesPreferencesViewController *controller, Tree tree = Tree::Main, QObject *parent = nullptr);

    QModelIndex index(int row, int column, const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    bool hasChildren(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    // Brings the top level (the pane's sources) to this list; rows that stay are kept as they are.
    void setTopLevel(const QList<SourceItem> &items);
    // Lists the item's children now (recomputed on every expansion).
    void setChildren(const QModelIndex &parent, const QList<RecordId> &children);
    // Brings the item's child rows to this list by inserting and removing only the rows that
    // differ; rows that stay keep their expansion, selection and children. Answers whether any
    // row was inserted or removed.
    bool updateChildren(const QModelIndex &parent, const QList<RecordId> &children);
    // What the last listing of the item's children was made from (see Listing).
    struct Listing
    {
        QList<RecordId> candidates; // the record's own children, as the catalogue listed them
        bool followedChains = false; // a kept row came from below a candidate
        QList<RecordId> rows;       // what was kept, sorted by name
        QStringList names;          // their names, in the same order
    };
    void setListing(const QModelIndex &parent, const Listing &listing);
    // The item's last listing, or null.
    const Listing *listingOf(const QModelIndex &parent) const;
    // Brings a main-tree listing up to date when the catalogue only appended children to the
    // record (what a scan that finds new files and folders does): only the new children are
    // read. False when the listing must be made again in full.
    static bool extendListing(RecordId id, const QList<RecordId> &candidates, Listing *listing);
    // Whether a listing made from these candidates could differ from the item's rows now.
    bool listingMayDiffer(const QModelIndex &parent, const QList<RecordId> &candidates) const;
    SourceItem itemAt(const QModelIndex &index) const;
    // The bound row state (bound on first use).
    const SourceRowState &rowState(const QModelIndex &index) const;
    // Every index that shows the item or record now.
    QList<QModelIndex> indexesForRecord(RecordId id) const;
    QModelIndex indexForItem(const SourceItem &item) const;
    // Re-binds the rows of these records (state changes) and reports them.
    void refreshRecords(const QSet<RecordId> &ids);
    // Re-binds every bound row (after a refresh of the pane).
    void rebindAll();
    bool isExpandable(const QModelIndex &index) const;
    int level(const QModelIndex &index) const;
    Tree tree() const { return m_tree; }
    // Rows whose status icon turns now.
    bool anySpinning() const { return !m_spinning.isEmpty(); }
    QList<QModelIndex> spinningIndexes() const;
    // Whether the row's status icon is turning now (also while it finishes its turn).
    bool isTurning(const QModelIndex &index) const;
    // The turn passed its half: icons that were winding down stop; answers their rows.
    QList<QModelIndex> finishWindingDown();

    // The children rule of the tree for a record: folders of the same kind, single-child
    // chains followed, sorted by file name.
    static QList<RecordId> childrenForRecord(RecordId id, Tree tree, Listing *listing = nullptr, int limit = -1);

Q_SIGNALS:
    void spinningChanged();

private:
    struct Node
    {
        SourceItem item;
        int parent = -1;
        int row = 0;
        std::vector<int> children;
        mutable SourceRowState state;
        mutable int expandable = -1; // -1 unknown, 0 no, 1 yes
        bool alive = true;
        bool listed = false;
        Listing listing;
    };
    int nodeOf(const QModelIndex &index) const;
    bool updateRows(int parent, const QList<SourceItem> &wanted);
    QModelIndex indexOfNode(int node) const;
    void releaseSubtree(int node);
    int newNode(const SourceItem &item, int parent, int row);
    RecordId recordOfNode(int node) const;
    void renumber(int parent, int from);

    SourcesPreferencesViewController *m_controller;
    Tree m_tree;
    std::vector<Node> m_nodes;
    std::vector<int> m_free;
    QMultiHash<RecordId, int> m_nodesByRecord;
    QSet<int> m_spinning;
    QSet<int> m_ending;
    QSet<RecordId> m_statusQueued;
};

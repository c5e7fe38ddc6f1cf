#include "windows/sources/SourcesTreeModel.h"

#include "windows/sources/SourcesPreferencesViewController.h"

#include <QFileInfo>
#include <algorithm>

SourcesTreeModel::SourcesTreeModel(SourcesPreferencesViewController *controller, Tree tree, QObject *parent)
    : QAbstractItemModel(parent), m_controller(controller), m_tree(tree)
{
    m_nodes.emplace_back(); // the invisible root
}

int SourcesTreeModel::nodeOf(const QModelIndex &index) const
{
    if (!index.isValid())
        return 0;
    const int node = int(index.internalId());
    return (node > 0 && node < int(m_nodes.size()) && m_nodes[node].alive) ? node : -1;
}

QModelIndex SourcesTreeModel::indexOfNode(int node) const
{
    if (node <= 0 || node >= int(m_nodes.size()) || !m_nodes[node].alive)
        return QModelIndex();
    return createIndex(m_nodes[node].row, 0, quintptr(node));
}

QModelIndex SourcesTreeModel::index(int row, int column, const QModelIndex &parent) const
{
    const int p = nodeOf(parent);
    if (p < 0 || column != 0 || row < 0 || row >= int(m_nodes[p].children.size()))
        return QModelIndex();
    return createIndex(row, column, quintptr(m_nodes[p].children[row]));
}

QModelIndex SourcesTreeModel::parent(const QModelIndex &child) const
{
    const int n = nodeOf(child);
    if (n <= 0)
        return QModelIndex();
    return indexOfNode(m_nodes[n].parent);
}

int SourcesTreeModel::rowCount(const QModelIndex &parent) const
{
    if (parent.column() > 0)
        return 0;
    const int p = nodeOf(parent);
    return p < 0 ? 0 : int(m_nodes[p].children.size());
}

int SourcesTreeModel::columnCount(const QModelIndex &) const
{
    return 1;
}

RecordId SourcesTreeModel::recordOfNode(int node) const
{
    const Node &n = m_nodes[node];
    if (!n.item.isTopLevel())
        return n.item.record;
    if (!n.state.bound)
        rowState(indexOfNode(node));
    return n.state.record;
}

bool SourcesTreeModel::isExpandable(const QModelIndex &index) const
{
    const int n = nodeOf(index);
    if (n <= 0)
        return false;
    const Node &node = m_nodes[n];
    if (node.expandable >= 0)
        return node.expandable == 1;
    bool answer = false;
    RecordState record;
    const RecordId id = recordOfNode(n);
    if (m_tree != Tree::SetupAlbums && id && SourcesBackend::instance()->recordSummary(id, &record)) {
        if (m_tree == Tree::Main)
            answer = record.hasFlag(RecordFlags::ChildrenListed) && !record.excludedFromScan;
        else
            answer = !record.excludedFromScan
                     && (record.hasFlag(RecordFlags::ChildrenListed) || record.numberOfPhotos > 0 || record.numberOfVideos > 0);
        // The main tree lists folders only: a folder of photos alone has no row to open to, so it
        // shows no arrow (the Messages source opens to nothing either way, and says so on expansion).
        // Asked of the catalogue before the disk: a view lays out every row of a folder it opens,
        // and most rows of a large one are folders of photos alone, which need no look at the disk.
        if (answer && m_tree == Tree::Main && node.children.empty()
            && record.path != SourcesBackend::instance()->standardDirectory(SourcesBackend::Folder::IMessage))
            answer = SourcesBackend::instance()->mayHaveChildFolders(id) && !childrenForRecord(id, m_tree, nullptr, 1).isEmpty();
        if (answer)
            answer = record.isVirtualFolder || record.path.isEmpty() || QFileInfo::exists(record.path);
    }
    node.expandable = answer ? 1 : 0;
    return answer;
}

bool SourcesTreeModel::hasChildren(const QModelIndex &parent) const
{
    const int p = nodeOf(parent);
    if (p < 0)
        return false;
    if (p == 0 || !m_nodes[p].children.empty())
        return p == 0 ? !m_nodes[0].children.empty() : true;
    return isExpandable(parent);
}

const SourceRowState &SourcesTreeModel::rowState(const QModelIndex &index) const
{
    static const SourceRowState none;
    const int n = nodeOf(index);
    if (n <= 0)
        return none;
    const Node &node = m_nodes[n];
    if (!node.state.bound) {
        const RecordId old = node.state.record;
        node.state = SourcesPreferencesTableCellView::setItem(node.item, m_controller);
        auto *self = const_cast<SourcesTreeModel *>(this);
        const bool wasSpinning = self->m_spinning.contains(n);
        if (node.state.spinning) {
            self->m_spinning.insert(n);
            self->m_ending.remove(n);
        } else if (wasSpinning && node.state.windingDown) {
            self->m_ending.insert(n); // keeps turning until the turn passes its half
        } else {
            self->m_spinning.remove(n);
            self->m_ending.remove(n);
        }
        if (wasSpinning != self->m_spinning.contains(n))
            QMetaObject::invokeMethod(self, &SourcesTreeModel::spinningChanged, Qt::QueuedConnection);
        if (node.state.statusPending && node.state.record && !self->m_statusQueued.contains(node.state.record)) {
            // The status is computed on the next turn, never while painting.
            const RecordId record = node.state.record;
            self->m_statusQueued.insert(record);
            QMetaObject::invokeMethod(self, [self, record] {
                self->m_statusQueued.remove(record);
                if (SourcesBackend::instance()->computeStatus(record) != 0)
                    self->refreshRecords({record});
            }, Qt::QueuedConnection);
        }
        if (node.item.isTopLevel() && old != node.state.record) {
            if (old)
                self->m_nodesByRecord.remove(old, n);
            if (node.state.record)
                self->m_nodesByRecord.insert(node.state.record, n);
        }
    }
    return node.state;
}

QVariant SourcesTreeModel::data(const QModelIndex &index, int role) const
{
    if (nodeOf(index) <= 0)
        return QVariant();
    const SourceRowState &state = rowState(index);
    switch (role) {
    case Qt::DisplayRole:
        return state.title;
    case Qt::ToolTipRole:
        return state.toolTip.isEmpty() ? QVariant() : QVariant(state.toolTip);
    case Qt::AccessibleDescriptionRole:
        return state.subtitle;
    case Qt::CheckStateRole:
        return state.checkboxVisible ? QVariant(state.checkboxChecked ? Qt::Checked : Qt::Unchecked) : QVariant();
    default:
        return QVariant();
    }
}

Qt::ItemFlags SourcesTreeModel::flags(const QModelIndex &index) const
{
    if (nodeOf(index) <= 0)
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

int SourcesTreeModel::newNode(const SourceItem &item, int parent, int row)
{
    int n;
    if (!m_free.empty()) {
        n = m_free.back();
        m_free.pop_back();
        m_nodes[n] = Node();
    } else {
        n = int(m_nodes.size());
        m_nodes.emplace_back();
    }
    Node &node = m_nodes[n];
    node.item = item;
    node.parent = parent;
    node.row = row;
    if (!item.isTopLevel())
        m_nodesByRecord.insert(item.record, n);
    return n;
}

void SourcesTreeModel::releaseSubtree(int n)
{
    Node &node = m_nodes[n];
    for (int child : node.children)
        releaseSubtree(child);
    node.children.clear();
    const RecordId id = node.item.isTopLevel() ? node.state.record : node.item.record;
    if (id)
        m_nodesByRecord.remove(id, n);
    node.alive = false;
    node.state = SourceRowState();
    m_spinning.remove(n);
    m_ending.remove(n);
    m_free.push_back(n);
}

void SourcesTreeModel::setTopLevel(const QList<SourceItem> &items)
{
    // In place: the sources that stay keep their rows, and so their open folders and selection.
    updateRows(0, items);
    for (int child : m_nodes[0].children)
        m_nodes[child].expandable = -1;
}

void SourcesTreeModel::setChildren(const QModelIndex &parentIndex, const QList<RecordId> &children)
{
    const int p = nodeOf(parentIndex);
    if (p <= 0)
        return;
    Node &parent = m_nodes[p];
    if (!parent.children.empty()) {
        beginRemoveRows(parentIndex, 0, int(parent.children.size()) - 1);
        for (int child : m_nodes[p].children)
            releaseSubtree(child);
        m_nodes[p].children.clear();
        endRemoveRows();
    }
    if (children.isEmpty())
        return;
    beginInsertRows(parentIndex, 0, int(children.size()) - 1);
    std::vector<int> created;
    created.reserve(children.size());
    for (int i = 0; i < children.size(); ++i)
        created.push_back(newNode(SourceItem{QString(), children[i]}, p, i));
    m_nodes[p].children = std::move(created);
    endInsertRows();
}

void SourcesTreeModel::renumber(int parent, int from)
{
    std::vector<int> &children = m_nodes[parent].children;
    for (int i = from; i < int(children.size()); ++i)
        m_nodes[children[i]].row = i;
}

bool SourcesTreeModel::updateChildren(const QModelIndex &parentIndex, const QList<RecordId> &children)
{
    const int p = nodeOf(parentIndex);
    if (p <= 0)
        return false;
    QList<SourceItem> items;
    items.reserve(children.size());
    for (RecordId id : children)
        items.append(SourceItem{QString(), id});
    return updateRows(p, items);
}

bool SourcesTreeModel::updateRows(int p, const QList<SourceItem> &wanted)
{
    const QModelIndex parentIndex = indexOfNode(p);
    m_nodes[p].expandable = -1;
    QHash<SourceItem, int> wantedAt;
    wantedAt.reserve(wanted.size());
    for (int i = 0; i < wanted.size(); ++i)
        wantedAt.insert(wanted[i], i);

    // Rows that stay: listed again, and in an order that agrees with the new list (the longest
    // run of rows whose new positions increase; a renamed folder that moved is taken out and put
    // back in its new place).
    const std::vector<int> old = m_nodes[p].children;
    const int n = int(old.size());
    std::vector<int> pos(n, -1);
    for (int k = 0; k < n; ++k)
        pos[k] = wantedAt.value(m_nodes[old[k]].item, -1);
    std::vector<int> tails, tailAt, previous(n, -1);
    for (int k = 0; k < n; ++k) {
        if (pos[k] < 0)
            continue;
        const auto at = std::lower_bound(tails.begin(), tails.end(), pos[k]);
        const int len = int(at - tails.begin());
        if (at == tails.end()) {
            tails.push_back(pos[k]);
            tailAt.push_back(k);
        } else {
            *at = pos[k];
            tailAt[len] = k;
        }
        previous[k] = len > 0 ? tailAt[len - 1] : -1;
    }
    std::vector<bool> keep(n, false);
    for (int k = tailAt.empty() ? -1 : tailAt.back(); k >= 0; k = previous[k])
        keep[k] = true;

    bool changed = false;
    // Remove the others, run by run from the end so the earlier rows keep their numbers.
    for (int k = n - 1; k >= 0;) {
        if (keep[k]) {
            --k;
            continue;
        }
        const int last = k;
        while (k >= 0 && !keep[k])
            --k;
        const int first = k + 1;
        beginRemoveRows(parentIndex, first, last);
        std::vector<int> &children = m_nodes[p].children;
        for (int r = first; r <= last; ++r)
            releaseSubtree(children[r]);
        children.erase(children.begin() + first, children.begin() + last + 1);
        renumber(p, first);
        endRemoveRows();
        changed = true;
    }

    // Insert what is new, run by run, before the row that stays after it.
    int row = 0;
    int i = 0;
    while (i < wanted.size()) {
        const std::vector<int> &children = m_nodes[p].children;
        if (row < int(children.size()) && m_nodes[children[row]].item == wanted[i]) {
            ++row;
            ++i;
            continue;
        }
        const int start = i;
        while (i < wanted.size()
               && !(row < int(m_nodes[p].children.size()) && m_nodes[m_nodes[p].children[row]].item == wanted[i]))
            ++i;
        const int count = i - start;
        beginInsertRows(parentIndex, row, row + count - 1);
        std::vector<int> created;
        created.reserve(count);
        for (int j = 0; j < count; ++j)
            created.push_back(newNode(wanted[start + j], p, row + j)); // may grow m_nodes
        std::vector<int> &into = m_nodes[p].children;
        into.insert(into.begin() + row, created.begin(), created.end());
        renumber(p, row + count);
        endInsertRows();
        row += count;
        changed = true;
    }

    // The rows that stayed are read again when next shown. Whether they open is left as it is:
    // their own reports change it, and asking it again of every row would make the view's
    // relayout of a large folder read each record.
    const std::vector<int> &children = m_nodes[p].children;
    int firstBound = -1, lastBound = -1;
    for (int r = 0; r < int(children.size()); ++r) {
        Node &child = m_nodes[children[r]];
        if (!child.state.bound)
            continue;
        child.state.bound = false;
        if (firstBound < 0)
            firstBound = r;
        lastBound = r;
    }
    if (firstBound >= 0)
        Q_EMIT dataChanged(index(firstBound, 0, parentIndex), index(lastBound, 0, parentIndex));
    return changed;
}

void SourcesTreeModel::setListing(const QModelIndex &parent, const Listing &listing)
{
    const int p = nodeOf(parent);
    if (p <= 0)
        return;
    m_nodes[p].listing = listing;
    m_nodes[p].listed = true;
}

bool SourcesTreeModel::listingMayDiffer(const QModelIndex &parent, const QList<RecordId> &candidates) const
{
    const int p = nodeOf(parent);
    if (p <= 0)
        return false;
    const Node &node = m_nodes[p];
    // Kept rows depend on the candidates alone unless some came from below one of them.
    return !node.listed || node.listing.followedChains || node.listing.candidates != candidates;
}

SourceItem SourcesTreeModel::itemAt(const QModelIndex &index) const
{
    const int n = nodeOf(index);
    return n > 0 ? m_nodes[n].item : SourceItem();
}

QList<QModelIndex> SourcesTreeModel::indexesForRecord(RecordId id) const
{
    QList<QModelIndex> out;
    for (auto it = m_nodesByRecord.constFind(id); it != m_nodesByRecord.cend() && it.key() == id; ++it)
        out << indexOfNode(it.value());
    return out;
}

QModelIndex SourcesTreeModel::indexForItem(const SourceItem &item) const
{
    if (!item.isTopLevel()) {
        const QList<QModelIndex> found = indexesForRecord(item.record);
        return found.isEmpty() ? QModelIndex() : found.first();
    }
    for (int child : m_nodes[0].children) {
        if (m_nodes[child].item == item)
            return indexOfNode(child);
    }
    return QModelIndex();
}

void SourcesTreeModel::refreshRecords(const QSet<RecordId> &ids)
{
    // Collect first: a listener may bind rows (and so touch the index) while we report.
    QList<int> nodes;
    for (RecordId id : ids) {
        for (auto it = m_nodesByRecord.constFind(id); it != m_nodesByRecord.cend() && it.key() == id; ++it) {
            if (m_nodes[it.value()].state.bound) // never shown: bound when it is
                nodes << it.value();
        }
    }
    for (int n : std::as_const(nodes)) {
        m_nodes[n].state.bound = false;
        m_nodes[n].expandable = -1;
    }
    for (int n : std::as_const(nodes)) {
        const QModelIndex index = indexOfNode(n);
        Q_EMIT dataChanged(index, index);
    }
}

void SourcesTreeModel::rebindAll()
{
    for (size_t n = 1; n < m_nodes.size(); ++n) {
        if (!m_nodes[n].alive || !m_nodes[n].state.bound)
            continue;
        m_nodes[n].state.bound = false;
        m_nodes[n].expandable = -1;
        const QModelIndex index = indexOfNode(int(n));
        Q_EMIT dataChanged(index, index);
    }
}

int SourcesTreeModel::level(const QModelIndex &index) const
{
    int n = nodeOf(index);
    int depth = -1;
    while (n > 0) {
        ++depth;
        n = m_nodes[n].parent;
    }
    return depth;
}

QList<RecordId> SourcesTreeModel::childrenForRecord(RecordId id, Tree tree, Listing *listing, int limit)
{
    SourcesBackend *backend = SourcesBackend::instance();
    RecordState expanded;
    if (!id || !backend->recordSummary(id, &expanded))
        return {};
    struct Kept { QString name; RecordId id; };
    std::vector<Kept> kept;
    const bool details = tree != Tree::Main;
    const bool messagesRoot = !expanded.path.isEmpty()
                              && expanded.path == backend->standardDirectory(SourcesBackend::Folder::IMessage);

    // One pass over the children; the rare cases below (the Messages root, single-child
    // chains) read further records one by one.
    struct Candidate { SourcesBackend::ChildEntry entry; bool parentVirtual; };
    const QList<SourcesBackend::ChildEntry> entries = backend->childEntries(id);
    if (listing) {
        listing->candidates.clear();
        listing->candidates.reserve(entries.size());
        for (const SourcesBackend::ChildEntry &e : entries)
            listing->candidates << e.id;
        listing->followedChains = false;
    }
    std::vector<Candidate> candidates;
    candidates.reserve(size_t(entries.size()));
    if (details && messagesRoot) {
        // Every file below the Messages root, flattened.
        QList<RecordId> pending;
        for (const SourcesBackend::ChildEntry &e : entries)
            pending << e.id;
        while (!pending.isEmpty()) {
            const RecordId c = pending.takeFirst();
            RecordState cs;
            if (!backend->recordSummary(c, &cs))
                continue;
            if (cs.isFolder) {
                pending += backend->children(c);
                continue;
            }
            RecordState parent;
            const bool parentVirtual = cs.parent && backend->recordSummary(cs.parent, &parent) && parent.isVirtualFolder;
            candidates.push_back({{c, cs.fileName, cs.isFolder, cs.isVirtualFolder, cs.hasAliases}, parentVirtual});
        }
    } else {
        for (const SourcesBackend::ChildEntry &e : entries)
            candidates.push_back({e, expanded.isVirtualFolder});
    }
    for (const Candidate &candidate : candidates) {
        if (limit >= 0 && int(kept.size()) >= limit)
            break;
        const SourcesBackend::ChildEntry &cs = candidate.entry;
        const RecordId c = cs.id;
        if (!details) {
            if (cs.fileName == QLatin1String("AllPhotosHiddenAlbum"))
                continue;
        } else if (!cs.isFolder) {
            if (!(cs.hasAliases && candidate.parentVirtual))
                kept.push_back({cs.fileName, c});
            continue;
        }
        if (cs.isFolder && cs.isVirtualFolder == expanded.isVirtualFolder) {
            kept.push_back({cs.fileName, c});
            continue;
        }
        // Follow a chain of single children down to the first folder.
        if (listing && cs.isFolder)
            listing->followedChains = true;
        RecordId node = c;
        for (int guard = 0; guard < 4096; ++guard) {
            const QList<RecordId> kids = backend->children(node);
            if (kids.size() != 1)
                break;
            RecordState ks;
            if (!backend->recordSummary(kids.first(), &ks))
                break;
            if (ks.isFolder) {
                if (ks.isVirtualFolder == expanded.isVirtualFolder) {
                    kept.push_back({ks.fileName, kids.first()});
                    if (listing)
                        listing->followedChains = true;
                }
                break;
            }
            node = kids.first();
        }
    }
    std::stable_sort(kept.begin(), kept.end(), [](const Kept &a, const Kept &b) { return a.name.compare(b.name) < 0; });
    QList<RecordId> out;
    out.reserve(int(kept.size()));
    for (const Kept &k : kept)
        out << k.id;
    if (listing) {
        listing->rows = out;
        listing->names.clear();
        listing->names.reserve(int(kept.size()));
        for (const Kept &k : kept)
            listing->names << k.name;
    }
    return out;
}

bool SourcesTreeModel::extendListing(RecordId id, const QList<RecordId> &candidates, Listing *listing)
{
    if (listing->followedChains || candidates.size() <= listing->candidates.size()
        || !std::equal(listing->candidates.cbegin(), listing->candidates.cend(), candidates.cbegin()))
        return false;
    SourcesBackend *backend = SourcesBackend::instance();
    RecordState expanded;
    if (!backend->recordSummary(id, &expanded))
        return false;
    for (int i = int(listing->candidates.size()); i < candidates.size(); ++i) {
        RecordState cs;
        if (!backend->recordSummary(candidates[i], &cs))
            return false;
        if (cs.fileName == QLatin1String("AllPhotosHiddenAlbum"))
            continue;
        if (!cs.isFolder) {
            if (!backend->children(candidates[i]).isEmpty())
                return false; // a chain to follow: the full rule decides
            continue;
        }
        if (cs.isVirtualFolder != expanded.isVirtualFolder)
            return false;
        // Names are unique within a folder: the same place the full sort gives.
        const auto at = std::lower_bound(listing->names.cbegin(), listing->names.cend(), cs.fileName,
                                         [](const QString &a, const QString &b) { return a.compare(b) < 0; });
        const qsizetype pos = at - listing->names.cbegin();
        listing->names.insert(pos, cs.fileName);
        listing->rows.insert(pos, candidates[i]);
    }
    listing->candidates = candidates;
    return true;
}

const SourcesTreeModel::Listing *SourcesTreeModel::listingOf(const QModelIndex &parent) const
{
    const int p = nodeOf(parent);
    return p > 0 && m_nodes[p].listed ? &m_nodes[p].listing : nullptr;
}

QList<QModelIndex> SourcesTreeModel::spinningIndexes() const
{
    QList<QModelIndex> out;
    for (int n : m_spinning)
        out << indexOfNode(n);
    return out;
}

bool SourcesTreeModel::isTurning(const QModelIndex &index) const
{
    const int n = nodeOf(index);
    return n > 0 && m_spinning.contains(n);
}

QList<QModelIndex> SourcesTreeModel::finishWindingDown()
{
    QList<QModelIndex> stopped;
    if (m_ending.isEmpty())
        return stopped;
    for (int n : std::as_const(m_ending)) {
        m_spinning.remove(n);
        stopped << indexOfNode(n);
    }
    m_ending.clear();
    Q_EMIT spinningChanged();
    return stopped;
}

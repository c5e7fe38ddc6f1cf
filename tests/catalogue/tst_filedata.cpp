// Records: status, flag bits, counts, ordering, change reports and the per-folder settings file.
#include "CatalogueTestSupport.h"
#include "catalogue/FileData.h"
#include "core/PropertyList.h"

#include <QPointer>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace CatalogueTest;

namespace {
struct RecordingDelegate : FileDataDelegate
{
    QList<FileData *> status, children;
    void fileDataDidUpdateStatus(FileData *r) override { status.append(r); }
    void fileDataDidUpdateChildren(FileData *r) override { children.append(r); }
};

class ObjectDelegate : public QObject, public FileDataDelegate
{
public:
    int calls = 0;
    void fileDataDidUpdateStatus(FileData *) override { ++calls; }
    void fileDataDidUpdateChildren(FileData *) override { ++calls; }
};

FileData *make(const QString &path, bool folder)
{
    return DataStore::instance()->createFileData(path, folder);
}
} // namespace

class TestFileData : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { isolateHomeAndEnterTestMode(); }
    void init()
    {
        freshCatalogue();
        FileDataChangeCenter::instance()->flush();
    }
    void cleanupTestCase() { freshCatalogue(); }

    void fileStatus()
    {
        FileData *f = make(QStringLiteral("/p/a.jpg"), false);
        const QList<std::pair<qint16, qint32>> cases = {
            {1, 1}, {2, 1}, {44, 4}, {10, 4}, {0, 4}, {-1, 8}, {-8, 8}};
        for (const auto &[code, expected] : cases) {
            f->setNeedsUpload(code);
            QCOMPARE(f->status(), expected);
            QCOMPARE(f->cachedStatus(), expected);
        }
        f->setNeedsUpload(1);
        CatalogueHooks::instance().fileUploading = [f] { return f; };
        f->resetCachedStatusRecursive(false);
        QCOMPARE(f->status(), 2);
    }

    void folderStatus()
    {
        FileData *root = make(QStringLiteral("/p"), true);
        FileData *sub = make(QStringLiteral("/p/sub"), true);
        FileData *excluded = make(QStringLiteral("/p/ex"), true);
        FileData *a = make(QStringLiteral("/p/sub/a.jpg"), false);
        FileData *b = make(QStringLiteral("/p/ex/b.jpg"), false);
        QCOMPARE(sub->parent(), root);
        QCOMPARE(a->parent(), sub);
        a->setNeedsUpload(0);
        b->setNeedsUpload(1);
        excluded->setExcludedFromScan(true);
        QCOMPARE(root->status(), 4); // the waiting file lies in an excluded folder
        a->setNeedsUpload(1);
        // Changing a file forgets the cached status of every folder above it.
        QCOMPARE(root->cachedStatus(), 0);
        QCOMPARE(root->status(), 1);
        a->setNeedsUpload(44); // sent, still processing: not on the service yet
        QCOMPARE(root->status(), 1);
        // Done only when its selected photos are on the service, or left out on purpose.
        for (const auto &[code, folder] : {std::pair{-6, 8}, {-2, 8}, {-1, 4}, {-3, 4}, {0, 4}}) {
            a->setNeedsUpload(qint16(code));
            QCOMPARE(sub->status(), folder);
            QCOMPARE(root->status(), folder);
        }
        sub->setNeedsScan(1);
        QCOMPARE(root->status(), 1);
        sub->setNeedsScan(0);
        CatalogueHooks::instance().fileUploading = [a] { return a; };
        root->resetCachedStatusRecursive(true);
        QCOMPARE(sub->cachedStatus(), 0);
        QCOMPARE(root->status(), 2);
        QCOMPARE(excluded->status(), 1); // its own waiting file still counts for itself
    }

    void aliasAnswersTargetStatus()
    {
        FileData *target = make(QStringLiteral("/p/t.jpg"), false);
        FileData *alias = make(QStringLiteral("/q/t.jpg"), false);
        target->setNeedsUpload(-3);
        alias->setNeedsUpload(1);
        alias->setAliasTarget(target);
        QVERIFY(alias->isAlias());
        QVERIFY(target->hasAliases());
        QCOMPARE(target->aliasSources(), QList<FileData *>{alias});
        QCOMPARE(alias->status(), 8);
        DataStore::instance()->deleteFileData(target);
        QVERIFY(!alias->isAlias());
        QCOMPARE(alias->aliasTarget(), nullptr);
        QCOMPARE(alias->status(), 1);
    }

    void flagsWriteOnlyOnChange()
    {
        FileData *f = make(QStringLiteral("/p/a.jpg"), false);
        QVERIFY(DataStore::save());
        QVERIFY(!f->isDirty());
        f->addFlag(0x10000 | FileFlags::AlbumRenameMark);
        QVERIFY(f->isDirty());
        QVERIFY(f->hasFlag(0x10000));
        QVERIFY(f->hasFlag(0x10000 | FileFlags::AlbumRenameMark));
        QVERIFY(!f->hasFlag(0x10000 | FileFlags::AlbumDeletionMark)); // all bits of the mask
        QVERIFY(DataStore::save());
        f->addFlag(0x10000);
        f->removeFlag(FileFlags::AlbumDeletionMark);
        f->setFlag(FileFlags::AlbumRenameMark, true);
        QVERIFY(!f->isDirty());
        f->setFlag(FileFlags::HasExcludedChildren, true);
        QCOMPARE(f->flags(), quint64(0x10000 | FileFlags::AlbumRenameMark | (1ULL << 40)));
        f->removeFlag(FileFlags::ClearedAtLaunch | 0x10000);
        QCOMPARE(f->flags(), quint64(FileFlags::AlbumRenameMark | (1ULL << 40)));

        FileData *lib = make(QStringLiteral("/lib"), true);
        lib->setFlags(0x400);
        QVERIFY(lib->isVirtualFolder() && lib->isVirtualLibrary() && !lib->isVirtualAlbum());
        lib->setFlags(0x800);
        QVERIFY(lib->isVirtualFolder() && !lib->isVirtualLibrary() && lib->isVirtualAlbum());
        lib->setFlags(1ULL << 37);
        QVERIFY(lib->isAlias() && !lib->isVirtualFolder() && lib->isAlbum());
    }

    void countsAndOrdering()
    {
        FileData *root = make(QStringLiteral("/r"), true);
        FileData *b = make(QStringLiteral("/r/b"), true);
        FileData *a = make(QStringLiteral("/r/a"), true);
        FileData *aa = make(QStringLiteral("/r/a/a"), true);
        for (const char *p : {"/r/b/2.jpg", "/r/b/1.jpg", "/r/a/a/3.jpg", "/r/0.jpg"})
            make(QString::fromLatin1(p), false)->setMediaKind(MediaKind::Photo);
        make(QStringLiteral("/r/a/v.mov"), false)->setMediaKind(MediaKind::Video);
        FileData *gone = make(QStringLiteral("/r/a/gone.jpg"), false);
        gone->setMediaKind(MediaKind::Photo);
        gone->addFlag(FileFlags::MissingOnDisk);
        root->loadRecursiveCounts();
        QCOMPARE(root->numberOfFoldersRecursive(), 3);
        QCOMPARE(root->numberOfPhotosRecursive(), 4);
        QCOMPARE(root->numberOfVideosRecursive(), 1);
        QCOMPARE(root->numberOfPhotos(), 1);
        QCOMPARE(a->numberOfVideos(), 1);
        QCOMPARE(aa->numberOfPhotosRecursive(), 1);
        QCOMPARE(b->numberOfPhotos(), 2);

        QStringList paths;
        for (FileData *r : root->flattenedListOfChildrenWithOptions(5))
            paths << r->fileFullPath();
        QCOMPARE(paths, (QStringList{"/r/0.jpg", "/r/a/a/3.jpg", "/r/a/gone.jpg", "/r/a/v.mov", "/r/b/1.jpg", "/r/b/2.jpg"}));
        paths.clear();
        for (FileData *r : root->flattenedListOfChildrenWithOptions(FlattenOptions::Folders | FlattenOptions::Recursive))
            paths << r->fileFullPath();
        QCOMPARE(paths, (QStringList{"/r/a", "/r/a/a", "/r/b"}));
        QCOMPARE(root->flattenedListOfChildrenWithOptions(FlattenOptions::Files).size(), 1);
        QCOMPARE(root->titlesOfSubfolders(), (QSet<QString>{"a", "b"}));
        QCOMPARE(a->defaultAlbumName(), QStringLiteral("a"));
        a->setTitle(QStringLiteral("Holidays"));
        QCOMPARE(a->displayName(), QStringLiteral("Holidays"));
        QCOMPARE(root->titlesOfSubfolders(), (QSet<QString>{"Holidays", "b"}));
        QCOMPARE(a->stringValue(), QStringLiteral("/r/a"));
    }

    void changeReportsAreBatchedPerTurn()
    {
        FileData *root = make(QStringLiteral("/r"), true);
        FileData *sub = make(QStringLiteral("/r/s"), true);
        FileData *f = make(QStringLiteral("/r/s/f.jpg"), false);
        FileDataChangeCenter::instance()->flush();
        RecordingDelegate rootView, subView;
        root->setDelegate(&rootView);
        sub->setDelegate(&subView);
        QSignalSpy spy(FileDataChangeCenter::instance(), &FileDataChangeCenter::recordsChanged);
        f->setNeedsUpload(1);
        f->setNeedsUpload(2);
        f->setNeedsUpload(-1);
        sub->notifyParentsOfChildrenChanged();
        QVERIFY(rootView.status.isEmpty()); // nothing before the event loop turns
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(rootView.status, QList<FileData *>{root}); // once, though three changes
        QCOMPARE(subView.status, QList<FileData *>{sub});
        QCOMPARE(rootView.children, QList<FileData *>{root});
        const auto status = spy.at(0).at(0).value<QList<FileData *>>();
        QVERIFY(status.contains(f) && status.contains(sub) && status.contains(root));
        QCOMPARE(status.size(), 3);

        // A second view of the same record hears the same reports through the centre.
        QList<FileData *> seenBySecondView;
        auto conn = connect(FileDataChangeCenter::instance(), &FileDataChangeCenter::recordsChanged, this,
                            [&](const QList<FileData *> &s, const QList<FileData *> &) { seenBySecondView += s; });
        sub->setExcludedFromScan(true);
        QTRY_VERIFY(seenBySecondView.contains(sub));
        QCOMPARE(subView.status.size(), 2);
        disconnect(conn);

        // A record deleted before the turn is not reported, and a deleted view is not called.
        spy.clear();
        auto *view = new ObjectDelegate;
        f->setDelegate(view);
        f->setNeedsUpload(1);
        delete view;
        QCOMPARE(f->delegate(), nullptr);
        DataStore::instance()->deleteFileData(sub);
        QTRY_COMPARE(spy.count(), 1);
        const auto after = spy.at(0).at(0).value<QList<FileData *>>();
        QVERIFY(!after.contains(sub));
        QVERIFY(after.contains(root));
        root->setDelegate(nullptr);
    }

    void setDataFileRoundTrip()
    {
        QTemporaryDir dir;
        const QString folderPath = dir.path() + QStringLiteral("/Trip");
        QDir().mkpath(folderPath);
        FileData *folder = make(folderPath, true);
        QCOMPARE(folder->albumMode(), 2);
        const QString file = folder->setDataFilePath();
        QCOMPARE(file, folderPath + QStringLiteral("/.lumoraExclusion"));

        // Without a signed-in account nothing is written.
        folder->setExcludedFromScan(true);
        QVERIFY(!folder->saveSetDataToDisk());
        QVERIFY(!QFileInfo::exists(file));

        QString account = QStringLiteral("lumora-111");
        CatalogueHooks::instance().signedInAccountId = [&account] { return account; };
        folder->setAlbumName(QStringLiteral("Summer"));
        folder->setAlbumMode(1);
        folder->setAlbumIncludesSubfolders(true);
        folder->setLumoraSetId(777);
        folder->addFlag(FileFlags::AlbumNamedByUser);
        QVERIFY(folder->saveSetDataToDisk());
        QVERIFY(QFileInfo::exists(file));

        account = QStringLiteral("lumora-222");
        folder->setExcludedFromScan(false);
        folder->setAlbumName(QString());
        folder->setAlbumMode(2);
        folder->setAlbumIncludesSubfolders(false);
        folder->setLumoraSetId(0);
        folder->removeFlag(FileFlags::AlbumNamedByUser);
        // The defaults beside the first account's entry are the second account's own word.
        QVERIFY(folder->saveSetDataToDisk());
        QCOMPARE(PropertyList::readFile(file).toMap().keys(), (QStringList{"lumora-111", "lumora-222"}));
        QVERIFY(folder->loadSetDataFromDisk());
        QVERIFY(!folder->excludedFromScan());

        // After a reset of the catalogue, the first account's choices come back.
        freshCatalogue();
        account = QStringLiteral("lumora-111");
        CatalogueHooks::instance().signedInAccountId = [&account] { return account; };
        FileData *again = make(folderPath, true);
        QVERIFY(again->loadSetDataFromDisk());
        QVERIFY(again->excludedFromScan());
        QCOMPARE(again->albumName(), QStringLiteral("Summer"));
        QCOMPARE(again->albumMode(), 1);
        QVERIFY(again->albumIncludesSubfolders());
        QCOMPARE(again->lumoraSetId(), qint64(777));
        QVERIFY(again->hasFlag(FileFlags::AlbumNamedByUser));

        // Emptying the last entry deletes the file.
        QVERIFY(QFile::remove(file) && again->saveSetDataToDisk());
        again->setExcludedFromScan(false);
        again->setAlbumName(QString());
        again->setAlbumMode(2);
        again->setAlbumIncludesSubfolders(false);
        again->setLumoraSetId(0);
        QVERIFY(again->saveSetDataToDisk());
        QVERIFY(!QFileInfo::exists(file));

        // A corrupt file changes nothing when read (it may have held an exclusion, which the
        // defaults would lose) and is replaced when written.
        again->setExcludedFromScan(true);
        QFile corrupt(file);
        QVERIFY(corrupt.open(QIODevice::WriteOnly));
        corrupt.write("<?xml version=\"1.0\"?><plist><dict><key>broken");
        corrupt.close();
        QVERIFY(!again->loadSetDataFromDisk());
        QVERIFY(again->excludedFromScan());
        QVERIFY(again->saveSetDataToDisk());
        QCOMPARE(PropertyList::readFile(file).toMap().keys(), QStringList{"lumora-111"});

        // Files have no settings file.
        FileData *photo = make(folderPath + QStringLiteral("/p.jpg"), false);
        QVERIFY(!photo->saveSetDataToDisk());
        again->changeToAlbumMode(-2, 1);
        QCOMPARE(again->albumMode(), -2);
    }

    void parentsAndCycles()
    {
        FileData *a = make(QStringLiteral("/x/a"), true);
        FileData *b = make(QStringLiteral("/x/a/b"), true);
        QCOMPARE(b->parent(), a);
        a->setParent(b); // would make a cycle: refused
        QCOMPARE(a->parent(), nullptr);
        // A folder made after its nested child adopts it.
        FileData *deep = make(QStringLiteral("/y/in/deep"), true);
        FileData *mid = make(QStringLiteral("/y/in"), true);
        QCOMPARE(deep->parent(), mid);
        QVERIFY(!DataStore::instance()->rootFileData().contains(deep));
        QVERIFY(DataStore::instance()->rootFileData().contains(mid));
    }
};

QTEST_GUILESS_MAIN(TestFileData)
#include "tst_filedata.moc"

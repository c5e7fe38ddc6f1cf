#include "windows/sources/SourcesBackend.h"

#include <QPointer>

namespace {
// Until the engine-backed backend is installed: no sources, no records, nothing to change.
class EmptySourcesBackend : public SourcesBackend
{
public:
    QStringList customFolders() override { return {}; }
    void addCustomFolder(const QString &) override {}
    void removeCustomFolder(const QString &) override {}
    void setTrackingCurrentScan(bool) override {}
    bool isInstalled(Library) override { return false; }
    bool importEnabled(Library) override { return false; }
    void setImportEnabled(Library, bool) override {}
    QString lastLibraryPath(Library) override { return {}; }
    QString libraryDirectory(Library) override { return {}; }
    QString standardDirectory(Folder) override { return {}; }
    RecordId recordForPath(const QString &) override { return 0; }
    RecordId recordForPathCreating(const QString &) override { return 0; }
    bool recordState(RecordId, RecordState *) override { return false; }
    QList<RecordId> children(RecordId) override { return {}; }
    void setExcludedFromScan(RecordId, bool) override {}
    void setNeedsScanRecursive(RecordId) override {}
    void runScanner() override {}
    void requestUploadListCleanup() override {}
    void cancelCurrentUploadIfNoLongerSelected() override {}
    void runUploader() override {}
};

QPointer<SourcesBackend> s_installed;
} // namespace

SourcesBackend *SourcesBackend::instance()
{
    if (s_installed)
        return s_installed;
    static EmptySourcesBackend empty;
    return &empty;
}

void SourcesBackend::setInstance(SourcesBackend *backend)
{
    s_installed = backend;
}

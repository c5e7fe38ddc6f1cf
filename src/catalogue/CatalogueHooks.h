#pragma once
// What the catalogue asks of the service mirror and the sync engine. They install these at
// start-up; every hook has a harmless default so the catalogue runs (and is tested) alone.
// All hooks are called on the main thread.
#include <QString>
#include <functional>

class FileData;

struct CatalogueHooks
{
    // YES once the service mirror has completed its listing in this process; the scan loop
    // does nothing before (run() again when it completes).
    std::function<bool()> mirrorHasCompletedScanThisSession = [] { return false; };

    // Looks the record's samples (sample(), jpegSample()) up in the de-duplication index. When
    // the file is already on the service the hook sets the record's needsUpload (and
    // uploadedRemoteId) itself and answers true; when it answers false the scanner marks the
    // file waiting (needsUpload 1).
    std::function<bool(FileData *record)> matchDeDupForFile = [](FileData *) { return false; };

    // The scan loop has found no record left to scan: start the upload loop.
    std::function<void()> scanPassCompleted = [] {};

    // The signed-in account's id (keys of the per-folder settings file); empty when signed out.
    std::function<QString()> signedInAccountId = [] { return QString(); };

    // The record whose file is uploading now, or nullptr (status 2 of files and folders).
    std::function<FileData *()> fileUploading = [] { return static_cast<FileData *>(nullptr); };

    // A source was deselected: waiting work below this path is no longer wanted.
    std::function<void(const QString &path)> sourceRemoved = [](const QString &) {};

    // The catalogue's health changed: saves began to fail or succeed again, or the store was
    // replaced by a fresh one. The sync engine re-evaluates its gates and the status.
    std::function<void()> catalogueHealthChanged = [] {};

    static CatalogueHooks &instance()
    {
        static CatalogueHooks hooks;
        return hooks;
    }
};

#pragma once
// What must hold of the catalogue after any upload scenario, whatever the service did: a record
// is "uploaded" only with the photo id the service gave it.
#include "catalogue/DataStore.h"
#include "catalogue/FileData.h"

#include <QStringList>
#include <QtTest>

// The records that break the rule, for the failure message ("" when none).
inline QString recordsUploadedWithoutPhotoId()
{
    QStringList bad;
    DataStore *store = DataStore::instance();
    if (!store->isOpen())
        return QString();
    for (FileData *r : store->allFileData())
        if (!r->isFolder() && r->needsUpload() == NeedsUpload::Uploaded && r->uploadedRemoteId() <= 0)
            bad << QStringLiteral("%1 (id %2)").arg(r->fileFullPath()).arg(r->uploadedRemoteId());
    return bad.join(QStringLiteral(", "));
}

#define VERIFY_CATALOGUE_INVARIANTS()                                                                    \
    do {                                                                                                 \
        const QString bad = recordsUploadedWithoutPhotoId();                                             \
        QVERIFY2(bad.isEmpty(), qPrintable(QStringLiteral("uploaded without a photo id: ") + bad));      \
    } while (false)

#pragma once
// An in-process photo service for the upload loop's tests: it keeps photos, albums and tickets
// like the real one (tickets complete after a few checks; a new album appears when the photo that
// names it completes) and can be told to be busy, fail, be full or send slowly.
#include "sync/UploadTransport.h"

#include "catalogue/ContentSample.h"

#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>
#include <memory>

struct FakeServiceState
{
    struct Photo { QString id; QString path; QString sampleHex; QString jpegHex; QString albumId; };
    struct Album { QString id; QString title; };
    struct Ticket { QString photoId; QString newAlbumTitle; int polls = 0; };

    QMutex lock;
    QList<Photo> photos;
    QList<Album> albums;
    QHash<QString, Ticket> tickets;
    QStringList uploadOrder;      // paths, in the order they were sent
    QStringList cancelled;        // paths whose sending was cut
    int ticketPolls = 2;
    int nextId = 1000;
    // Faults.
    int busyReplies = 0;          // the next N uploads answer "busy"
    double busyWait = 1;
    int failReplies = 0;          // the next N uploads fail (HTTP 5xx)
    bool full = false;
    int slowMs = 0;               // each upload takes this long, in 20 steps, honouring cancel
    bool lookupsFail = false;
    int maxTickets = 10;

    QString newId() { return QString::number(++nextId); }
    int uploadsOf(const QString &path)
    {
        QMutexLocker l(&lock);
        return int(uploadOrder.count(path));
    }
};

class FakeTransport : public UploadTransport
{
public:
    explicit FakeTransport(std::shared_ptr<FakeServiceState> s) : m(std::move(s)) {}

    UploadReply upload(const UploadRequest &req, const std::function<void(qint64, qint64)> &progress,
                       const std::atomic_bool &cancel) override
    {
        UploadReply r;
        // Every answer below comes from a service that had the request.
        if (req.beforeSend && !req.beforeSend()) {
            r.outcome = UploadReply::Outcome::Cancelled;
            return r;
        }
        {
            QMutexLocker l(&m->lock);
            if (m->busyReplies > 0) {
                --m->busyReplies;
                r.outcome = UploadReply::Outcome::Busy;
                r.wait = m->busyWait;
                return r;
            }
            if (m->failReplies > 0) {
                --m->failReplies;
                r.outcome = UploadReply::Outcome::Failed;
                r.errorMessage = QStringLiteral("HTTP 503");
                return r;
            }
            if (m->full) {
                r.outcome = UploadReply::Outcome::AccountFull;
                r.errorCode = 6;
                return r;
            }
        }
        const int steps = 20;
        for (int i = 1; i <= steps; ++i) {
            if (cancel) {
                QMutexLocker l(&m->lock);
                m->cancelled << req.filePath;
                r.outcome = UploadReply::Outcome::Cancelled;
                return r;
            }
            if (m->slowMs > 0)
                QThread::msleep(m->slowMs / steps);
            progress(req.size * i / steps, req.size);
        }
        const ContentSampler::FileSamples samples = ContentSampler::sampleFile(req.filePath);
        QMutexLocker l(&m->lock);
        m->uploadOrder << req.filePath;
        FakeServiceState::Photo p{m->newId(), req.filePath, samples.whole.hex(), samples.jpegData.hex(), req.albumId};
        m->photos << p;
        const QString ticket = QStringLiteral("T") + m->newId();
        m->tickets.insert(ticket, FakeServiceState::Ticket{p.id, req.albumId.isEmpty() ? req.albumName : QString(), 0});
        r.outcome = UploadReply::Outcome::Ticket;
        r.ticketId = ticket;
        r.maxTickets = m->maxTickets;
        return r;
    }

    bool checkTickets(const QStringList &ids, QList<TicketResult> *results, QString *error) override
    {
        QMutexLocker l(&m->lock);
        if (m->lookupsFail) {
            *error = QStringLiteral("offline");
            return false;
        }
        for (const QString &id : ids) {
            TicketResult t;
            t.ticketId = id;
            if (!m->tickets.contains(id)) {
                t.state = TicketResult::State::Failed;
            } else if (++m->tickets[id].polls >= m->ticketPolls) {
                FakeServiceState::Ticket done = m->tickets.take(id);
                t.state = TicketResult::State::Complete;
                t.photoId = done.photoId;
                for (FakeServiceState::Photo &p : m->photos) {
                    if (p.id != done.photoId)
                        continue;
                    if (!done.newAlbumTitle.isEmpty()) {
                        // Like the real service: a title makes a new album, every time.
                        m->albums << FakeServiceState::Album{m->newId(), done.newAlbumTitle};
                        p.albumId = m->albums.last().id;
                    }
                    t.albumId = p.albumId;
                }
            }
            results->append(t);
        }
        return true;
    }

    bool findPhotoWithSamples(const ContentSample &whole, const ContentSample &jpeg, QString *photoId) override
    {
        QMutexLocker l(&m->lock);
        if (m->lookupsFail)
            return false;
        photoId->clear();
        for (const FakeServiceState::Photo &p : m->photos) {
            if ((!whole.isNull() && p.sampleHex == whole.hex()) || (!jpeg.isNull() && p.jpegHex == jpeg.hex())) {
                *photoId = p.id;
                break;
            }
        }
        return true;
    }

    int prepareUser() override { return 1; }

    bool findAlbum(const QString &title, QString *albumId) override
    {
        QMutexLocker l(&m->lock);
        if (m->lookupsFail)
            return false;
        albumId->clear();
        for (const FakeServiceState::Album &a : m->albums)
            if (a.title.compare(title, Qt::CaseInsensitive) == 0)
                *albumId = a.id;
        return true;
    }

private:
    std::shared_ptr<FakeServiceState> m;
};

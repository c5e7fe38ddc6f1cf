#include "UploadTransport.h"

#include "core/LGLog.h"

namespace {

class ServiceTransport : public UploadTransport
{
public:
    UploadReply upload(const UploadRequest &, const std::function<void(qint64, qint64)> &,
                       const std::atomic_bool &) override
    {
        UploadReply r;
        r.outcome = UploadReply::Outcome::Failed;
        r.errorMessage = QStringLiteral("service client unavailable");
        return r;
    }
    bool checkTickets(const QStringList &, QList<TicketResult> *, QString *error) override
    {
        if (error)
            *error = QStringLiteral("service client unavailable");
        return false;
    }
    bool findPhotoWithSamples(const ContentSample &, const ContentSample &, QString *) override { return false; }
    int prepareUser() override { return -1; }
    bool findAlbum(const QString &, QString *) override { return false; }
};

} // namespace

std::unique_ptr<UploadTransport> UploadTransports::createServiceTransport()
{
    return std::make_unique<ServiceTransport>();
}

namespace {
std::function<std::unique_ptr<UploadTransport>()> &factory()
{
    static std::function<std::unique_ptr<UploadTransport>()> f;
    return f;
}
} // namespace

std::unique_ptr<UploadTransport> UploadTransports::create()
{
    if (factory())
        return factory()();
    return createServiceTransport();
}

void UploadTransports::setFactoryForTesting(std::function<std::unique_ptr<UploadTransport>()> f)
{
    factory() = std::move(f);
}

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
};

} // namespace

std::unique_ptr<UploadTransport> UploadTransports::createServiceTransport()
{
    return std::make_unique<ServiceTransport>();
}

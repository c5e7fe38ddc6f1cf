// The sign-in callback address, as the embedded web view or another program hands it over.
#include "FuzzSupport.h"
#include "platform/Endpoints.h"
#include "service/LumoraKit.h"

#include <QUrl>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzSupport::initialiseOnce();
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    for (const QUrl &url : {QUrl::fromEncoded(bytes), QUrl(QString::fromUtf8(bytes))}) {
        (void)Endpoints::isSignInCallback(url);
        // Without a sign-in under way the answer is refused after it was read.
        LumoraKit::sharedLumoraKit()->completeAuthWithURL(url, [](const QString &, const QString &, const QString &,
                                                                  const LKError &) {});
    }
    return 0;
}

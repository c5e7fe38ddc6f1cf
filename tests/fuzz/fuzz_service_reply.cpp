// Service replies as they arrive from the network: the REST reply (JSON), the upload reply
// (XML) and the OAuth form answers.
#include "FuzzSupport.h"
#include "service/LKImageUploadNetworkOperation.h"
#include "service/LumoraKit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzSupport::initialiseOnce();
    const QByteArray body(reinterpret_cast<const char *>(data), qsizetype(size));
    QVariantMap response;
    const LKError error = LumoraKit::errorFromResponse({}, 200, body, &response, nullptr);
    (void)error.isError();
    const LKUploadResult upload = LKUploadResult::parse(body);
    (void)upload.isError();
    const auto form = LumoraKit::formDecode(body);
    (void)LumoraKit::formEncode(form);
    return 0;
}

#include "catalogue/LMRPhotoKitLibraryManager.h"

#include "platform/PhotoLibraries.h"

bool LMRPhotoKitLibraryManager::hasAuthorizationOrRequestWithCompletion(std::function<void(int)> completion)
{
    auto *env = PhotoLibraryEnvironment::instance();
    const int status = env->photoLibraryAuthorizationStatus();
    if (status == PhotoLibraryEnvironment::NotDetermined) {
        env->requestPhotoLibraryAuthorization(std::move(completion));
        return false;
    }
    return status == PhotoLibraryEnvironment::Authorized;
}

#pragma once
// Access to the system photo library.
#include <functional>

class LMRPhotoKitLibraryManager
{
public:
    // When access is undetermined, asks the user, answers false and later calls the completion
    // (main thread) with the answer (3 = authorised). Otherwise answers whether access is
    // authorised, without calling the completion.
    static bool hasAuthorizationOrRequestWithCompletion(std::function<void(int status)> completion);
};

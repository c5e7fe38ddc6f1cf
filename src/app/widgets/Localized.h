#pragma once
// User-visible English phrases go through the localisation table when it is built in.
#include <QString>
#if __has_include("core/Localization.h")
#include "core/Localization.h"
#define HOISTLY_HAS_LOCALIZATION 1
#endif

inline QString localized(const QString &english)
{
#ifdef HOISTLY_HAS_LOCALIZATION
    return Localization::tr(english);
#else
    return english;
#endif
}

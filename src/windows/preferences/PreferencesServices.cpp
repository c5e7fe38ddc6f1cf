#include "windows/preferences/PreferencesServices.h"

PreferencesServices &PreferencesServices::instance()
{
    static PreferencesServices services = makeDefaults();
    return services;
}

void PreferencesServices::reset()
{
    instance() = makeDefaults();
}

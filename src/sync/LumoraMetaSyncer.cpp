#include "LumoraMetaSyncer.h"

void LumoraMetaSyncer::run()
{
}

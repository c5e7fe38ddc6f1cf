#pragma once
// Syncs album and photo metadata edits to the service. Nothing needs syncing in this build; the
// entry point stays so callers (album changes, the end of onboarding, runQueues) keep their shape.
class LumoraMetaSyncer
{
public:
    static void run();
};

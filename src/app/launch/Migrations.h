#pragma once
// One-time changes to the catalogue that earlier builds left behind, run at every launch in a
// fixed order; each is guarded by its settings flag or by the previous run's build number.
class Migrations
{
public:
    // `lastRanBuild`: the build of the previous run (0 on a first run).
    static void run(int lastRanBuild);
    // The flag bits the first migration clears from every record.
    static constexpr unsigned long long kClearedFlags = 0xF00002ULL;
};

#pragma once
// Shared between the parts of FileManager; not for other areas.
#include <QString>
#include <QtGlobal>

namespace FileManagerPrivate {
// A file is read only once its size and its last change (modification or status change) have
// stood still for this long: copies from a phone or a share, downloads and recorders write in
// pieces with pauses of a second or two between them, and a half-written photo must not be read
// as the whole one. The wait is not spent on a reader thread: the file is put off and looked at
// again later.
constexpr qint64 kSettleWindowMs = 5000;
// Compares the source roots with the configuration: new roots begin scanning, roots no longer
// configured stop (their waiting files become "not selected"), then the scan loop runs.
void reevaluateSources();
// How many files the scanner has opened to read since the process started (tests, benchmarks).
quint64 filesOpenedForReading();
// Tests: how long a file must stand still before it is read. It holds until set again: a fixture
// sets it once for all its cases.
void setSettleWindowForTesting(qint64 ms);
} // namespace FileManagerPrivate

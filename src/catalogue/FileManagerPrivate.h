#pragma once
// Shared between the parts of FileManager; not for other areas.
#include <QString>
#include <QtGlobal>

namespace FileManagerPrivate {
// Compares the source roots with the configuration: new roots begin scanning, roots no longer
// configured stop (their waiting files become "not selected"), then the scan loop runs.
void reevaluateSources();
// How many files the scanner has opened to read since the process started (tests, benchmarks).
quint64 filesOpenedForReading();
} // namespace FileManagerPrivate

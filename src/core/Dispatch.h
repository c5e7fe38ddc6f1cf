#pragma once
// Main-thread and background dispatch. The main thread is the Qt GUI thread (the thread of the
// QCoreApplication); every catalogue access and every user-interface change happens there.
#include <functional>

using DispatchBlock = std::function<void()>;

bool isMainThread();

// Runs the block on the main thread and waits; inline when the caller already is on it.
void dispatch_main_sync(const DispatchBlock &block);
// Runs the block on the main thread at a later turn of the event loop; returns at once.
void dispatch_main_async(const DispatchBlock &block);
// Returns at once; after `seconds` (when above 0) the block is posted to the main thread.
void dispatch_main_delay(const DispatchBlock &block, double seconds);
void dispatch_default_queue_async(const DispatchBlock &block);
void dispatch_highpriority_queue_async(const DispatchBlock &block);
void dispatch_background_queue_async(const DispatchBlock &block);

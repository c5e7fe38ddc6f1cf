#include "windows/sources/SourcesBackend.h"

#include <QPointer>

namespace {
QPointer<SourcesBackend> s_installed;
} // namespace

SourcesBackend *SourcesBackend::instance()
{
    if (s_installed)
        return s_installed;
    static SourcesBackend *fallback = makeDefault();
    return fallback;
}

void SourcesBackend::setInstance(SourcesBackend *backend)
{
    s_installed = backend;
}

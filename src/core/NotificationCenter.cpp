#include "NotificationCenter.h"

#include "Dispatch.h"

NotificationCenter *NotificationCenter::defaultCenter()
{
    static NotificationCenter *center = new NotificationCenter;
    return center;
}

void NotificationCenter::post(const QString &name, const QVariant &object)
{
    Q_EMIT defaultCenter()->posted(name, object);
}

void NotificationCenter::postOnMain(const QString &name, const QVariant &object)
{
    dispatch_main_async([name, object] { post(name, object); });
}

QMetaObject::Connection NotificationCenter::observe(const QString &name, QObject *context,
                                                    std::function<void(const QVariant &)> handler)
{
    // Direct connection: the observer runs on the posting thread, like the default centre.
    return QObject::connect(defaultCenter(), &NotificationCenter::posted, context,
                            [name, handler = std::move(handler)](const QString &n, const QVariant &o) {
                                if (n == name)
                                    handler(o);
                            },
                            Qt::DirectConnection);
}

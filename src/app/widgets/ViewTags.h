#pragma once
// Numeric view tags: interface files give widgets an int dynamic property "tag"; code finds them
// by number, typed, and gets nullptr when no widget under the root carries that tag.
#include <QList>
#include <QVariant>
#include <QWidget>

inline constexpr const char *kViewTagProperty = "tag";

inline int viewTag(const QObject *object)
{
    if (!object)
        return 0;
    const QVariant value = object->property(kViewTagProperty);
    bool ok = false;
    const int tag = value.toInt(&ok);
    return (value.isValid() && ok) ? tag : 0;
}

inline void setViewTag(QObject *object, int tag)
{
    if (object)
        object->setProperty(kViewTagProperty, tag);
}

// The root itself counts, as it does for a view asked for its own tag.
template<typename T = QWidget>
T *findViewWithTag(QWidget *root, int tag)
{
    if (!root)
        return nullptr;
    const QVariant own = root->property(kViewTagProperty);
    if (own.isValid() && own.toInt() == tag) {
        if (T *typed = qobject_cast<T *>(root))
            return typed;
    }
    const QList<QWidget *> children = root->findChildren<QWidget *>();
    for (QWidget *child : children) {
        const QVariant value = child->property(kViewTagProperty);
        if (!value.isValid())
            continue;
        bool ok = false;
        if (value.toInt(&ok) == tag && ok) {
            if (T *typed = qobject_cast<T *>(child))
                return typed;
        }
    }
    return nullptr;
}

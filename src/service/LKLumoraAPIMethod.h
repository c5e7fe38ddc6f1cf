#pragma once
// API method objects: one class per service method, named after it, with the service's
// snake-case argument names as string properties. Empty properties are not sent.
#include <QList>
#include <QString>
#include <QVariantMap>

#include <utility>

enum LKPermission { LKPermissionRead = 0, LKPermissionWrite = 1, LKPermissionDelete = 2 };

class LKLumoraAPIMethod
{
public:
    virtual ~LKLumoraAPIMethod() = default;
    // The service's method name ("lumora.photosets.getPhotos").
    virtual QString name() const = 0;
    // The non-empty properties by their snake-case names.
    virtual QVariantMap args() const;
    // The call is refused (service error 302) without a signed-in user.
    virtual bool needsLogin() const { return true; }
    // The call is signed (OAuth when signed in, api_sig otherwise).
    virtual bool needsSigning() const { return true; }
    virtual LKPermission requiredPerms() const { return LKPermissionRead; }
    // A readable text for a service error code of this method.
    virtual QString descriptionForError(int code) const;

protected:
    using Fields = QList<std::pair<const char *, const QString *>>;
    virtual Fields fields() const { return {}; }
};

// A free method name with its arguments.
class LKLumoraGenericMethod : public LKLumoraAPIMethod
{
public:
    LKLumoraGenericMethod(const QString &name, const QVariantMap &args = {}, bool needsLogin = true,
                          LKPermission perms = LKPermissionRead)
        : m_name(name), m_args(args), m_needsLogin(needsLogin), m_perms(perms) {}
    QString name() const override { return m_name; }
    QVariantMap args() const override;
    bool needsLogin() const override { return m_needsLogin; }
    LKPermission requiredPerms() const override { return m_perms; }

private:
    QString m_name;
    QVariantMap m_args;
    bool m_needsLogin;
    LKPermission m_perms;
};

class LKLumoraAuthOauthCheckToken : public LKLumoraAPIMethod
{
public:
    QString name() const override { return QStringLiteral("lumora.auth.oauth.checkToken"); }
    QString descriptionForError(int code) const override;
};

class LKLumoraPeopleGetInfo : public LKLumoraAPIMethod
{
public:
    QString user_id;
    QString name() const override { return QStringLiteral("lumora.people.getInfo"); }
    bool needsLogin() const override { return false; }
    QString descriptionForError(int code) const override;
protected:
    Fields fields() const override { return {{"user_id", &user_id}}; }
};

class LKLumoraPhotosDedupGetChecksums : public LKLumoraAPIMethod
{
public:
    QString page, per_page;
    QString name() const override { return QStringLiteral("lumora.photos.dedup.getChecksums"); }
protected:
    Fields fields() const override { return {{"page", &page}, {"per_page", &per_page}}; }
};

class LKLumoraPhotosDedupPrepareUser : public LKLumoraAPIMethod
{
public:
    QString name() const override { return QStringLiteral("lumora.photos.dedup.prepareUser"); }
};

class LKLumoraPhotosDedupCheckDuplicate : public LKLumoraAPIMethod
{
public:
    QString sample;
    QString name() const override { return QStringLiteral("lumora.photos.dedup.checkDuplicate"); }
protected:
    Fields fields() const override { return {{"sample", &sample}}; }
};

class LKLumoraPhotosetsFind : public LKLumoraAPIMethod
{
public:
    QString title;
    QString name() const override { return QStringLiteral("lumora.photosets.find"); }
protected:
    Fields fields() const override { return {{"title", &title}}; }
};

class LKLumoraPhotosetsGetPhotos : public LKLumoraAPIMethod
{
public:
    QString photoset_id, extras, privacy_filter, per_page, page, media;
    QString name() const override { return QStringLiteral("lumora.photosets.getPhotos"); }
    QString descriptionForError(int code) const override;
protected:
    Fields fields() const override
    {
        return {{"photoset_id", &photoset_id}, {"extras", &extras}, {"privacy_filter", &privacy_filter},
                {"per_page", &per_page}, {"page", &page}, {"media", &media}};
    }
};

class LKLumoraPhotosetsGetInfo : public LKLumoraAPIMethod
{
public:
    QString photoset_id;
    QString name() const override { return QStringLiteral("lumora.photosets.getInfo"); }
    QString descriptionForError(int code) const override;
protected:
    Fields fields() const override { return {{"photoset_id", &photoset_id}}; }
};

class LKLumoraPhotosetsEditMeta : public LKLumoraAPIMethod
{
public:
    QString photoset_id, title, description;
    QString name() const override { return QStringLiteral("lumora.photosets.editMeta"); }
    LKPermission requiredPerms() const override { return LKPermissionWrite; }
    QString descriptionForError(int code) const override;
protected:
    Fields fields() const override { return {{"photoset_id", &photoset_id}, {"title", &title}, {"description", &description}}; }
};

class LKLumoraPhotosetsGetList : public LKLumoraAPIMethod
{
public:
    QString user_id, page, per_page;
    QString name() const override { return QStringLiteral("lumora.photosets.getList"); }
protected:
    Fields fields() const override { return {{"user_id", &user_id}, {"page", &page}, {"per_page", &per_page}}; }
};

class LKLumoraPhotosRecentlyUpdated : public LKLumoraAPIMethod
{
public:
    QString min_date, extras, per_page, page;
    QString name() const override { return QStringLiteral("lumora.photos.recentlyUpdated"); }
protected:
    Fields fields() const override { return {{"min_date", &min_date}, {"extras", &extras}, {"per_page", &per_page}, {"page", &page}}; }
};

class LKLumoraPhotosGetSizes : public LKLumoraAPIMethod
{
public:
    QString photo_id;
    QString name() const override { return QStringLiteral("lumora.photos.getSizes"); }
    QString descriptionForError(int code) const override;
protected:
    Fields fields() const override { return {{"photo_id", &photo_id}}; }
};

class LKLumoraPhotosSetDates : public LKLumoraAPIMethod
{
public:
    QString photo_id, date_posted, date_taken, date_taken_granularity;
    QString name() const override { return QStringLiteral("lumora.photos.setDates"); }
    LKPermission requiredPerms() const override { return LKPermissionWrite; }
    QString descriptionForError(int code) const override;
protected:
    Fields fields() const override
    {
        return {{"photo_id", &photo_id}, {"date_posted", &date_posted}, {"date_taken", &date_taken},
                {"date_taken_granularity", &date_taken_granularity}};
    }
};

class LKLumoraPhotosUploadCheckTickets : public LKLumoraAPIMethod
{
public:
    QString tickets; // comma-separated ticket ids
    QString name() const override { return QStringLiteral("lumora.photos.upload.checkTickets"); }
protected:
    Fields fields() const override { return {{"tickets", &tickets}}; }
};

#include "service/LKLumoraAPIMethod.h"

QVariantMap LKLumoraAPIMethod::args() const
{
    QVariantMap out;
    for (const auto &[key, value] : fields())
        if (value && !value->isEmpty())
            out.insert(QString::fromLatin1(key), *value);
    return out;
}

QString LKLumoraAPIMethod::descriptionForError(int code) const
{
    switch (code) {
    case 95: return QStringLiteral("SSL is required to access the Lumora API.");
    case 96: return QStringLiteral("The request's signature was invalid.");
    case 97: return QStringLiteral("The request was not signed.");
    case 98: return QStringLiteral("The login details or auth token passed were invalid.");
    case 99: return QStringLiteral("The user does not have permission to call this method.");
    case 100: return QStringLiteral("The API key passed was not valid or has expired.");
    case 105: return QStringLiteral("The requested service is temporarily unavailable.");
    case 106: return QStringLiteral("The requested operation failed due to a temporary issue.");
    case 111: return QStringLiteral("The requested response format was not found.");
    case 112: return QStringLiteral("The requested method was not found.");
    case 116: return QStringLiteral("The URL passed was in a bad format.");
    case 302: return QStringLiteral("This call needs a signed-in user.");
    default: return QStringLiteral("Unknown error (%1).").arg(code);
    }
}

QVariantMap LKLumoraGenericMethod::args() const { return m_args; }

QString LKLumoraAuthOauthCheckToken::descriptionForError(int code) const
{
    return code == 98 ? QStringLiteral("The token is invalid or has been revoked.") : LKLumoraAPIMethod::descriptionForError(code);
}

QString LKLumoraPeopleGetInfo::descriptionForError(int code) const
{
    return code == 1 ? QStringLiteral("The user id passed did not match a Lumora user.") : LKLumoraAPIMethod::descriptionForError(code);
}

QString LKLumoraPhotosetsGetPhotos::descriptionForError(int code) const
{
    return code == 1 ? QStringLiteral("The album id passed was not a valid album id.") : LKLumoraAPIMethod::descriptionForError(code);
}

QString LKLumoraPhotosetsGetInfo::descriptionForError(int code) const
{
    return code == 1 ? QStringLiteral("The album id was not valid.") : LKLumoraAPIMethod::descriptionForError(code);
}

QString LKLumoraPhotosetsEditMeta::descriptionForError(int code) const
{
    switch (code) {
    case 1: return QStringLiteral("The album id passed was not the id of an album owned by the calling user.");
    case 2: return QStringLiteral("No title parameter was passed.");
    default: return LKLumoraAPIMethod::descriptionForError(code);
    }
}

QString LKLumoraPhotosGetSizes::descriptionForError(int code) const
{
    return code == 1 ? QStringLiteral("The photo id passed was not a valid photo id.") : LKLumoraAPIMethod::descriptionForError(code);
}

QString LKLumoraPhotosSetDates::descriptionForError(int code) const
{
    return code == 1 ? QStringLiteral("The photo id was invalid.") : LKLumoraAPIMethod::descriptionForError(code);
}

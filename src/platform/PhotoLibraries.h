#pragma once
// What this system has of photo-library applications, the Photos authorisation and the
// Messages attachments. On Linux none of those applications exist: the system environment
// answers "not installed" and "no library", while tests install a fake to drive the other
// branches. Dropbox does exist here and is found from its own configuration.
#include <QString>
#include <QVariant>
#include <functional>

class PhotoLibraryEnvironment
{
public:
    // Authorisation states of the photo library.
    enum AuthorizationStatus { NotDetermined = 0, Restricted = 1, Denied = 2, Authorized = 3 };

    virtual ~PhotoLibraryEnvironment() = default;

    // The path of an installed application bundle ("Photos.app") or a null string.
    virtual QString applicationPath(const QString &appName) const;
    // The preference of another application (its preferences domain and key); null when none.
    virtual QVariant applicationPreference(const QString &domain, const QString &key) const;
    // The Messages database and its attachments folder (under the home folder).
    virtual QString messagesDatabasePath() const;
    virtual QString messagesAttachmentsPath() const;
    // The Dropbox folder named by Dropbox's configuration, or a null string.
    virtual QString dropboxFolder() const;
    // Access to the system photo library: this platform has none, so it reports Restricted.
    virtual int photoLibraryAuthorizationStatus() const;
    // Asks the user; the answer arrives later on the main thread.
    virtual void requestPhotoLibraryAuthorization(std::function<void(int status)> done);

    // The environment in use; setInstance(nullptr) restores the system's.
    static PhotoLibraryEnvironment *instance();
    static void setInstance(PhotoLibraryEnvironment *environment);
};

#pragma once
// The service double's authorisation page answered as a user's browser answers it: the allow
// form posted, the redirect to the sign-in callback returned.
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrlQuery>

// The callback address the page redirects to once allowed ("" when the page offered no allow).
inline QString approveOverHttp(const QUrl &authURL)
{
    QNetworkAccessManager nam;
    QEventLoop loop;
    QNetworkReply *page = nam.get(QNetworkRequest(authURL));
    QObject::connect(page, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    const QByteArray html = page->readAll();
    page->deleteLater();
    if (!html.contains("id=\"allow\""))
        return {};
    QUrl formURL = authURL;
    formURL.setQuery(QString());
    QNetworkRequest req(formURL);
    req.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
    req.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    const QString token = QUrlQuery(authURL).queryItemValue(QStringLiteral("oauth_token"), QUrl::FullyDecoded);
    QNetworkReply *post = nam.post(req, "action=allow&perms=delete&oauth_token=" + QUrl::toPercentEncoding(token));
    QObject::connect(post, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    const QString location = post->header(QNetworkRequest::LocationHeader).toUrl().toString();
    post->deleteLater();
    return location;
}

#include "StatusModel.h"

#include <QLocale>
#include <QtGlobal>
#include <cmath>

namespace {

// A pause that ends more than a year from now is what "until I resume" sets.
constexpr qint64 kOpenEndedPauseSeconds = 366LL * 24 * 3600;

QString fileWord(int n) { return StatusText::count(n, QStringLiteral("file"), QStringLiteral("files")); }

} // namespace

QString StatusText::count(int n, const QString &singular, const QString &plural)
{
    return QStringLiteral("%1 %2").arg(QLocale().toString(n), n == 1 ? singular : plural);
}

QString StatusText::pauseEnd(const QDateTime &until, const QDateTime &now)
{
    if (now.secsTo(until) > kOpenEndedPauseSeconds)
        return QString();
    const QDateTime local = until.toLocalTime();
    const QString time = local.time().toString(QStringLiteral("HH:mm"));
    if (local.date() == now.toLocalTime().date())
        return time;
    return QStringLiteral("%1 %2").arg(QLocale().toString(local.date(), QStringLiteral("ddd d MMM")), time);
}

StatusModel composeStatus(const StatusInputs &in)
{
    StatusModel m;
    const QDateTime now = in.now.isValid() ? in.now : QDateTime::currentDateTimeUtc();
    const int waiting = qMax(0, in.filesToUpload);

    if (!in.signedIn) {
        m.line1 = QStringLiteral("Signed out of Lumora");
        m.line2 = QStringLiteral("Sign in to back up your photos");
        m.lineShort = QStringLiteral("Signed out");
        return m;
    }

    if (in.pausedUntil.isValid() && in.pausedUntil > now) {
        const QString end = StatusText::pauseEnd(in.pausedUntil, now);
        m.line1 = end.isEmpty() ? QStringLiteral("Paused until you resume")
                                : QStringLiteral("Paused until %1").arg(end);
        if (waiting > 0)
            m.line2 = QStringLiteral("%1 waiting").arg(fileWord(waiting));
        m.lineShort = QStringLiteral("Paused");
        return m;
    }

    if (in.accountFull) {
        m.line1 = QStringLiteral("Your Lumora account is full");
        m.line2 = QStringLiteral("Free up space, then try again");
        m.lineShort = QStringLiteral("Account full");
        m.resumeMessage = QStringLiteral("Try again");
        return m;
    }

    if (in.uploaderPausedDueToErrors) {
        m.line1 = QStringLiteral("Uploading stopped after repeated errors");
        if (waiting > 0)
            m.line2 = QStringLiteral("%1 waiting").arg(fileWord(waiting));
        m.lineShort = QStringLiteral("Stopped after errors");
        m.resumeMessage = QStringLiteral("Try again");
        return m;
    }

    if (!in.online) {
        m.line1 = QStringLiteral("Offline");
        m.line2 = QStringLiteral("Uploading resumes when you are back online");
        m.lineShort = QStringLiteral("Offline");
        m.resumeMessage = QStringLiteral("Refresh");
        return m;
    }

    if (!in.mirrorCompleted) {
        if (in.mirrorRefreshing && !in.mirrorPausedDueToErrors) {
            m.line1 = QStringLiteral("Connecting to Lumora…");
            m.lineShort = QStringLiteral("Connecting…");
        } else {
            m.line1 = QStringLiteral("Could not reach Lumora");
            m.line2 = QStringLiteral("Check your connection, then refresh");
            m.lineShort = QStringLiteral("Could not connect");
            m.resumeMessage = QStringLiteral("Refresh");
        }
        return m;
    }

    if (in.serverBusyUntil.isValid() && in.serverBusyUntil > now) {
        m.line1 = QStringLiteral("Lumora is busy");
        m.line2 = QStringLiteral("Trying again at %1")
                      .arg(in.serverBusyUntil.toLocalTime().time().toString(QStringLiteral("HH:mm:ss")));
        m.lineShort = QStringLiteral("Waiting for Lumora");
        return m;
    }

    if (in.uploading) {
        const int done = qMax(0, in.uploadedThisRun);
        const int total = done + 1 + waiting; // the file being sent is no longer counted as waiting
        const double p = qBound(0.0, in.uploadPercent, 1.0);
        m.line1 = QStringLiteral("Uploading %1 of %2").arg(QLocale().toString(done + 1), QLocale().toString(total));
        m.line2 = in.uploadingName.isEmpty()
                      ? QStringLiteral("%1%").arg(int(std::floor(p * 100)))
                      : QStringLiteral("%1 (%2%)").arg(in.uploadingName).arg(int(std::floor(p * 100)));
        if (in.pendingTickets > 0)
            m.line3 = QStringLiteral("Lumora is processing %1").arg(fileWord(in.pendingTickets));
        m.lineShort = m.line1;
        m.percent = p;
        m.running = true;
        m.animateTray = true;
        m.showsUploadPercent = true;
        return m;
    }

    if (in.scanning) {
        m.line1 = in.filesToScan > 0 ? QStringLiteral("Scanning %1…").arg(fileWord(in.filesToScan))
                                     : QStringLiteral("Looking for new photos…");
        if (waiting > 0)
            m.line2 = QStringLiteral("%1 to upload").arg(fileWord(waiting));
        m.lineShort = QStringLiteral("Scanning…");
        m.scanning = true;
        return m;
    }

    if (in.pendingTickets > 0) {
        m.line1 = QStringLiteral("Lumora is processing %1…").arg(fileWord(in.pendingTickets));
        if (waiting > 0)
            m.line2 = QStringLiteral("%1 to upload").arg(fileWord(waiting));
        m.lineShort = QStringLiteral("Processing…");
        m.running = true;
        m.animateTray = true;
        return m;
    }

    if (waiting > 0) {
        if (!in.onboardingComplete) {
            m.line1 = QStringLiteral("Finish setting up to start uploading");
            m.line2 = QStringLiteral("%1 to upload").arg(fileWord(waiting));
            m.lineShort = QStringLiteral("Setup not finished");
        } else {
            m.line1 = QStringLiteral("%1 waiting to upload").arg(fileWord(waiting));
            m.lineShort = QStringLiteral("%1 to go").arg(QLocale().toString(waiting));
        }
        return m;
    }

    m.line1 = QStringLiteral("All photos uploaded");
    m.lineShort = QStringLiteral("All photos uploaded");
    m.complete = true;
    m.percent = 1.0;
    return m;
}

#include "StatusModel.h"

#include "core/Localization.h"

#include <QLocale>
#include <QtGlobal>
#include <cmath>

namespace {
// User-visible text goes through the translation table, keyed by the English phrase.
inline QString L(const char *english) { return Localization::tr(QString::fromUtf8(english)); }
} // namespace


namespace {

// A pause that ends more than a year from now is what "until I resume" sets.
constexpr qint64 kOpenEndedPauseSeconds = 366LL * 24 * 3600;

QString fileWord(int n) { return StatusText::count(n, L("file"), L("files")); }
QString folderWord(int n) { return StatusText::count(n, L("folder"), L("folders")); }

// A cause as a part reported it, to be set in a sentence of ours.
QString trimmedReason(const QString &reported)
{
    QString why = reported.trimmed();
    while (why.endsWith(QLatin1Char('.')))
        why.chop(1);
    return why;
}

// A sentence made of parts joined as a list (the parts are translated one by one).
QString sentence(const QStringList &parts, const QString &separator)
{
    return L("%1.").arg(parts.join(separator));
}

// The lines most states set: what holds, what to do or what happens next, and the short line.
void say(StatusModel *m, const QString &line1, const QString &line2, const QString &lineShort)
{
    m->line1 = line1;
    m->line2 = line2;
    m->lineShort = lineShort;
}

// Files not on the service and what keeps them, as the idle status tells it. Only waiting: the
// plain "waiting to upload"; only names: how to mend them; otherwise every reason with its count.
// The two lines are shown one after the other, so each is a sentence of its own.
bool describeNotOnService(const StatusInputs &in, int waiting, StatusModel *m)
{
    m->readsNotOnService = true;
    NotOnService left = in.left;
    // The loop's count of waiting files takes in those whose source is away.
    left.waiting = qMax(waiting - left.awaitingSource, left.waiting);
    const int files = left.files();
    const int folders = left.foldersNotRead + left.linkedFolders;
    if (files == 0 && folders == 0)
        return false;
    m->toGo = files - left.heldForUser(); // the headline counts them all; only these go by themselves
    if (files == left.waiting && folders == 0) {
        if (!in.onboardingComplete) {
            say(m, L("Finish setting up to start uploading."), L("%1 to upload.").arg(fileWord(files)), L("Setup not finished"));
        } else {
            m->line1 = L("%1 waiting to upload.").arg(fileWord(files));
            m->lineShort = L("%1 to go").arg(QLocale().toString(files));
        }
        return true;
    }
    if (files == left.awaitingSource && folders == 0) {
        // Said after the folder (tellAwayFolders): it is what the user can bring back.
        m->line1 = in.sourcesUnavailable <= 1 ? L("%1 waiting for it; uploading resumes once it is back.").arg(fileWord(files))
                                              : L("%1 waiting for them; uploading resumes once they are back.").arg(fileWord(files));
        return true;
    }
    if (files == left.badNames && folders == 0) {
        // Told as the other reasons are: the headline counts them as not uploaded, as "to go" does.
        say(m, L("%1 could not be backed up.").arg(fileWord(files)),
            files == 1 ? L("Its name is not valid UTF-8; rename it to back it up.")
                       : L("Their names are not valid UTF-8; rename them to back them up."),
            L("%1 not uploaded").arg(QLocale().toString(files)));
        return true;
    }
    if (files == left.skippedBySize() && folders == 0) {
        QStringList sizes;
        if (left.tooLarge > 0)
            sizes << L("too large");
        if (left.tooSmall > 0)
            sizes << L("too small");
        say(m, L("%1 not backed up: %2.").arg(fileWord(files), sizes.join(L(" or "))),
            files == 1 ? L("The details window lists it.") : L("The details window lists them."),
            L("%1 not backed up").arg(QLocale().toString(files)));
        return true;
    }
    QStringList why;
    const auto add = [&why](int n, const char *text) {
        if (n > 0)
            why << L(text).arg(QLocale().toString(n));
    };
    add(left.waiting, "%1 waiting");
    add(left.awaitingSource, "%1 waiting for an unavailable watched folder");
    add(left.retrying, "%1 to be tried again");
    add(left.failed, "%1 failed");
    add(left.unreadable, "%1 cannot be read");
    add(left.refused, "%1 refused by Lumora");
    if (left.badNames == 1)
        why << L("1 with a name that is not UTF-8");
    else
        add(left.badNames, "%1 with names that are not UTF-8");
    add(left.tooLarge, "%1 too large");
    add(left.tooSmall, "%1 too small");
    QStringList where;
    if (left.foldersNotRead > 0)
        where << L("%1 could not be read").arg(folderWord(left.foldersNotRead));
    if (left.linkedFolders > 0)
        where << (left.linkedFolders == 1 ? L("1 linked folder is not followed: add the folder it leads to")
                                          : L("%1 linked folders are not followed: add the folders they lead to")
                                                .arg(QLocale().toString(left.linkedFolders)));
    if (files > 0) {
        m->line1 = L("%1 not uploaded.").arg(fileWord(files));
        m->line2 = sentence(why, QStringLiteral(", "));
        if (!where.isEmpty())
            m->line3 = sentence(where, QStringLiteral("; "));
        m->lineShort = L("%1 not uploaded").arg(QLocale().toString(files));
    } else {
        m->line1 = sentence(where, QStringLiteral("; "));
        m->lineShort = L("Folders not read");
    }
    if (left.retryHelps()) {
        m->resumeMessage = L("Try again");
        m->retryOffered = true;
    }
    return true;
}

// What every step of the status reads: the inputs, the time and the counts they share.
struct Counts
{
    const StatusInputs &in;
    QDateTime now;
    int waiting;     // files the upload loop holds to send
    int notUploaded; // every selected file not on the service, whatever keeps it (failed, deferred, waiting)
    int toSend;      // of them, those that go without the user doing something to the file first
};

// The service was reached and said no: no connection check helps, a new sign-in may.
bool tellSignIn(const Counts &c, StatusModel *m)
{
    if (c.in.credentialsRefused != 0) {
        say(m, c.in.credentialsRefused == 100 ? L("Lumora did not accept this app's key.") : L("Lumora no longer accepts your sign-in."),
            L("Sign in again to back up your photos."), L("Sign in again"));
        m->resumeMessage = L("Sign in...");
        return true;
    }
    if (c.in.signedIn)
        return false;
    say(m, L("Signed out of Lumora."), L("Sign in to back up your photos."), L("Signed out"));
    // The sign-in was in the settings that could not be read: say so, or the user signs in
    // again and never learns where the sources went.
    if (!c.in.settingsUnread.isEmpty() && c.in.settingsKeptAs.isEmpty()) {
        m->line2 = L("Your settings could not be read: %1 (%2).").arg(c.in.settingsFile, trimmedReason(c.in.settingsUnread));
        m->line3 = L("Hoistly leaves the file as it is: make it readable, then reopen Hoistly.");
    } else if (!c.in.settingsUnread.isEmpty()) {
        m->line2 = L("Your settings could not be read (%1); they were kept as %2.").arg(trimmedReason(c.in.settingsUnread), c.in.settingsKeptAs);
        m->line3 = L("Sign in to back up your photos.");
    }
    return true;
}

bool tellCatalogue(const Counts &c, StatusModel *m)
{
    if (c.in.catalogueUnavailable) {
        say(m, L("Could not open the photo catalogue."), L("Make sure your home folder has free space, then reopen Hoistly."),
            L("Catalogue unavailable"));
        return true;
    }
    if (!c.in.catalogueSavesFailing)
        return false;
    m->line1 = L("Uploads wait: the photo catalogue cannot be saved.");
    // Space is the usual cause; anything else (a read-only folder, a failing disk) is told
    // as the catalogue reported it, since freeing space would not help.
    const QString why = trimmedReason(c.in.catalogueSaveError);
    m->line2 = why.isEmpty() || why.contains(QLatin1String("full"), Qt::CaseInsensitive)
                   ? L("Free up disk space; uploading resumes by itself.")
                   : L("The catalogue reported: %1.").arg(why);
    m->lineShort = L("Cannot save catalogue");
    return true;
}

// Told before anything that reads as done: at the next start the sources and the sign-in would
// be those last saved. Uploads go on meanwhile.
bool tellUnsavedSettings(const Counts &c, StatusModel *m)
{
    if (c.in.settingsUnsavedError.isEmpty())
        return false;
    m->line1 = L("Your settings cannot be saved.");
    m->line2 = L("Could not write to %1: %2.").arg(c.in.settingsFolder, trimmedReason(c.in.settingsUnsavedError));
    m->line3 = c.in.settingsUnread.isEmpty() || !c.in.settingsKeptAs.isEmpty()
                   ? L("Your choices hold until Hoistly quits and are saved once the folder can be written.")
                   : L("Your choices hold until Hoistly quits; the file is left as it is.");
    m->lineShort = L("Cannot save settings");
    m->running = c.in.uploading || c.in.pendingTickets > 0;
    m->animateTray = m->running;
    return true;
}

bool tellPause(const Counts &c, StatusModel *m)
{
    if (!c.in.pausedUntil.isValid() || c.in.pausedUntil <= c.now)
        return false;
    const QString end = StatusText::pauseEnd(c.in.pausedUntil, c.now);
    m->line1 = end.isEmpty() ? L("Paused until you resume.") : L("Paused until %1.").arg(end);
    m->readsNotOnService = true;
    m->toGo = c.toSend;
    // Only what a resume sends is "waiting"; failed, refused or unreadable files are not.
    const int resumes = qMax(c.waiting, c.in.left.waiting + c.in.left.awaitingSource + c.in.left.retrying);
    if (c.notUploaded > resumes)
        m->line2 = L("%1 not uploaded.").arg(fileWord(c.notUploaded));
    else if (c.notUploaded > 0)
        m->line2 = L("%1 waiting.").arg(fileWord(c.notUploaded));
    m->lineShort = L("Paused");
    return true;
}

// The account is full, or uploads stopped after errors: "Try again" is offered.
bool tellUploadsStopped(const Counts &c, StatusModel *m)
{
    if (c.in.accountFull) {
        say(m, L("Your Lumora account is full."), L("Free up space, then try again."), L("Account full"));
    } else if (c.in.uploaderPausedDueToErrors) {
        // Said with the time of the next try: the stop ends by itself.
        const QString retry = c.in.uploaderRetryAt.isValid() ? StatusText::pauseEnd(c.in.uploaderRetryAt, c.now) : QString();
        m->line1 = L("Uploading stopped after repeated errors.");
        m->readsNotOnService = true;
        m->toGo = c.toSend;
        if (!retry.isEmpty())
            m->line2 = L("Trying again by itself at %1.").arg(retry);
        if (c.notUploaded > 0)
            (m->line2.isEmpty() ? m->line2 : m->line3) = L("%1 not uploaded.").arg(fileWord(c.notUploaded));
        m->lineShort = retry.isEmpty() ? L("Stopped after errors") : L("Errors; trying again at %1").arg(retry);
    } else {
        return false;
    }
    m->resumeMessage = L("Try again");
    m->retryOffered = true;
    return true;
}

// The service cannot be reached, has not been listed yet, or asked us to wait.
bool tellConnection(const Counts &c, StatusModel *m)
{
    if (!c.in.online) {
        say(m, L("Offline."), L("Uploading resumes when you are back online."), L("Offline"));
        m->resumeMessage = L("Refresh");
    } else if (!c.in.mirrorCompleted && c.in.mirrorRefreshing && !c.in.mirrorPausedDueToErrors) {
        m->line1 = L("Connecting to Lumora…");
        m->lineShort = L("Connecting…");
    } else if (!c.in.mirrorCompleted) {
        say(m, L("Could not reach Lumora."), L("Check your connection, then refresh."), L("Could not connect"));
        m->resumeMessage = L("Refresh");
    } else if (c.in.serverBusyUntil.isValid() && c.in.serverBusyUntil > c.now) {
        const QString at = c.in.serverBusyUntil.toLocalTime().time().toString(QStringLiteral("HH:mm:ss"));
        say(m, L("Lumora is busy."), L("Trying again at %1.").arg(at), L("Waiting for Lumora"));
    } else {
        return false;
    }
    return true;
}

bool tellUploading(const Counts &c, StatusModel *m)
{
    if (!c.in.uploading)
        return false;
    // Files sent and still processing count as taken: "Uploading 1 of 1" while six are with the
    // service would hide them. The count to go and the bar follow the same numbers: "Uploading
    // 6 of 8" leaves 3 to go, and the bar is a little over five eighths full, whatever part of
    // this one file is sent.
    const int done = qMax(0, c.in.uploadedThisRun) + qMax(0, c.in.pendingTickets);
    const int total = done + 1 + c.waiting; // the file being sent is no longer counted as waiting
    const double p = qBound(0.0, c.in.uploadPercent, 1.0);
    const QString position = QLocale().toString(done + 1), of = QLocale().toString(total);
    const QString filePercent = QLocale().toString(int(std::floor(p * 100)));
    m->line1 = L("Uploading %1 of %2.").arg(position, of);
    m->line2 = c.in.uploadingName.isEmpty() ? L("%1% of this file sent.").arg(filePercent)
                                            : L("%1: %2% sent.").arg(c.in.uploadingName, filePercent);
    if (c.in.pendingTickets > 0)
        m->line3 = c.in.ticketChecksFailing ? L("Could not ask Lumora about %1 it is processing.").arg(fileWord(c.in.pendingTickets))
                                            : L("Lumora is processing %1.").arg(fileWord(c.in.pendingTickets));
    m->lineShort = L("Uploading %1 of %2").arg(position, of);
    m->toGo = total - done;
    m->percent = (done + p) / total;
    m->running = m->animateTray = m->showsUploadPercent = true;
    return true;
}

bool tellScanning(const Counts &c, StatusModel *m)
{
    if (!c.in.scanning)
        return false;
    m->line1 = c.in.filesToScan > 0 ? L("Scanning %1…").arg(fileWord(c.in.filesToScan)) : L("Looking for new photos…");
    if (c.waiting > 0)
        m->line2 = L("%1 to upload.").arg(fileWord(c.waiting));
    m->lineShort = L("Scanning…");
    m->toGo = c.waiting;
    m->scanning = true;
    return true;
}

bool tellProcessing(const Counts &c, StatusModel *m)
{
    if (c.in.pendingTickets <= 0)
        return false;
    if (c.in.ticketChecksFailing) {
        // Not "processing": nothing says so while the service cannot be asked.
        say(m, L("Could not ask Lumora about %1 it is processing.").arg(fileWord(c.in.pendingTickets)), L("Trying again by itself."),
            L("Could not reach Lumora"));
        return true;
    }
    m->line1 = L("Lumora is processing %1…").arg(fileWord(c.in.pendingTickets));
    if (c.waiting > 0)
        m->line2 = L("%1 to upload.").arg(fileWord(c.waiting));
    m->lineShort = L("Processing…");
    m->toGo = c.waiting; // sent files are not to go: the line says the service has them
    m->running = m->animateTray = true;
    return true;
}

// A watched folder that cannot be reached asks the user to bring it back, which no other note
// does: it heads the lines whatever else is said (a file too small, a linked folder), and the
// notes follow it. Whatever is in it was not looked at: never "all uploaded".
void tellAwayFolders(const StatusInputs &in, bool noted, StatusModel *m)
{
    const int away = qMax(1, in.sourcesUnavailable);
    const QString headline = away == 1 ? L("A watched folder is unavailable.")
                                       : L("%1 watched folders are unavailable.").arg(QLocale().toString(away));
    const QString headlineShort = away == 1 ? L("Folder unavailable") : L("%1 folders unavailable").arg(QLocale().toString(away));
    if (!noted) {
        m->line2 = away == 1 ? L("Its photos are uploaded once it is back.") : L("Their photos are uploaded once they are back.");
        m->percent = 1.0;
    } else {
        m->line2 = QStringList({m->line1, m->line2}).join(QLatin1Char(' ')).trimmed();
    }
    m->line1 = headline;
    m->lineShort = m->lineShort.isEmpty() ? headlineShort : QStringLiteral("%1; %2").arg(headlineShort, m->lineShort);
}

// Nothing selected, or everything selected is on the service.
void tellNothingLeft(const StatusInputs &in, StatusModel *m)
{
    if (in.noSources) {
        // Nothing is selected, so nothing was backed up: not "all uploaded".
        say(m, L("No sources selected."), L("Add a folder in the Upload pane to back up its photos."), L("No sources selected"));
        return;
    }
    m->line1 = L("All photos uploaded.");
    m->lineShort = L("All photos uploaded");
    m->toGo = 0;
    m->complete = true;
    m->percent = 1.0;
}

// Nothing is under way: what is not on the service, the folders away, or all done.
bool tellIdle(const Counts &c, StatusModel *m)
{
    const bool noted = describeNotOnService(c.in, c.waiting, m);
    if (c.in.sourcesUnavailable > 0 || c.in.left.awaitingSource > 0)
        tellAwayFolders(c.in, noted, m);
    else if (!noted)
        tellNothingLeft(c.in, m);
    return true;
}

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
    const QDate today = now.toLocalTime().date();
    if (local.date() == today)
        return time;
    const QString format = local.date().year() == today.year() ? QStringLiteral("ddd d MMM") : QStringLiteral("ddd d MMM yyyy");
    return QStringLiteral("%1 %2").arg(QLocale().toString(local.date(), format), time);
}

StatusModel composeStatus(const StatusInputs &in)
{
    const int waiting = qMax(0, in.filesToUpload);
    const Counts c{in, in.now.isValid() ? in.now : QDateTime::currentDateTimeUtc(), waiting,
                   qMax(waiting, in.left.files()), qMax(waiting, in.left.files() - in.left.heldForUser())};
    StatusModel m;
    // Unless a state counts otherwise: what waits for the loop and what it holds back.
    m.toGo = qMax(c.toSend, waiting + qMax(0, in.heldBack));
    // The first state that holds is told: what stops uploads before what is under way.
    using Step = bool (*)(const Counts &, StatusModel *);
    for (const Step step : {tellSignIn, tellCatalogue, tellUnsavedSettings, tellPause, tellUploadsStopped, tellConnection,
                            tellUploading, tellScanning, tellProcessing, tellIdle})
        if (step(c, &m))
            break;
    return m;
}

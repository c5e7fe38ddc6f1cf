#pragma once
// Test doubles for the modal interfaces: answers come from a script, every request is recorded,
// and nothing opens a window or spins an event loop. Install them in a test's initTestCase
// (or per test) and uninstall with the Install* guards, which restore the real ones on scope exit.
#include "app/widgets/ModalUi.h"

#include <QList>
#include <QQueue>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>

class ScriptedAlerts : public AlertPresenter
{
public:
    struct Answer
    {
        int button = 0;
        bool checkboxChecked = false;
        bool deferred = false; // keep the callback for answerPending() instead of answering now
        bool real = false;     // the application's own message box asks (shown, never run in a loop)
    };

    // Queued answers are used in order; with none queued the default button (0) is chosen.
    void enqueue(int button, bool checkboxChecked = false) { answers.enqueue({button, checkboxChecked, false}); }
    // Answers this alert later, from the test, with answerPending().
    void enqueueDeferred() { answers.enqueue({0, false, true}); }
    // Hands this alert to the real presenter; the test answers the message box it shows.
    void enqueueReal() { answers.enqueue({0, false, false, true}); }
    // Answers by button title; the request's buttons are searched when the alert arrives.
    void enqueueTitle(const QString &title, bool checkboxChecked = false)
    {
        titledAnswers.enqueue({title, checkboxChecked});
        answers.enqueue({-1, checkboxChecked, false});
    }

    void present(const AlertRequest &request, std::function<void(AlertResult)> done) override
    {
        requests << request;
        Answer answer = answers.isEmpty() ? Answer{} : answers.dequeue();
        if (answer.button == -1 && !titledAnswers.isEmpty()) {
            const auto titled = titledAnswers.dequeue();
            answer.button = qMax(0, request.buttons.indexOf(titled.first));
            answer.checkboxChecked = titled.second;
        }
        if (answer.real) {
            Alerts::setPresenter(nullptr);
            Alerts::show(request, std::move(done));
            Alerts::setPresenter(this);
            return;
        }
        if (answer.deferred) {
            pending << std::move(done);
            return;
        }
        if (done)
            done(AlertResult{answer.button, answer.checkboxChecked});
    }

    // Answers the oldest alert held back by enqueueDeferred(); false when none waits.
    bool answerPending(int button, bool checkboxChecked = false)
    {
        if (pending.isEmpty())
            return false;
        auto done = pending.takeFirst();
        if (done)
            done(AlertResult{button, checkboxChecked});
        return true;
    }

    int count() const { return requests.size(); }
    const AlertRequest &last() const { return requests.last(); }
    QStringList titles() const
    {
        QStringList out;
        for (const auto &r : requests)
            out << r.title;
        return out;
    }

    QList<AlertRequest> requests;
    QQueue<Answer> answers;
    QQueue<QPair<QString, bool>> titledAnswers;
    QList<std::function<void(AlertResult)>> pending;
};

class ScriptedFolderChooser : public FolderChooser
{
public:
    struct Request
    {
        QString title;
        bool multiple = false;
    };

    // Each call takes the next queued answer; an empty list means the user cancelled.
    void enqueue(const QStringList &folders) { answers.enqueue(folders); }

    void chooseFolders(QWidget *, const QString &title, bool multiple,
                       std::function<void(QStringList)> done) override
    {
        requests << Request{title, multiple};
        const QStringList chosen = answers.isEmpty() ? QStringList{} : answers.dequeue();
        if (done)
            done(chosen);
    }

    int count() const { return requests.size(); }
    QList<Request> requests;
    QQueue<QStringList> answers;
};

class RecordingUrlOpener : public UrlOpener
{
public:
    void open(const QUrl &url) override { opened << url; }
    void revealFile(const QString &path) override { revealed << path; }

    QUrl last() const { return opened.isEmpty() ? QUrl() : opened.last(); }
    QList<QUrl> opened;
    QStringList revealed;
};

// Scope guards: install a double and put the real implementation back afterwards.
struct InstallAlerts
{
    explicit InstallAlerts(AlertPresenter *p) { Alerts::setPresenter(p); }
    ~InstallAlerts() { Alerts::setPresenter(nullptr); }
};
struct InstallFolderChooser
{
    explicit InstallFolderChooser(FolderChooser *c) { FolderChoosers::setChooser(c); }
    ~InstallFolderChooser() { FolderChoosers::setChooser(nullptr); }
};
struct InstallUrlOpener
{
    explicit InstallUrlOpener(UrlOpener *o) { UrlOpeners::setOpener(o); }
    ~InstallUrlOpener() { UrlOpeners::setOpener(nullptr); }
};

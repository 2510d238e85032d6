#include "tray/proxykeychain.h"

#include "common/updatelog.h"

#include <qt6keychain/keychain.h>

namespace {
const QString service = QStringLiteral("Tarrowin proxy");
// A Basic user may not hold a colon, nor any user or password a line break.
constexpr QChar separator = u'\n';

// libsecret answers a job through a plain pointer to it: a job deleted before then, with
// its owner, would be written to after its end. Each job owns itself instead, and goes once
// it has finished (QtKeychain's auto-delete); its answer comes only while this one lives.
template<typename Job> Job *ownJob()
{
    auto *job = new Job(service);
    job->setAutoDelete(true);
    job->setInsecureFallback(false);
    return job;
}
} // namespace

void ProxyKeychain::read(const QString &entry, const Found &found)
{
    auto *job = ownJob<QKeychain::ReadPasswordJob>();
    job->setKey(entry);
    connect(job, &QKeychain::Job::finished, this, [job, found] {
        if (job->error() != QKeychain::NoError) {
            if (job->error() != QKeychain::EntryNotFound)
                qCInfo(lcUpdate).noquote()
                    << "The keychain could not be read:" << job->errorString();
            found({}, {});
            return;
        }
        const QString text = job->textData();
        const qsizetype split = text.indexOf(separator);
        found(text.left(split), split < 0 ? QString() : text.mid(split + 1));
    });
    job->start();
}

void ProxyKeychain::write(const QString &entry, const QString &user, const QString &password,
                          const std::function<void(bool stored)> &done)
{
    auto *job = ownJob<QKeychain::WritePasswordJob>();
    job->setKey(entry);
    job->setTextData(user + separator + password);
    connect(job, &QKeychain::Job::finished, this, [job, done] {
        const bool stored = job->error() == QKeychain::NoError;
        if (!stored)
            qCWarning(lcUpdate).noquote()
                << "No Secret Service took the proxy's credentials, kept for this session only:"
                << job->errorString();
        done(stored);
    });
    job->start();
}

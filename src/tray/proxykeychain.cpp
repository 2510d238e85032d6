#include "tray/proxykeychain.h"

#include "common/updatelog.h"

#include <qt6keychain/keychain.h>

namespace {
const QString service = QStringLiteral("Tarrowin proxy");
// A Basic user may not hold a colon, nor any user or password a line break.
constexpr QChar separator = u'\n';
} // namespace

void ProxyKeychain::read(const QString &entry, const Found &found)
{
    auto *job = new QKeychain::ReadPasswordJob(service, this);
    job->setInsecureFallback(false);
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
    auto *job = new QKeychain::WritePasswordJob(service, this);
    job->setInsecureFallback(false);
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

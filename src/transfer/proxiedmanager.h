#pragma once

#include "transfer/proxychoice.h"

#include <QNetworkAccessManager>

// A network manager whose requests go where ProxyChoice says, and fail in its words where
// it refuses the proxy: the person reads which proxy, and why, instead of Qt's "No suitable
// proxy found".
class ProxiedManager : public QNetworkAccessManager
{
    Q_OBJECT

public:
    ProxiedManager(const QString &configured, const ProxyChoice::Environment &environment,
                   QObject *parent = nullptr);

    // How often one request is sent before its proxy's authentication counts as endless.
    static constexpr int maximumRounds = 3;

protected:
    QNetworkReply *createRequest(Operation operation, const QNetworkRequest &request,
                                 QIODevice *outgoingData) override;

private:
    void stopEndlessAuthentication(QNetworkReply *reply);

    // Owned by the manager.
    ProxyChoice *m_choice;
};

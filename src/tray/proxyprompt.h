#pragma once

#include "transfer/proxyauthenticator.h"

#include <QHash>
#include <QSet>

class ProxyKeychain;

// Answers a proxy's 407: credentials given earlier in this session, else those the keychain
// holds, else the person's, asked in the window. One question is open at a time; a request
// through another proxy meanwhile gets no credentials and fails as before.
class ProxyPrompt : public ProxyAuthenticator
{
    Q_OBJECT
    Q_PROPERTY(bool waiting READ waiting NOTIFY changed)
    Q_PROPERTY(QString question READ question NOTIFY changed)
    Q_PROPERTY(QString proxy READ proxy NOTIFY changed)
    Q_PROPERTY(QString realm READ realm NOTIFY changed)

public:
    explicit ProxyPrompt(QObject *parent = nullptr);

    void ask(const QString &proxy, const QString &realm, bool refused) override;
    void accepted(const QString &proxy) override;

    // Whether the window asks now.
    bool waiting() const { return m_state == Asking; }
    QString question() const;
    QString proxy() const { return m_proxy; }
    QString realm() const { return m_realm; }

    // remember: into the Secret Service as well, where there is one.
    Q_INVOKABLE void answer(const QString &user, const QString &password, bool remember);
    Q_INVOKABLE void decline();

signals:
    void changed();
    // Credentials to remember went to the Secret Service (stored), or could not.
    void remembered(bool stored);

private:
    enum State { Idle, Reading, Asking };
    struct Credentials
    {
        QString user;
        QString password;
    };

    QString entry() const { return m_proxy + u' ' + m_realm; }
    void finish(const Credentials &credentials);

    ProxyKeychain *m_keychain;
    State m_state = Idle;
    QString m_proxy;
    QString m_realm;
    bool m_refused = false;
    // Given in this session, by entry: without a Secret Service these are all there is.
    QHash<QString, Credentials> m_session;
    // Entries the keychain was asked for once already.
    QSet<QString> m_looked;
    // By proxy: the entry to remember once the proxy has taken its credentials.
    QHash<QString, QString> m_toRemember;
};

#include "tray/proxyprompt.h"

#include "tray/proxykeychain.h"

ProxyPrompt::ProxyPrompt(QObject *parent)
    : ProxyAuthenticator(parent)
    , m_keychain(new ProxyKeychain(this))
{
}

void ProxyPrompt::ask(const QString &proxy, const QString &realm, bool refused)
{
    const QString asked = proxy + u' ' + realm;
    if (refused)
        m_session.remove(asked);
    if (const auto known = m_session.constFind(asked); known != m_session.constEnd()) {
        emit answered(proxy, known->user, known->password);
        return;
    }
    if (m_state != Idle) {
        // The open question's answer goes to every request waiting on the same proxy.
        if (proxy != m_proxy)
            emit answered(proxy, {}, {});
        return;
    }
    m_proxy = proxy;
    m_realm = realm;
    m_refused = refused;
    // What the keychain holds is tried once, without a question; refused, it is asked about.
    if (!refused && !m_looked.contains(asked)) {
        m_looked.insert(asked);
        m_state = Reading;
        m_keychain->read(asked, [this](const QString &user, const QString &password) {
            if (!user.isEmpty()) {
                finish({ user, password });
                return;
            }
            m_state = Asking;
            emit changed();
        });
        return;
    }
    m_state = Asking;
    emit changed();
}

QString ProxyPrompt::question() const
{
    if (m_refused)
        return tr("The proxy %1 refused the user and password for \u201c%2\u201d. Try again:")
            .arg(m_proxy, m_realm);
    return tr("The proxy %1 asks for a user and password for \u201c%2\u201d:")
        .arg(m_proxy, m_realm);
}

void ProxyPrompt::answer(const QString &user, const QString &password, bool remember)
{
    if (m_state != Asking)
        return;
    // Only credentials the proxy takes are remembered: refused ones would be tried first in
    // every later session.
    if (remember && !user.isEmpty())
        m_toRemember.insert(m_proxy, entry());
    else
        m_toRemember.remove(m_proxy);
    finish({ user, password });
}

void ProxyPrompt::accepted(const QString &proxy)
{
    const QString remembered = m_toRemember.take(proxy);
    const auto credentials = m_session.constFind(remembered);
    if (remembered.isEmpty() || credentials == m_session.constEnd())
        return;
    m_keychain->write(remembered, credentials->user, credentials->password,
                      [this](bool stored) { emit this->remembered(stored); });
}

void ProxyPrompt::decline()
{
    if (m_state == Asking)
        finish({});
}

void ProxyPrompt::finish(const Credentials &credentials)
{
    const QString proxy = m_proxy;
    if (!credentials.user.isEmpty())
        m_session.insert(entry(), credentials);
    m_state = Idle;
    emit changed();
    emit answered(proxy, credentials.user, credentials.password);
}

#pragma once

#include <QNetworkReply>

// Words for a failed reply that say more than Qt's own (which proxy refused, which issuer
// nobody trusts), put on the reply by whoever learnt them and read where failures are worded.
namespace ReplyProblem {

inline void set(QNetworkReply *reply, const QString &words)
{
    reply->setProperty("tarrowinProblem", words);
}

// Empty where nobody said more than Qt.
inline QString get(const QNetworkReply *reply)
{
    return reply->property("tarrowinProblem").toString();
}

} // namespace ReplyProblem

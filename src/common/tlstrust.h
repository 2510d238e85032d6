#pragma once

#include <QCoreApplication>
#include <QList>
#include <QSslCertificate>
#include <QSslError>

class QNetworkReply;

// What Tarrowin's own connections trust beyond the system's certificates (an organisation's
// CA, which Qt does not read from SSL_CERT_FILE or SSL_CERT_DIR), and what a certificate
// from an issuer nobody trusts is called. Nothing here accepts a certificate that fails.
class TlsTrust
{
    Q_DECLARE_TR_FUNCTIONS(TlsTrust)

public:
    // The certificates in SSL_CERT_FILE, in each folder of SSL_CERT_DIR (separated by ':')
    // and in `configured`, the "CaCertificates" setting: a PEM file or a folder of them.
    static QList<QSslCertificate> extraCertificates(const QString &configured);
    // Adds them to what this process's connections trust; returns how many there were.
    static qsizetype trustExtraCertificates(const QString &configured);
    // The words for a handshake that failed because no trusted issuer vouches for the
    // certificate; empty where it failed for another reason.
    static QString untrusted(const QList<QSslError> &errors);
    // Keeps those words on the reply (ReplyProblem) when its handshake fails so.
    static void watch(QNetworkReply *reply);
};

#include "common/tlstrust.h"

#include "common/replyproblem.h"
#include "common/updatelog.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkReply>
#include <QSslConfiguration>

namespace {

QList<QSslCertificate> certificatesAt(const QString &path)
{
    if (path.isEmpty())
        return {};
    const QFileInfo info(path);
    if (info.isDir())
        return QSslCertificate::fromPath(QDir(path).filePath(QStringLiteral("*")), QSsl::Pem,
                                         QSslCertificate::PatternSyntax::Wildcard);
    return QSslCertificate::fromPath(path, QSsl::Pem);
}

// Where Qt reads the system's own store from: SSL_CERT_FILE and SSL_CERT_DIR often name it
// for other tools, and reading it again would cost the start most of a second for nothing.
bool inSystemStore(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    for (const char *folder : { "/etc/ssl/certs", "/usr/lib/ssl/certs", "/etc/pki/tls/certs",
                                "/etc/pki/ca-trust/extracted", "/usr/share/ca-certificates" }) {
        const QString store = QString::fromLatin1(folder);
        if (canonical == store || canonical.startsWith(store + u'/'))
            return true;
    }
    return false;
}

bool issuerUntrusted(QSslError::SslError error)
{
    switch (error) {
    case QSslError::UnableToGetIssuerCertificate:
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
    case QSslError::SelfSignedCertificate:
    case QSslError::SelfSignedCertificateInChain:
    case QSslError::CertificateUntrusted:
        return true;
    default:
        return false;
    }
}

} // namespace

QList<QSslCertificate> TlsTrust::extraCertificates(const QString &configured)
{
    QStringList places = qEnvironmentVariable("SSL_CERT_DIR").split(u':', Qt::SkipEmptyParts);
    places.prepend(qEnvironmentVariable("SSL_CERT_FILE"));
    QList<QSslCertificate> found;
    for (const QString &place : std::as_const(places)) {
        if (!inSystemStore(place))
            found += certificatesAt(place);
    }
    found += certificatesAt(configured);
    return found;
}

qsizetype TlsTrust::trustExtraCertificates(const QString &configured)
{
    const QList<QSslCertificate> extra = extraCertificates(configured);
    if (extra.isEmpty())
        return 0;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    // A list of its own ends Qt's reading of the system's store as needed: the system's
    // certificates go on the list too, or the public storage would no longer be trusted.
    configuration.setCaCertificates(configuration.caCertificates()
                                    + QSslConfiguration::systemCaCertificates() + extra);
    QSslConfiguration::setDefaultConfiguration(configuration);
    qCInfo(lcUpdate) << "Trusting" << extra.size() << "more certificates";
    return extra.size();
}

QString TlsTrust::untrusted(const QList<QSslError> &errors)
{
    for (const QSslError &error : errors) {
        if (!issuerUntrusted(error.error()))
            continue;
        const QSslCertificate &certificate = error.certificate();
        QStringList issuer = certificate.issuerInfo(QSslCertificate::CommonName);
        if (issuer.isEmpty())
            issuer = certificate.issuerInfo(QSslCertificate::Organization);
        return tr("The build storage's certificate (issued by %1) is not trusted on this "
                  "computer")
            .arg(issuer.isEmpty() ? tr("an unnamed issuer") : issuer.join(QLatin1String(", ")));
    }
    return QString();
}

void TlsTrust::watch(QNetworkReply *reply)
{
    QObject::connect(reply, &QNetworkReply::sslErrors, reply,
                     [reply](const QList<QSslError> &errors) {
                         const QString words = untrusted(errors);
                         if (!words.isEmpty()) {
                             qCWarning(lcUpdate).noquote() << words;
                             ReplyProblem::set(reply, words);
                         }
                     });
}

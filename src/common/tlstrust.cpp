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
    QList<QSslCertificate> found = certificatesAt(qEnvironmentVariable("SSL_CERT_FILE"));
    for (const QString &folder :
         qEnvironmentVariable("SSL_CERT_DIR").split(u':', Qt::SkipEmptyParts))
        found += certificatesAt(folder);
    found += certificatesAt(configured);
    return found;
}

qsizetype TlsTrust::trustExtraCertificates(const QString &configured)
{
    const QList<QSslCertificate> extra = extraCertificates(configured);
    if (extra.isEmpty())
        return 0;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(extra);
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

#include "tray/meteredconnection.h"

#include "common/updatelog.h"
#include "tray/serviceproperty.h"

namespace {

// NetworkManager's NMMetered values that mean metered.
constexpr uint meteredYes = 1;
constexpr uint meteredGuessYes = 3;

} // namespace

MeteredConnection::MeteredConnection(QObject *parent)
    : MeteredConnection(QDBusConnection::systemBus(), parent)
{
}

MeteredConnection::MeteredConnection(const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
{
    m_answerLimit.setSingleShot(true);
    connect(&m_answerLimit, &QTimer::timeout, this, [this] {
        qCInfo(lcUpdate) << "NetworkManager did not say whether the connection is metered;"
                         << "taking it as unmetered";
        setKnown();
    });
    if (bus.isConnected())
        m_answerLimit.start(answerLimit);
    else
        m_known = true;
    const QString service = QStringLiteral("org.freedesktop.NetworkManager");
    // Absent or silent, it meters nothing: downloads go ahead as they would without it.
    auto *property
        = new ServiceProperty(bus, service, QStringLiteral("/org/freedesktop/NetworkManager"),
                              service, QStringLiteral("Metered"), this);
    connect(property, &ServiceProperty::valueRead, this, &MeteredConnection::setState);
}

void MeteredConnection::setState(const QVariant &state)
{
    const uint value = state.toUInt();
    const bool metered = value == meteredYes || value == meteredGuessYes;
    if (metered != m_metered) {
        m_metered = metered;
        emit meteredChanged(metered);
    }
    // Known once it is set, so that nothing starts in between.
    setKnown();
}

void MeteredConnection::setKnown()
{
    m_answerLimit.stop();
    if (m_known)
        return;
    m_known = true;
    emit knownChanged();
}

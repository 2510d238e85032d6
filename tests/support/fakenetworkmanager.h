#pragma once

#include <QDBusConnection>
#include <QObject>

// NetworkManager as far as the program asks it: owns org.freedesktop.NetworkManager on a bus
// and offers its Metered property (an NMMetered value), announcing changes as it does.
class FakeNetworkManager : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.NetworkManager")
    Q_PROPERTY(uint Metered MEMBER m_metered)

public:
    FakeNetworkManager(const QDBusConnection &bus, uint metered);
    ~FakeNetworkManager() override;

    void setMetered(uint metered);

private:
    QDBusConnection m_bus;
    uint m_metered;
};

#pragma once

#include <QDBusConnection>
#include <QObject>

// NetworkManager as far as the program asks it: owns org.freedesktop.NetworkManager on the
// bus it is given and offers the Metered property, announcing changes as NetworkManager does.
class FakeNetworkManager : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.NetworkManager")
    Q_PROPERTY(uint Metered READ metered)

public:
    // NetworkManager's NMMetered values.
    enum Metered : uint { Unknown = 0, Yes = 1, No = 2, GuessYes = 3, GuessNo = 4 };

    FakeNetworkManager(const QDBusConnection &bus, uint metered, QObject *parent = nullptr);
    ~FakeNetworkManager() override;

    bool registered() const { return m_registered; }
    uint metered() const { return m_metered; }
    void setMetered(uint metered);

private:
    QDBusConnection m_bus;
    uint m_metered;
    bool m_registered = false;
};

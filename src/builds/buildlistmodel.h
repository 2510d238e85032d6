#pragma once

#include "install/installroot.h"

#include <QAbstractListModel>
#include <QDateTime>
#include <QFutureWatcher>
#include <QHash>

// The installed builds as a list shows them, newest first: number, what the build said it is,
// when it was installed, its size on disk (counted on a pool thread, -1 until then), and
// whether it is current, pinned or in use by a running browser; with pinning and removing,
// which refuses the current build and one in use.
class BuildListModel : public QAbstractListModel
{
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    enum Role {
        NumberRole = Qt::UserRole + 1,
        VersionRole,
        InstalledRole,
        SizeRole,
        CurrentRole,
        PinnedRole,
        RunningRole,
    };
    Q_ENUM(Role)

    explicit BuildListModel(QObject *parent = nullptr);
    ~BuildListModel() override;

    // Test seam: another root, and where the processes are listed.
    void setRoot(const InstallRoot &root, const QString &procRoot);

    int count() const { return int(m_rows.size()); }
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    // Reads the root again; the sizes follow.
    Q_INVOKABLE void refresh();
    // Empty on success, else one line saying why not.
    Q_INVOKABLE QString setPinned(int build, bool pinned);
    Q_INVOKABLE QString remove(int build);

signals:
    void countChanged();
    // Every size of the last refresh is known.
    void sizesKnown();

private:
    struct Row
    {
        int number = -1;
        QString version;
        QDateTime installed;
        qint64 size = -1;
        bool current = false;
        bool pinned = false;
        bool running = false;
    };

    void sized();

    InstallRoot m_root;
    QString m_procRoot = QStringLiteral("/proc");
    QList<Row> m_rows;
    QFutureWatcher<QHash<int, qint64>> m_sizes;
};

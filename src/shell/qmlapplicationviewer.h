#pragma once

#include <QQuickView>

class QMoveEvent;

// The program's one window: a fixed-size tool window showing the main view. Closing it only
// hides it; the view asks for it again through its restore() signal.
class QmlApplicationViewer : public QQuickView
{
    Q_OBJECT

public:
    explicit QmlApplicationViewer(QWindow *parent = nullptr);
    ~QmlApplicationViewer() override;

    void loadMainFile(const QUrl &url);
    void showAtStartupPosition();

private slots:
    void restoreWindow();
    void moveEvent(QMoveEvent *event) override;
};

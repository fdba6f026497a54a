// The memory floor of the stack Voxendo's window is built with, for the latency benchmark's
// idle-memory row: a QApplication with a tray icon shows a small Qt Quick Controls (Fusion)
// window, closes it and frees its QML engine, as Voxendo does at every start. It then prints
// "ready" and waits to be measured and killed. It does nothing else: no network, TLS, audio,
// keyring, global shortcut or D-Bus service.
#include <QApplication>
#include <QIcon>
#include <QPixmap>
#include <QQmlEngine>
#include <QQuickStyle>
#include <QQuickView>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdio>
#include <malloc.h>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false); // like Voxendo: the tray keeps it running
    QQuickStyle::setStyle(QStringLiteral("Fusion"));
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software); // Voxendo's renderer too
    QPixmap dot(22, 22);
    dot.fill(Qt::darkMagenta);
    QSystemTrayIcon tray{QIcon(dot)};
    tray.show();

    auto *engine = new QQmlEngine;
    auto *view = new QQuickView(engine, nullptr);
    view->setResizeMode(QQuickView::SizeRootObjectToView);
    view->setSource(QUrl(QStringLiteral("qrc:/qtquickreference.qml")));
    view->show();

    QTimer::singleShot(1500, [&] {
        view->close();
        delete view;
        QObject::connect(engine, &QObject::destroyed, [] {
            malloc_trim(0);
            std::printf("ready\n");
            std::fflush(stdout);
        });
        engine->deleteLater();
    });
    return app.exec();
}

// Placeholder entry point: shows the TFTP panel alone until the main window
// lands; the main window's own main.cpp replaces this file.
#include <QApplication>

#include "qtftpwidget.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QtftpWidget w;
    w.show();
    return app.exec();
}

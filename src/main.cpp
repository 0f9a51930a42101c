#include "eventloop.h"
#include "form1.h"
#include "roomdefaults.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    TAVIXLibCtl::preferLeanEventLoop();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tavix"));
    QApplication::setApplicationVersion(TAVIXLibCtl::RoomDefaults::ProductVersion);

    Form1 window;
    window.show();
    return app.exec();
}

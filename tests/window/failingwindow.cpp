// A window whose component refuses a call, for tst_Form1Failure: it reports
// the message box and the calls made so far on stdout, then dismisses the box
// as a user would. The window is expected to end the process after that.
#include "form1.h"
#include "recordinggorvel.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

using namespace Qt::StringLiterals;

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QString scenario = app.arguments().value(1);
    auto *room = new RecordingGorvel;
    Form1 form(room, TAVIXLibCtl::RoomDefaults::Port);
    form.show();
    QTextStream out(stdout);

    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &form, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        poll.stop();
        out << "box: " << box->text() << '\n';
        out << "critical: " << (box->icon() == QMessageBox::Critical) << '\n';
        for (const QString &call : *room->calls)
            out << "call: " << call << '\n';
        out << "log: " << form.chat->toPlainText().replace(u'\n', u'/') << '\n';
        out << "entry: " << form.TalkStr->text() << '\n';
        out.flush();
        box->accept();
    });
    poll.start(10);
    // Never hang the test that runs us.
    QTimer::singleShot(20'000, [] { std::_Exit(3); });

    if (scenario == u"open") {
        room->failOn = u"SetData"_s;
        form.StartServer->click();
    } else if (scenario == u"nested") {
        room->setMember(0, u"A"_s, u"1"_s);
        room->echoSetDataAs(0);
        room->failOn = u"GetMemberData"_s;
        form.TalkStr->setText(u"hi"_s);
        form.Talk->click();
    } else if (scenario == u"event") {
        room->failOn = u"GetMemberData"_s;
        QTimer::singleShot(0, room, [room] { room->raiseDataChanged(4, u"cnt"_s, u"1"_s); });
    } else {
        return 2;
    }
    out << "handler returned\n";
    out.flush();
    return app.exec();
}

#include "ui/Application.h"

#include "devices/Environment.h"
#include "engine/Sequencer.h"
#include "model/Model.h"
#include "ui/Guard.h"
#include "ui/Platform.h"
#include "ui/TForm1.h"
#include "ui/TForm2.h"

#include <QApplication>
#include <QString>

#include <memory>

int runTambrook(int argc, char* argv[]) {
    // The command line is not used: the application object gets the program name only.
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication application(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("Tambrook"));
    DesktopPlatform platform;
    runGuarded(platform, nullptr, [&] {
        // A refused configuration is said once; the window goes on with the boards it finds
        // without one.
        const devices::ConfiguredRegistry boards = devices::makeConfiguredRegistry();
        model::Model model(*boards.registry, platform);
        engine::Sequencer sequencer(model);
        TForm1 form1(model, sequencer, platform);
        TForm2 form2(platform);
        form1.setLabelDialog(&form2);
        // Closing the main window ends the program even while the label dialog is open.
        QApplication::setQuitOnLastWindowClosed(false);
        QObject::connect(&form1, &TForm1::closed, &application, &QApplication::quit);
        form1.show();
        if (boards.refused)
            platform.showError(&form1, QString::fromStdString(boards.refused->message));
        QApplication::exec();
    });
    return 0;
}

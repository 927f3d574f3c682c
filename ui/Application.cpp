#include "ui/Application.h"

#include "devices/Environment.h"
#include "engine/Sequencer.h"
#include "model/Model.h"
#include "ui/Guard.h"
#include "ui/Platform.h"
#include "ui/TForm1.h"
#include "ui/TForm2.h"

#include <QApplication>

#include <memory>

int runTambrook(int argc, char* argv[]) {
    // The command line is not used: the application object gets the program name only.
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication application(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("Tambrook"));
    DesktopPlatform platform;
    runGuarded(platform, nullptr, [&] {
        const std::unique_ptr<devices::Registry> boards = devices::makeRegistryFromEnvironment();
        model::Model model(*boards, platform);
        engine::Sequencer sequencer(model);
        TForm1 form1(model, sequencer, platform);
        TForm2 form2(platform);
        form1.setLabelDialog(&form2);
        // Closing the main window ends the program even while the label dialog is open.
        QApplication::setQuitOnLastWindowClosed(false);
        QObject::connect(&form1, &TForm1::closed, &application, &QApplication::quit);
        form1.show();
        QApplication::exec();
    });
    return 0;
}

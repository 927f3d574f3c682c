// Writes a PNG of each page of the main window, rendered offscreen on one simulated board, so
// the layout can be checked by eye: tambrook_screenshot OUTPUT_DIR
#include "engine/Sequencer.h"
#include "model/Model.h"
#include "support/Boards.h"
#include "ui/Platform.h"
#include "ui/TForm1.h"
#include "ui/TForm2.h"

#include <QApplication>
#include <QDir>
#include <QTabWidget>
#include <QTemporaryDir>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    const QString out =
        QDir(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".")).absolutePath();
    QTemporaryDir work;
    QDir::setCurrent(work.path());
    DesktopPlatform platform;
    SimulatedBoards boards(1);
    boards.boards().setRelays(0, 0x25);
    model::Model model(boards.registry(), platform);
    engine::Sequencer sequencer(model);
    TForm1 form(model, sequencer, platform);
    form.show();
    form.Button33Click();
    auto* notebook = form.findChild<QTabWidget*>(QStringLiteral("TabbedNotebook1"));
    const char* names[] = {"options", "manual", "timer"};
    for (int page = 0; page < 3; ++page) {
        notebook->setCurrentIndex(page);
        QApplication::processEvents();
        form.grab().save(QDir(out).filePath(QStringLiteral("screenshot-%1.png").arg(names[page])));
    }
    return 0;
}

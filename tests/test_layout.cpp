// The windows as a user sees them, with the font the program ships with: every control shows its
// text whole, no control covers another unless one is meant to lie under the other, group box
// frames stay clear of the controls placed over them, and the windows carry the program's icon.
// Checked on the real widgets of every page, without restating the form's coordinates.
#include "support/WindowRig.h"

#include "ui_TForm1.h"
#include "ui_TForm2.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <QTabBar>
#include <QTabWidget>
#include <QtTest>

namespace {

QString describe(const QWidget& w) {
    return w.objectName().isEmpty() ? QString::fromLatin1(w.metaObject()->className())
                                    : w.objectName();
}

// The width a control offers its own text, as its style lays it out.
int textRoom(const QWidget& widget) {
    if (const auto* check = qobject_cast<const QCheckBox*>(&widget)) {
        QStyleOptionButton option;
        option.initFrom(check);
        option.text = check->text();
        return check->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, check).width();
    }
    if (const auto* button = qobject_cast<const QAbstractButton*>(&widget)) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        return button->style()
            ->subElementRect(QStyle::SE_PushButtonContents, &option, button)
            .width();
    }
    return widget.contentsRect().width();
}

QString shownText(const QWidget& widget) {
    if (const auto* button = qobject_cast<const QAbstractButton*>(&widget))
        return button->text().remove(QLatin1Char('&'));
    if (const auto* label = qobject_cast<const QLabel*>(&widget))
        return label->text();
    return {};
}

// An empty label draws nothing, so it may lie anywhere.
bool drawsNothing(const QWidget& widget) {
    const auto* label = qobject_cast<const QLabel*>(&widget);
    return label && label->text().isEmpty() && !label->autoFillBackground();
}

// The inside of a group box's frame lines, where the controls placed over it belong.
QRect groupInside(const QGroupBox& box) {
    QStyleOptionGroupBox option;
    option.initFrom(&box);
    option.text = box.title();
    option.lineWidth = 1;
    option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    return box.style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxContents,
                                       &box);
}

QRect groupTitle(const QGroupBox& box) {
    QStyleOptionGroupBox option;
    option.initFrom(&box);
    option.text = box.title();
    option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    return box.style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel,
                                       &box);
}

// Each text-bearing control that is visible shows its text within its own width.
void verifyNoClippedText(const QWidget& window, QStringList& problems) {
    for (const QWidget* widget : window.findChildren<QWidget*>()) {
        if (!widget->isVisibleTo(&window))
            continue;
        const QString text = shownText(*widget);
        if (text.isEmpty())
            continue;
        const int needed = widget->fontMetrics().horizontalAdvance(text);
        if (needed > textRoom(*widget))
            problems << QStringLiteral("%1: \"%2\" needs %3 px, has %4")
                            .arg(describe(*widget), text)
                            .arg(needed)
                            .arg(textRoom(*widget));
    }
    for (const QGroupBox* box : window.findChildren<QGroupBox*>()) {
        const int needed = box->fontMetrics().horizontalAdvance(box->title());
        if (box->isVisibleTo(&window) && needed > groupTitle(*box).width())
            problems << QStringLiteral("%1: title needs %2 px, has %3")
                            .arg(describe(*box))
                            .arg(needed)
                            .arg(groupTitle(*box).width());
    }
}

// Whether two siblings may overlap: the one is meant to lie under the other.
using Allowance = std::function<bool(const QWidget& a, const QWidget& b)>;

void verifyNoOverlaps(const QWidget& window, const Allowance& allowed, QStringList& problems) {
    QList<const QWidget*> parents{&window};
    for (const QWidget* w : window.findChildren<QWidget*>())
        parents << w;
    for (const QWidget* parent : parents) {
        QList<const QWidget*> children;
        for (QObject* child : parent->children()) {
            const auto* widget = qobject_cast<const QWidget*>(child);
            if (widget && !widget->isWindow() && widget->isVisibleTo(&window) &&
                !drawsNothing(*widget))
                children << widget;
        }
        for (int i = 0; i < children.size(); ++i) {
            for (int j = i + 1; j < children.size(); ++j) {
                const QWidget& a = *children[i];
                const QWidget& b = *children[j];
                const QRect shared = a.geometry().intersected(b.geometry());
                // Controls whose edges share one line of pixels touch rather than overlap.
                if (shared.isEmpty() || shared.width() <= 1 || shared.height() <= 1 ||
                    allowed(a, b) || allowed(b, a))
                    continue;
                // A control placed over a group box lies inside its frame, clear of its lines and
                // of its title.
                const auto* box = qobject_cast<const QGroupBox*>(&a);
                const QWidget* over = &b;
                if (!box) {
                    box = qobject_cast<const QGroupBox*>(&b);
                    over = &a;
                }
                if (box) {
                    const QRect inside = groupInside(*box).translated(box->pos());
                    const QRect title = groupTitle(*box).translated(box->pos());
                    if (inside.contains(over->geometry()) && !title.intersects(over->geometry()))
                        continue;
                    problems << QStringLiteral("%1 runs into the frame of %2")
                                    .arg(describe(*over), describe(*box));
                    continue;
                }
                problems << QStringLiteral("%1 and %2 overlap").arg(describe(a), describe(b));
            }
        }
    }
}

// Whether a control cannot be seen at all: the window looks the same with it hidden.
bool coveredEntirely(QWidget& widget) {
    QWidget& parent = *widget.parentWidget();
    const QImage shown = parent.grab(widget.geometry()).toImage();
    widget.hide();
    const QImage hidden = parent.grab(widget.geometry()).toImage();
    widget.show();
    return shown == hidden;
}

} // namespace

class LayoutTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void everyPageShowsEveryControlWhole();
    void tabsFitBesideTheStatusPanel();
    void theSettingWindowShowsItsLabelsWhole();
    void bothWindowsCarryTheIcon();
    void theProgramListScrollsSideways();
};

void LayoutTest::initTestCase() {
    QVERIFY2(QFontDatabase::families().contains(QStringLiteral("Liberation Sans")),
             "the layout is measured with Liberation Sans (fonts-liberation2)");
}

void LayoutTest::everyPageShowsEveryControlWhole() {
    Rig rig(1);
    rig.openBoard(0xA5);
    rig.form1->show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.form1.get()));
    auto& ui = rig.form1->controls();
    // The status panel lies over the tab row's empty part (the tabs are checked below); the
    // step buttons move over the graph area; Label10 lies under GroupBox4, which hides it.
    const Allowance allowed = [&](const QWidget& a, const QWidget& b) {
        return (&a == ui.Panel27 && &b == ui.TabbedNotebook1) ||
               (&a == ui.PerformanceGraph1 && qobject_cast<const TButton*>(&b)) ||
               (&a == ui.Label10 && ui.GroupBox4->geometry().contains(a.geometry()));
    };
    ui.TabbedNotebook1->setCurrentWidget(ui.TimerPage);
    QVERIFY2(coveredEntirely(*ui.Label10), "Label10 shows through GroupBox4");
    for (int page = 0; page < ui.TabbedNotebook1->count(); ++page) {
        ui.TabbedNotebook1->setCurrentIndex(page);
        QCoreApplication::processEvents();
        QStringList problems;
        verifyNoClippedText(*rig.form1, problems);
        verifyNoOverlaps(*rig.form1, allowed, problems);
        QVERIFY2(problems.isEmpty(), qPrintable(ui.TabbedNotebook1->tabText(page) + ": " +
                                                problems.join(QStringLiteral("; "))));
    }
    // Whatever the page, a page's client area starts 4, 24 inside the notebook.
    const QPoint origin = ui.TimerPage->mapTo(ui.TabbedNotebook1, QPoint(0, 0));
    QCOMPARE(origin, QPoint(4, 24));
}

void LayoutTest::tabsFitBesideTheStatusPanel() {
    Rig rig;
    rig.form1->show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.form1.get()));
    auto& ui = rig.form1->controls();
    QTabBar* tabs = ui.TabbedNotebook1->tabBar();
    for (int tab = 0; tab < tabs->count(); ++tab) {
        const QRect shown(tabs->mapTo(rig.form1.get(), tabs->tabRect(tab).topLeft()),
                          tabs->tabRect(tab).size());
        QVERIFY2(!shown.intersects(ui.Panel27->geometry()),
                 qPrintable(tabs->tabText(tab) + QStringLiteral(" lies under the status panel")));
        // The text and the style's padding on both sides.
        const int needed = tabs->fontMetrics().horizontalAdvance(tabs->tabText(tab)) +
                           tabs->style()->pixelMetric(QStyle::PM_TabBarTabHSpace, nullptr, tabs);
        QVERIFY2(needed <= tabs->tabRect(tab).width(), qPrintable(tabs->tabText(tab)));
    }
}

void LayoutTest::theSettingWindowShowsItsLabelsWhole() {
    Rig rig;
    rig.form1->ButtonMouseDown(1, Qt::RightButton);
    QVERIFY(QTest::qWaitForWindowExposed(rig.form2.get()));
    QStringList problems;
    verifyNoClippedText(*rig.form2, problems);
    verifyNoOverlaps(
        *rig.form2, [](const QWidget&, const QWidget&) { return false; }, problems);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QStringLiteral("; "))));
}

void LayoutTest::bothWindowsCarryTheIcon() {
    Rig rig;
    for (const QWidget* window :
         {static_cast<QWidget*>(rig.form1.get()), static_cast<QWidget*>(rig.form2.get())}) {
        const QIcon icon = window->windowIcon();
        QVERIFY(!icon.isNull());
        const QImage image = icon.pixmap(32, 32).toImage();
        QVERIFY(!image.isNull());
        // The board green of the icon fills its left edge, where a missing icon is empty.
        QVERIFY(image.pixelColor(5, 12).green() > image.pixelColor(5, 12).red());
    }
}

// The program list's one column is wider than the list, so it scrolls sideways.
void LayoutTest::theProgramListScrollsSideways() {
    Rig rig;
    rig.form1->show();
    auto& ui = rig.form1->controls();
    ui.TabbedNotebook1->setCurrentWidget(ui.TimerPage);
    QVERIFY(QTest::qWaitForWindowExposed(rig.form1.get()));
    QCoreApplication::processEvents();
    StringGrid& grid = rig.grid();
    QVERIFY(grid.defaultColWidth() > grid.viewport()->width());
    QCOMPARE(grid.horizontalScrollBar()->maximum(),
             grid.defaultColWidth() - grid.viewport()->width());
}

QTEST_MAIN(LayoutTest)
#include "test_layout.moc"

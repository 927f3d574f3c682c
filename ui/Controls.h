#pragma once

// The control kinds the two windows are built from. Each one keeps the state the program reads
// back from it (a caption, a colour, a position, the rows of a grid) in a form code can compare
// exactly, and raises the events the handlers are wired to.

#include "ui/Colors.h"

#include <QAbstractScrollArea>
#include <QComboBox>
#include <QFrame>
#include <QIcon>
#include <QLineEdit>
#include <QPointer>
#include <QProxyStyle>
#include <QPushButton>
#include <QWidget>

#include <functional>

#include <string>
#include <string_view>
#include <vector>

class QLabel;
class QTabWidget;
class QToolButton;

// A push button whose caption is exactly the text code gave it. Qt would read '&' as a mnemonic
// marker, so the caption is escaped for display only. Any mouse press is reported before the
// click, and the keyboard's context-menu request counts as a right press.
class TButton : public QPushButton {
    Q_OBJECT
public:
    explicit TButton(QWidget* parent = nullptr);

    QString caption() const;
    void setCaption(const QString& caption);
    int top() const { return y(); }
    void setTop(int top) { move(x(), top); }

signals:
    void mouseDown(Qt::MouseButton button);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
};

// Sizes a text label to its text, keeping its place; a label is never made narrower.
void fitLabelToText(QLabel& label);

// The program's own icon, for both windows.
QIcon programIcon();

// The look the form expects where the platform style differs: compact notebook tabs, so that
// the three of them fit left of the status panel that lies over the tab row, with each page's
// client area 4, 24 inside the notebook; and group box frames drawn through the middle of their
// titles, so that the controls placed over a box clear its top line.
class FormStyle : public QProxyStyle {
    Q_OBJECT
public:
    // Gives the notebook, its tab bar and every group box of the window this look; the style
    // belongs to the window.
    static void apply(QWidget& window, QTabWidget& notebook);

    int pixelMetric(PixelMetric metric, const QStyleOption* option,
                    const QWidget* widget) const override;
    QRect subElementRect(SubElement element, const QStyleOption* option,
                         const QWidget* widget) const override;
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl part,
                         const QWidget* widget) const override;
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                            QPainter* painter, const QWidget* widget) const override;
};

// A one-line edit for a label. The user can enter only characters labels.dat can hold (one byte
// each, Latin-1, not NUL), and typing or pasting, over a selection too, never leaves more than
// the typed limit, a paste being cut to fit. Code may still put in a longer text, and the user
// may then shorten it by deleting.
class TLabelEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit TLabelEdit(QWidget* parent = nullptr);
    void setTypedLimit(int limit);
    void setText(const QString& text);
    bool settingFromCode() const { return fromCode_; }

private:
    bool fromCode_ = false;
};

// A flat coloured panel with an optional centred caption: the relay lamps and the status panel.
class TPanel : public QFrame {
    Q_OBJECT
    Q_PROPERTY(QString text READ text WRITE setText)
public:
    explicit TPanel(QWidget* parent = nullptr);

    TColor color() const { return color_; }
    void setColor(TColor color);
    QString text() const { return text_; }
    void setText(const QString& text);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    TColor color_ = clBtnFace;
    QString text_;
};

// An editable combo box that announces each drop-down before its list is shown, so the list can
// be rebuilt first.
class TComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit TComboBox(QWidget* parent = nullptr);
    void showPopup() override;

signals:
    void dropDown();
};

// The plain gradient backdrop the step buttons move over. Nothing is plotted on it.
class PerformanceGraph : public QFrame {
    Q_OBJECT
    Q_PROPERTY(int gradient READ gradient WRITE setGradient)
public:
    explicit PerformanceGraph(QWidget* parent = nullptr);
    int gradient() const { return gradient_; }
    void setGradient(int gradient);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int gradient_ = 100;
};

// Spin arrows beside the delay edit. They show the position they are given and report each
// arrow click as a step of one, up or down; the program decides what the position becomes.
class UpDown : public QWidget {
    Q_OBJECT
    Q_PROPERTY(int minimum READ minimum WRITE setMinimum)
    Q_PROPERTY(int maximum READ maximum WRITE setMaximum)
    Q_PROPERTY(int position READ position WRITE setPosition)
public:
    explicit UpDown(QWidget* parent = nullptr);

    int minimum() const { return minimum_; }
    void setMinimum(int minimum) { minimum_ = minimum; }
    int maximum() const { return maximum_; }
    void setMaximum(int maximum) { maximum_ = maximum; }
    int position() const { return position_; }
    void setPosition(int position) { position_ = position; }

signals:
    void stepped(int delta); // +1 for the up arrow, -1 for the down arrow

private:
    QToolButton* up_ = nullptr;
    QToolButton* down_ = nullptr;
    int minimum_ = 0;
    int maximum_ = 100;
    int position_ = 0;
};

// A one-column text grid that the user can look at and select in, but not edit. It shows rows it
// does not keep: it is told how many there are and which is current, and asks for the texts of the
// rows in sight when it draws them, so a program of millions of rows costs it nothing. A left
// click on a row is reported (also on the current row), as is a keyboard move to another row.
class StringGrid : public QAbstractScrollArea {
    Q_OBJECT
    Q_PROPERTY(int defaultRowHeight READ defaultRowHeight WRITE setDefaultRowHeight)
    Q_PROPERTY(int defaultColWidth READ defaultColWidth WRITE setDefaultColWidth)
public:
    // The text of a row, as bytes (one character each).
    using RowSource = std::function<std::string(int row)>;

    explicit StringGrid(QWidget* parent = nullptr);

    void setRowSource(RowSource source);
    // Shows this many rows with this one current, raising no event; redraws when the texts may
    // have changed.
    void showRows(int count, int current, bool textsChanged);

    int rowCount() const { return rowCount_; }
    int row() const { return row_; }
    std::string text(int row) const;
    QString cell(int row) const;

    int defaultRowHeight() const { return rowHeight_; }
    void setDefaultRowHeight(int height);
    int defaultColWidth() const { return columnWidth_; }
    void setDefaultColWidth(int width);
    // Where a row is drawn, in the viewport's coordinates.
    QRect rowRect(int row) const;
    int rowAt(QPoint viewportPoint) const;

signals:
    void rowClicked(int row);
    void rowChosen(int row); // by the keyboard

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void updateScrollBars();
    void showCurrentRow();
    void moveTo(int row);

    RowSource source_;
    int rowCount_ = 1;
    int row_ = 0;
    int rowHeight_ = 17;
    int columnWidth_ = 64;
};

#pragma once

// The control kinds the two windows are built from. Each one keeps the state the program reads
// back from it (a caption, a colour, a position, the rows of a grid) in a form code can compare
// exactly, and raises the events the handlers are wired to.

#include "app/Colors.h"
#include "timer/ProgramRows.h"

#include <QAbstractScrollArea>
#include <QComboBox>
#include <QFrame>
#include <QIcon>
#include <QLineEdit>
#include <QPointer>
#include <QProxyStyle>
#include <QPushButton>
#include <QWidget>

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
// each, Latin-1, not NUL), and typing or pasting stops at the typed limit, a paste being cut to
// fit. Code may still put in a longer text, and the user may then shorten it.
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

// Spin arrows bound to a line edit. The position always follows the edit's text when that text
// is a number (so "05" means 5 while the text stays "05"), keeps its last value when the text is
// not a number, and every change of the position rewrites the text in plain decimal.
class UpDown : public QWidget {
    Q_OBJECT
    Q_PROPERTY(int minimum READ minimum WRITE setMinimum)
    Q_PROPERTY(int maximum READ maximum WRITE setMaximum)
    Q_PROPERTY(int position READ position WRITE setPosition)
public:
    explicit UpDown(QWidget* parent = nullptr);

    void setAssociate(QLineEdit* edit);
    int minimum() const { return minimum_; }
    void setMinimum(int minimum) { minimum_ = minimum; }
    int maximum() const { return maximum_; }
    void setMaximum(int maximum) { maximum_ = maximum; }
    int position() const { return position_; }
    void setPosition(int position);
    void stepBy(int delta);

signals:
    void clicked(); // an arrow was clicked, after the position moved

private:
    void readPositionFromText(const QString& text);
    int clamp(int value) const;

    QPointer<QLineEdit> associate_;
    QToolButton* up_ = nullptr;
    QToolButton* down_ = nullptr;
    int minimum_ = 0;
    int maximum_ = 100;
    int position_ = 0;
};

// A one-column text grid that the user can look at and select in, but not edit. It never has
// fewer than one row. selected() is its click event: it fires when the user clicks any row with
// the left button and whenever a different row becomes current (by the program or the
// keyboard), and never when the current row is set again or when a shrink moves the current row.
// Its rows are packed (ProgramRows) and it draws only the rows in sight, keeping nothing per row,
// so a program of millions of rows stays small.
class StringGrid : public QAbstractScrollArea {
    Q_OBJECT
    Q_PROPERTY(int defaultRowHeight READ defaultRowHeight WRITE setDefaultRowHeight)
    Q_PROPERTY(int defaultColWidth READ defaultColWidth WRITE setDefaultColWidth)
public:
    explicit StringGrid(QWidget* parent = nullptr);

    int rowCount() const { return static_cast<int>(rows_.size()); }
    void setRowCount(int count);
    // A row's text as bytes (valid until the rows change), and as the characters shown (one per
    // byte).
    std::string_view text(int row) const { return rows_.at(static_cast<std::size_t>(row)); }
    // A row never holds a line end: only the text before the first CR or LF is kept.
    void setText(int row, std::string_view text);
    QString cell(int row) const;
    void setCell(int row, const QString& text);
    int row() const { return row_; }
    void setRow(int row);
    // Replaces every row at once with row 0 current, raising no event.
    void replaceRows(ProgramRows rows);
    void replaceRows(const std::vector<std::string>& rows);

    int defaultRowHeight() const { return rowHeight_; }
    void setDefaultRowHeight(int height);
    int defaultColWidth() const { return columnWidth_; }
    void setDefaultColWidth(int width);
    // Where a row is drawn, in the viewport's coordinates.
    QRect rowRect(int row) const;
    int rowAt(QPoint viewportPoint) const;

signals:
    void selected();

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
    void moveTo(int row); // a user's move: fires when the row changes

    ProgramRows rows_;
    int row_ = 0;
    int rowHeight_ = 17;
    int columnWidth_ = 64;
};

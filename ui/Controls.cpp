#include "ui/Controls.h"

#include "model/Latin1.h"

#include <QValidator>

#include <QContextMenuEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionGroupBox>
#include <QStyleOptionTab>
#include <QTabBar>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

// ---- TButton ---------------------------------------------------------------------------------

TButton::TButton(QWidget* parent)
    : QPushButton(parent) {}

QString TButton::caption() const {
    QString shown = text();
    return shown.replace(QStringLiteral("&&"), QStringLiteral("&"));
}

void TButton::setCaption(const QString& caption) {
    QString shown = caption;
    setText(shown.replace(QLatin1Char('&'), QStringLiteral("&&")));
}

void TButton::mousePressEvent(QMouseEvent* event) {
    emit mouseDown(event->button());
    QPushButton::mousePressEvent(event);
}

void TButton::contextMenuEvent(QContextMenuEvent* event) {
    // A mouse right press has been reported by mousePressEvent already.
    if (event->reason() != QContextMenuEvent::Mouse)
        emit mouseDown(Qt::RightButton);
    event->accept();
}

// ---- TPanel ----------------------------------------------------------------------------------

TPanel::TPanel(QWidget* parent)
    : QFrame(parent) {
    setFrameStyle(QFrame::Panel | QFrame::Raised);
    setLineWidth(1);
}

void TPanel::setColor(TColor color) {
    if (color_ == color)
        return;
    color_ = color;
    update();
}

void TPanel::setText(const QString& text) {
    if (text_ == text)
        return;
    text_ = text;
    update();
}

void TPanel::paintEvent(QPaintEvent* event) {
    {
        QPainter painter(this);
        const QColor fill = color_ == clBtnFace ? palette().color(QPalette::Button)
                                                : QColor(static_cast<int>(color_ & 0xFF),
                                                         static_cast<int>((color_ >> 8) & 0xFF),
                                                         static_cast<int>((color_ >> 16) & 0xFF));
        painter.fillRect(rect(), fill);
        if (!text_.isEmpty()) {
            painter.setPen(palette().color(QPalette::WindowText));
            painter.drawText(rect(), Qt::AlignCenter, text_);
        }
    }
    QFrame::paintEvent(event);
}

// ---- TComboBox -------------------------------------------------------------------------------

TComboBox::TComboBox(QWidget* parent)
    : QComboBox(parent) {}

void TComboBox::showPopup() {
    emit dropDown();
    QComboBox::showPopup();
}

// ---- PerformanceGraph ------------------------------------------------------------------------

PerformanceGraph::PerformanceGraph(QWidget* parent)
    : QFrame(parent) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
}

void PerformanceGraph::setGradient(int gradient) {
    gradient_ = std::clamp(gradient, 0, 100);
    update();
}

void PerformanceGraph::paintEvent(QPaintEvent* event) {
    {
        QPainter painter(this);
        QLinearGradient shade(rect().topLeft(), rect().bottomLeft());
        const int depth = 255 * gradient_ / 100;
        shade.setColorAt(0, QColor(0, depth / 2, 0));
        shade.setColorAt(1, Qt::black);
        painter.fillRect(rect(), shade);
    }
    QFrame::paintEvent(event);
}

// ---- UpDown ----------------------------------------------------------------------------------

UpDown::UpDown(QWidget* parent)
    : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    up_ = new QToolButton(this);
    down_ = new QToolButton(this);
    for (QToolButton* arrow : {up_, down_}) {
        arrow->setAutoRepeat(true);
        arrow->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        arrow->setFocusPolicy(Qt::NoFocus);
        layout->addWidget(arrow);
    }
    up_->setArrowType(Qt::UpArrow);
    down_->setArrowType(Qt::DownArrow);
    up_->setObjectName(QStringLiteral("up"));
    down_->setObjectName(QStringLiteral("down"));
    connect(up_, &QToolButton::clicked, this, [this] { emit stepped(+1); });
    connect(down_, &QToolButton::clicked, this, [this] { emit stepped(-1); });
}

// ---- labels, icon and notebook --------------------------------------------------------------

void fitLabelToText(QLabel& label) {
    if (!label.text().isEmpty())
        label.resize(std::max(label.width(), label.sizeHint().width()), label.height());
}

// The packaged SVG, rendered when building (IconPixels.inc).
namespace {
// At namespace scope, so that the pixels live as long as the program: QImage wraps them without
// copying, and the icon keeps that image.
#include "IconPixels.inc"
} // namespace

QIcon programIcon() {
    const QImage image(reinterpret_cast<const uchar*>(kIconPixels), kIconSize, kIconSize,
                       QImage::Format_ARGB32_Premultiplied);
    return QIcon(QPixmap::fromImage(image));
}

namespace {
constexpr int kTabPadding = 6;       // each side of a tab's text
constexpr int kTabRowHeight = 22;    // the tabs, overlapping the pane's top line
constexpr int kPaneTop = 20;         // where the pane's frame starts
constexpr QPoint kPageOrigin{4, 24}; // a page's client area inside the notebook
constexpr int kGroupTitleIndent = 6;
constexpr int kGroupTitlePadding = 2;
} // namespace

void FormStyle::apply(QWidget& window, QTabWidget& notebook) {
    auto* style = new FormStyle;
    style->setParent(&window);
    notebook.setStyle(style);
    notebook.tabBar()->setStyle(style);
    for (QGroupBox* box : window.findChildren<QGroupBox*>())
        box->setStyle(style);
}

// The tab's padding is the style's own measure, so the tab's size and the place its text is
// drawn at agree.
int FormStyle::pixelMetric(PixelMetric metric, const QStyleOption* option,
                           const QWidget* widget) const {
    switch (metric) {
    case PM_TabBarTabHSpace:
        return 2 * kTabPadding;
    case PM_TabBarTabVSpace:
        return kTabRowHeight - (option ? option->fontMetrics.height() : 13);
    default:
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
}

QRect FormStyle::subElementRect(SubElement element, const QStyleOption* option,
                                const QWidget* widget) const {
    const QRect whole = option->rect;
    switch (element) {
    case SE_TabWidgetTabBar: {
        const QRect bar = QProxyStyle::subElementRect(element, option, widget);
        return {whole.left() + 2, whole.top(), bar.width(), kTabRowHeight};
    }
    case SE_TabWidgetTabPane:
        return whole.adjusted(0, kPaneTop, 0, 0);
    case SE_TabWidgetTabContents:
        return whole.adjusted(kPageOrigin.x(), kPageOrigin.y(), -kPageOrigin.x(), -kPageOrigin.x());
    default:
        return QProxyStyle::subElementRect(element, option, widget);
    }
}

// A group box: its title at the top left, the frame's top line through the title's middle, and
// the contents inside the frame lines.
QRect FormStyle::subControlRect(ComplexControl control, const QStyleOptionComplex* option,
                                SubControl part, const QWidget* widget) const {
    const auto* box = qstyleoption_cast<const QStyleOptionGroupBox*>(option);
    if (control != CC_GroupBox || !box)
        return QProxyStyle::subControlRect(control, option, part, widget);
    const QFontMetrics& metrics = option->fontMetrics;
    const QRect frame = option->rect.adjusted(0, metrics.height() / 2, 0, 0);
    switch (part) {
    case SC_GroupBoxFrame:
        return frame;
    case SC_GroupBoxLabel:
        return {option->rect.left() + kGroupTitleIndent, option->rect.top(),
                metrics.horizontalAdvance(box->text) + 2 * kGroupTitlePadding, metrics.height()};
    case SC_GroupBoxContents:
        return frame.adjusted(1, 1, -1, -1);
    default:
        return QProxyStyle::subControlRect(control, option, part, widget);
    }
}

void FormStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                                   QPainter* painter, const QWidget* widget) const {
    const auto* box = qstyleoption_cast<const QStyleOptionGroupBox*>(option);
    if (control != CC_GroupBox || !box) {
        QProxyStyle::drawComplexControl(control, option, painter, widget);
        return;
    }
    painter->save();
    const QRect frame = subControlRect(control, option, SC_GroupBoxFrame, widget);
    painter->setPen(option->palette.color(QPalette::Mid));
    painter->drawRect(frame.adjusted(0, 0, -1, -1));
    const QRect title = subControlRect(control, option, SC_GroupBoxLabel, widget);
    painter->fillRect(title, option->palette.window());
    painter->setPen(option->palette.color(QPalette::WindowText));
    painter->drawText(title, Qt::AlignCenter | Qt::TextShowMnemonic, box->text);
    painter->restore();
}

// ---- TLabelEdit ------------------------------------------------------------------------------

namespace {

// Typing and pasting never leave more than the limit: what was just put in ends at the cursor,
// and its excess is cut from its end; an edit that only deletes is always taken, so a longer text
// that code put in can be shortened.
class LabelTextLimit final : public QValidator {
public:
    LabelTextLimit(TLabelEdit* edit, int limit)
        : QValidator(edit)
        , edit_(edit)
        , limit_(limit)
        , accepted_(edit->text()) {
        connect(edit, &QLineEdit::textChanged, this,
                [this](const QString& text) { accepted_ = text; });
    }

    State validate(QString& input, int& cursor) const override {
        if (edit_->settingFromCode())
            return Acceptable;
        for (qsizetype i = input.size() - 1; i >= 0; --i) {
            const char16_t code = input.at(i).unicode();
            if (code != 0 && code <= 0xFF)
                continue;
            input.remove(i, 1);
            if (i < cursor)
                --cursor;
        }
        const qsizetype inserted = insertedBeforeCursor(input, cursor);
        if (inserted == 0 || input.size() <= limit_)
            return Acceptable;
        const qsizetype excess = input.size() - limit_;
        if (excess >= inserted)
            return Invalid; // nothing typed fits: the text stays as it was
        input.remove(cursor - excess, excess);
        cursor -= static_cast<int>(excess);
        return Acceptable;
    }

private:
    // How many characters before the cursor are new: the text after the cursor is what followed
    // the change, and what comes before the new characters is the accepted text's beginning.
    qsizetype insertedBeforeCursor(const QString& input, int cursor) const {
        const qsizetype after = input.size() - cursor;
        if (after > accepted_.size() || input.right(after) != accepted_.right(after))
            return std::max<qsizetype>(input.size() - accepted_.size(), 0);
        const qsizetype room = std::min<qsizetype>(cursor, accepted_.size() - after);
        qsizetype kept = 0;
        while (kept < room && input.at(kept) == accepted_.at(kept))
            ++kept;
        return cursor - kept;
    }

    TLabelEdit* edit_;
    int limit_;
    QString accepted_;
};

} // namespace

TLabelEdit::TLabelEdit(QWidget* parent)
    : QLineEdit(parent) {}

void TLabelEdit::setTypedLimit(int limit) {
    setValidator(new LabelTextLimit(this, limit));
}

void TLabelEdit::setText(const QString& text) {
    fromCode_ = true;
    QLineEdit::setText(text);
    fromCode_ = false;
}

// ---- StringGrid ------------------------------------------------------------------------------

StringGrid::StringGrid(QWidget* parent)
    : QAbstractScrollArea(parent) {
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setFocusProxy(this);
    viewport()->setAutoFillBackground(true);
    viewport()->setBackgroundRole(QPalette::Base);
    horizontalScrollBar()->setSingleStep(8);
    updateScrollBars();
}

void StringGrid::setRowSource(RowSource source) {
    source_ = std::move(source);
    viewport()->update();
}

void StringGrid::showRows(int count, int current, bool textsChanged) {
    count = std::max(count, 1);
    current = std::clamp(current, 0, count - 1);
    const bool moved = count != rowCount_ || current != row_;
    if (count != rowCount_) {
        rowCount_ = count;
        updateScrollBars();
    }
    if (current != row_) {
        row_ = current;
        showCurrentRow();
    }
    if (textsChanged || moved)
        viewport()->update();
}

std::string StringGrid::text(int row) const {
    return source_ && row >= 0 && row < rowCount_ ? source_(row) : std::string();
}

QString StringGrid::cell(int row) const {
    return latin1::text(text(row));
}

void StringGrid::setDefaultRowHeight(int height) {
    rowHeight_ = std::max(height, 1);
    updateScrollBars();
}

void StringGrid::setDefaultColWidth(int width) {
    columnWidth_ = std::max(width, 1);
    updateScrollBars();
}

QRect StringGrid::rowRect(int row) const {
    const qint64 top = static_cast<qint64>(row) * rowHeight_ - verticalScrollBar()->value();
    return {-horizontalScrollBar()->value(), static_cast<int>(top), columnWidth_, rowHeight_};
}

int StringGrid::rowAt(QPoint viewportPoint) const {
    if (viewportPoint.x() + horizontalScrollBar()->value() >= columnWidth_)
        return -1;
    const qint64 y = static_cast<qint64>(viewportPoint.y()) + verticalScrollBar()->value();
    const qint64 row = y / rowHeight_;
    return y >= 0 && row < rowCount() ? static_cast<int>(row) : -1;
}

void StringGrid::updateScrollBars() {
    const QSize view = viewport()->size();
    const qint64 height = static_cast<qint64>(rowCount()) * rowHeight_;
    verticalScrollBar()->setRange(0, static_cast<int>(std::max<qint64>(0, height - view.height())));
    verticalScrollBar()->setPageStep(view.height());
    verticalScrollBar()->setSingleStep(rowHeight_);
    horizontalScrollBar()->setRange(0, std::max(0, columnWidth_ - view.width()));
    horizontalScrollBar()->setPageStep(view.width());
    viewport()->update();
}

void StringGrid::showCurrentRow() {
    const QRect current = rowRect(row_);
    QScrollBar& bar = *verticalScrollBar();
    if (current.top() < 0)
        bar.setValue(bar.value() + current.top());
    else if (current.bottom() >= viewport()->height())
        bar.setValue(bar.value() + current.bottom() - viewport()->height() + 1);
    viewport()->update();
}

void StringGrid::moveTo(int row) {
    row = std::clamp(row, 0, rowCount() - 1);
    if (row != row_)
        emit rowChosen(row);
}

// Only the rows in sight are drawn: each row's text, the grid lines, and the current row in the
// selection colours.
void StringGrid::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    const QRect area = event->rect();
    const int first = std::max(0, (area.top() + verticalScrollBar()->value()) / rowHeight_);
    const int last =
        std::min(rowCount() - 1, (area.bottom() + verticalScrollBar()->value()) / rowHeight_);
    const QColor gridLine = QColor::fromRgb(
        static_cast<QRgb>(style()->styleHint(QStyle::SH_Table_GridLineColor, nullptr, this)));
    const QPalette::ColorGroup group = hasFocus() ? QPalette::Active : QPalette::Inactive;
    painter.setFont(font());
    for (int row = first; row <= last; ++row) {
        const QRect box = rowRect(row);
        if (row == row_) {
            painter.fillRect(box, palette().brush(group, QPalette::Highlight));
            painter.setPen(palette().color(group, QPalette::HighlightedText));
        } else {
            painter.setPen(palette().color(group, QPalette::Text));
        }
        painter.drawText(box.adjusted(3, 0, -3, 0), Qt::AlignVCenter | Qt::AlignLeft, cell(row));
        painter.setPen(gridLine);
        painter.drawLine(box.bottomLeft(), box.bottomRight());
        painter.drawLine(box.topRight(), box.bottomRight());
    }
}

void StringGrid::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBars();
}

// Only the left button selects; a click on the row that is already current still counts as a
// click.
void StringGrid::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->accept();
        return;
    }
    setFocus(Qt::MouseFocusReason);
    const int row = rowAt(event->position().toPoint());
    if (row >= 0)
        emit rowClicked(row);
}

// The second press of a double click on the current row is not another click.
void StringGrid::mouseDoubleClickEvent(QMouseEvent* event) {
    if (rowAt(event->position().toPoint()) != row_)
        mousePressEvent(event);
}

void StringGrid::keyPressEvent(QKeyEvent* event) {
    const int page = std::max(1, viewport()->height() / rowHeight_);
    switch (event->key()) {
    case Qt::Key_Up:
        moveTo(row_ - 1);
        break;
    case Qt::Key_Down:
        moveTo(row_ + 1);
        break;
    case Qt::Key_PageUp:
        moveTo(row_ - page);
        break;
    case Qt::Key_PageDown:
        moveTo(row_ + page);
        break;
    case Qt::Key_Home:
        moveTo(0);
        break;
    case Qt::Key_End:
        moveTo(rowCount() - 1);
        break;
    case Qt::Key_Left:
    case Qt::Key_Right:
        QAbstractScrollArea::keyPressEvent(event);
        return;
    default:
        event->ignore();
        return;
    }
    event->accept();
}

void StringGrid::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();
}

void StringGrid::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}

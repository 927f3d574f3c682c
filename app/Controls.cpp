#include "app/Controls.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QLineEdit>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
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
    connect(up_, &QToolButton::clicked, this, [this] { stepBy(+1); });
    connect(down_, &QToolButton::clicked, this, [this] { stepBy(-1); });
}

void UpDown::setAssociate(QLineEdit* edit) {
    associate_ = edit;
    readPositionFromText(edit->text());
    connect(edit, &QLineEdit::textChanged, this, &UpDown::readPositionFromText);
}

int UpDown::clamp(int value) const {
    return std::clamp(value, minimum_, maximum_);
}

void UpDown::setPosition(int position) {
    position_ = clamp(position);
    if (associate_)
        associate_->setText(QString::number(position_));
}

void UpDown::stepBy(int delta) {
    setPosition(position_ + delta);
    emit clicked();
}

void UpDown::readPositionFromText(const QString& text) {
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok, 10);
    if (ok)
        position_ = static_cast<int>(std::clamp<qlonglong>(value, minimum_, maximum_));
}

// ---- StringGridModel -------------------------------------------------------------------------

int StringGridModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int StringGridModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 1;
}

QVariant StringGridModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid())
        return {};
    return rows_.at(static_cast<std::size_t>(index.row()));
}

void StringGridModel::setCell(int row, const QString& text) {
    QString& cell = rows_.at(static_cast<std::size_t>(row));
    if (cell == text)
        return;
    cell = text;
    const QModelIndex changed = index(row, 0);
    emit dataChanged(changed, changed, {Qt::DisplayRole});
}

void StringGridModel::resize(int count) {
    const int old = rowCount();
    if (count > old) {
        beginInsertRows({}, old, count - 1);
        rows_.resize(static_cast<std::size_t>(count));
        endInsertRows();
    } else if (count < old) {
        beginRemoveRows({}, count, old - 1);
        rows_.resize(static_cast<std::size_t>(count));
        endRemoveRows();
    }
}

void StringGridModel::replaceAll(std::vector<QString> rows) {
    beginResetModel();
    rows_ = std::move(rows);
    if (rows_.empty())
        rows_.emplace_back();
    endResetModel();
}

// ---- StringGrid ------------------------------------------------------------------------------

StringGrid::StringGrid(QWidget* parent)
    : QTableView(parent)
    , model_(new StringGridModel(this)) {
    setModel(model_);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    horizontalHeader()->hide();
    verticalHeader()->hide();
    verticalHeader()->setMinimumSectionSize(1);
    setShowGrid(true);
    setWordWrap(false);
    showCurrentRow();
}

int StringGrid::defaultRowHeight() const {
    return verticalHeader()->defaultSectionSize();
}

void StringGrid::setDefaultRowHeight(int height) {
    verticalHeader()->setDefaultSectionSize(height);
}

void StringGrid::setRowCount(int count) {
    moving_ = true;
    model_->resize(std::max(count, 1));
    row_ = std::min(row_, rowCount() - 1);
    moving_ = false;
    showCurrentRow();
}

void StringGrid::setRow(int row) {
    if (row == row_ || row < 0 || row >= rowCount())
        return;
    row_ = row;
    showCurrentRow();
    emit selected();
}

void StringGrid::replaceRows(std::vector<QString> rows) {
    moving_ = true;
    model_->replaceAll(std::move(rows));
    row_ = 0;
    moving_ = false;
    showCurrentRow();
}

void StringGrid::showCurrentRow() {
    moving_ = true;
    const QModelIndex current = model_->index(row_, 0);
    selectionModel()->setCurrentIndex(current, QItemSelectionModel::ClearAndSelect |
                                                   QItemSelectionModel::Rows);
    moving_ = false;
    scrollTo(current);
}

void StringGrid::mousePressEvent(QMouseEvent* event) {
    const int before = row_;
    QTableView::mousePressEvent(event);
    // A click on the row that is already current still counts as a click.
    if (indexAt(event->position().toPoint()).isValid() && row_ == before)
        emit selected();
}

void StringGrid::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    QTableView::currentChanged(current, previous);
    if (moving_ || !current.isValid() || current.row() == row_)
        return;
    row_ = current.row();
    emit selected();
}

#include "views/widgets.h"

#include "views/devicedata.h" // EventHook

#include <QCoreApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTabBar>
#include <QWheelEvent>

#include <algorithm>
#include <utility>

namespace views {

Lamp::Lamp(QWidget *parent) : QWidget(parent), m_color(palette().color(QPalette::Disabled, QPalette::WindowText))
{
    setFixedSize(17, 17);
}

void Lamp::setBrushColor(const QColor &color)
{
    if (color == m_color)
        return;
    m_color = color;
    update();
}

void Lamp::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::black);
    painter.setBrush(m_color);
    painter.drawEllipse(rect().adjusted(1, 1, -1, -1));
}

namespace {

// The tab bar asks its page control before the user's click, wheel or key
// moves to another page.
class GuardedTabBar final : public QTabBar {
public:
    explicit GuardedTabBar(TPageControl *owner) : QTabBar(owner), m_owner(owner) {}

protected:
    void mousePressEvent(QMouseEvent *event) override
    {
        const int target = tabAt(event->position().toPoint());
        if (target >= 0 && target != currentIndex() && !m_owner->userMayChange()) {
            event->accept();
            return;
        }
        QTabBar::mousePressEvent(event);
    }
    void wheelEvent(QWheelEvent *event) override
    {
        if (!m_owner->userMayChange()) {
            event->accept();
            return;
        }
        QTabBar::wheelEvent(event);
    }
    void keyPressEvent(QKeyEvent *event) override
    {
        if (!m_owner->userMayChange()) {
            event->accept();
            return;
        }
        QTabBar::keyPressEvent(event);
    }

private:
    TPageControl *m_owner;
};

} // namespace

TPageControl::TPageControl(QWidget *parent) : QTabWidget(parent)
{
    setTabBar(new GuardedTabBar(this));
}

void TPageControl::keyPressEvent(QKeyEvent *event)
{
    // Ctrl+Tab and Ctrl+PageUp/PageDown switch pages from anywhere inside.
    if ((event->modifiers() & Qt::ControlModifier) && !userMayChange()) {
        event->accept();
        return;
    }
    QTabWidget::keyPressEvent(event);
}

FixedRowTable::FixedRowTable(QWidget *parent) : QTableView(parent), m_fixed(new QTableView(this))
{
    m_fixed->setObjectName(QStringLiteral("fixedRow"));
    m_fixed->setFrameShape(QFrame::NoFrame);
    m_fixed->setFocusPolicy(Qt::NoFocus);
    m_fixed->setAutoScroll(false); // row 0 only, whatever becomes current
    m_fixed->setEditTriggers(NoEditTriggers);
    m_fixed->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_fixed->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_fixed->horizontalHeader()->hide();
    m_fixed->horizontalHeader()->setMinimumSectionSize(1);
    m_fixed->verticalHeader()->hide();
    m_fixed->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    // The wheel and the focus that land on the fixed row go to the table
    // beneath, so it scrolls and takes the keys as it does elsewhere.
    m_fixed->viewport()->installEventFilter(new EventHook(
        [this](QObject *, QEvent *event) {
            if (event->type() == QEvent::Wheel) {
                // The fixed row's viewport lies at the origin of the table's.
                QCoreApplication::sendEvent(viewport(), event);
                return true;
            }
            if (event->type() == QEvent::MouseButtonPress)
                setFocus(Qt::MouseFocusReason);
            return false;
        },
        m_fixed));
    connect(m_fixed->verticalScrollBar(), &QScrollBar::valueChanged, m_fixed, [this](int value) {
        if (value != 0)
            m_fixed->verticalScrollBar()->setValue(0);
    });
    connect(horizontalHeader(), &QHeaderView::sectionResized, m_fixed,
            [this](int column, int, int width) { m_fixed->setColumnWidth(column, width); });
    // A right-click on it is a right-click on the table at the same place.
    m_fixed->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_fixed, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        if (contextMenuPolicy() == Qt::CustomContextMenu)
            emit customContextMenuRequested(pos);
    });
    m_fixed->hide();
}

void FixedRowTable::setModel(QAbstractItemModel *model)
{
    QTableView::setModel(model);
    m_fixed->setModel(model);
    QItemSelectionModel *own = m_fixed->selectionModel();
    m_fixed->setSelectionModel(selectionModel());
    delete own;
}

void FixedRowTable::setSelectionModel(QItemSelectionModel *selectionModel)
{
    QTableView::setSelectionModel(selectionModel);
    // setModel shares the table's new selection once the fixed row has the
    // model too.
    if (selectionModel && m_fixed->model() == selectionModel->model())
        m_fixed->setSelectionModel(selectionModel);
}

void FixedRowTable::scrollTo(const QModelIndex &index, ScrollHint hint)
{
    // Rows added since the last layout are not in the scroll range yet.
    executeDelayedItemsLayout();
    QTableView::scrollTo(index, hint);
    if (!index.isValid() || index.row() == 0 || rowViewportPosition(0) >= 0)
        return;
    const int covered = rowHeight(0) - rowViewportPosition(index.row());
    if (covered <= 0)
        return;
    QScrollBar *bar = verticalScrollBar();
    bar->setValue(verticalScrollMode() == ScrollPerPixel ? bar->value() - covered : bar->value() - 1);
}

void FixedRowTable::RevealRow(int row)
{
    if (!model() || row < 0 || row >= model()->rowCount())
        return;
    if (!isVisible()) {
        m_pendingRow = row;
        return;
    }
    m_pendingRow = -1;
    scrollTo(model()->index(row, std::max(columnAt(0), 0)));
}

void FixedRowTable::updateGeometries()
{
    QTableView::updateGeometries();
    PlaceFixedRow();
}

void FixedRowTable::scrollContentsBy(int dx, int dy)
{
    QTableView::scrollContentsBy(dx, dy);
    PlaceFixedRow();
}

void FixedRowTable::changeEvent(QEvent *event)
{
    // The fixed row must look exactly like row 0: the same style, so the
    // same text insets.
    if (event->type() == QEvent::StyleChange)
        m_fixed->setStyle(style());
    QTableView::changeEvent(event);
}

void FixedRowTable::showEvent(QShowEvent *event)
{
    QTableView::showEvent(event);
    if (m_pendingRow < 0)
        return;
    // Once the page that shows the table has laid it out.
    QMetaObject::invokeMethod(
        this, [this] { RevealRow(std::exchange(m_pendingRow, -1)); }, Qt::QueuedConnection);
}

void FixedRowTable::PlaceFixedRow()
{
    // While row 0 stands at the top, the table paints it itself.
    const bool scrolled = model() && model()->rowCount() > 0 && rowViewportPosition(0) < 0;
    if (!scrolled) {
        m_fixed->hide();
        return;
    }
    QHeaderView *rows = m_fixed->verticalHeader();
    if (rows->defaultSectionSize() != rowHeight(0))
        rows->setDefaultSectionSize(rowHeight(0));
    QHeaderView *columns = m_fixed->horizontalHeader();
    if (columns->defaultSectionSize() != horizontalHeader()->defaultSectionSize())
        columns->setDefaultSectionSize(horizontalHeader()->defaultSectionSize());
    for (int c = 0; c < model()->columnCount(); ++c)
        if (m_fixed->columnWidth(c) != columnWidth(c))
            m_fixed->setColumnWidth(c, columnWidth(c));
    m_fixed->setShowGrid(showGrid());
    m_fixed->setSelectionBehavior(selectionBehavior());
    m_fixed->setSelectionMode(selectionMode());
    m_fixed->setHorizontalScrollMode(horizontalScrollMode());
    m_fixed->setGeometry(QRect(viewport()->geometry().topLeft(), QSize(viewport()->width(), rowHeight(0))));
    m_fixed->show();
    m_fixed->raise();
    m_fixed->horizontalScrollBar()->setValue(horizontalScrollBar()->value());
}

int Tag(const QObject *control)
{
    return control->property("Tag").toInt();
}

void SetTag(QObject *control, int tag)
{
    control->setProperty("Tag", tag);
}

} // namespace views

#include "views/widgets.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QTabBar>
#include <QWheelEvent>

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

int Tag(const QObject *control)
{
    return control->property("Tag").toInt();
}

void SetTag(QObject *control, int tag)
{
    control->setProperty("Tag", tag);
}

} // namespace views

#pragma once
// Small widgets the windows need beyond Qt's own: the round status lamp and
// a tab widget whose page changes by the user can be refused.

#include <QColor>
#include <QTabWidget>
#include <QWidget>

#include <functional>

namespace views {

// A filled circle with an outline (`Shape1`, `Shape2`).
class Lamp : public QWidget {
    Q_OBJECT
public:
    explicit Lamp(QWidget *parent = nullptr);
    QColor brushColor() const { return m_color; }
    void setBrushColor(const QColor &color);
    QSize sizeHint() const override { return {17, 17}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_color;
};

// Page changes asked for by the user (mouse, wheel, keyboard) are put to
// OnChanging first; the program's own setCurrentIndex is never refused.
class TPageControl : public QTabWidget {
    Q_OBJECT
public:
    explicit TPageControl(QWidget *parent = nullptr);
    std::function<bool()> OnChanging;
    bool userMayChange() const { return !OnChanging || OnChanging(); }

protected:
    void keyPressEvent(QKeyEvent *event) override;
};

// Tag of a control, kept as the dynamic property "Tag".
int Tag(const QObject *control);
void SetTag(QObject *control, int tag);

} // namespace views

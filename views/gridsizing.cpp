#include "views/gridsizing.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QFontMetrics>
#include <QProxyStyle>
#include <QStyleFactory>

#include <algorithm>

namespace views {

namespace {

// A configured width can be anything up to 2^31: pixels are computed in 64
// bits and kept to what a widget takes.
int Pixels(qint64 chars, int unit)
{
    return static_cast<int>(std::min<qint64>(chars * unit, 100000));
}

// The item views draw their text the style's focus-frame margin plus one
// pixel inside the cell.
class InsetStyle final : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;
    int pixelMetric(PixelMetric metric, const QStyleOption *option, const QWidget *widget) const override
    {
        if (metric == PM_FocusFrameHMargin)
            return GridTextInset - 1;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
};

} // namespace

int CharacterWidth(const QFontMetrics &metrics)
{
    return std::max(metrics.horizontalAdvance(QLatin1Char('0')), 1);
}

MeasurementGridWidths MeasurementGridWidthsFor(const std::vector<const data::TItem *> &shown, int unit)
{
    MeasurementGridWidths widths;
    qint64 longestName = 0;
    qint64 widest = 0;
    for (const data::TItem *item : shown) {
        widths.meas.push_back(Pixels(std::max<qint64>({item->Name.size(), item->Width, 7}), unit));
        longestName = std::max<qint64>(longestName, item->Name.size());
        widest = std::max<qint64>(widest, item->Width);
    }
    widths.currentNames = Pixels(1 + longestName, unit);
    widths.currentValues = Pixels(1 + widest, unit);
    return widths;
}

int GridRowHeight(const QFontMetrics &metrics, int designed)
{
    return std::max(designed, metrics.height() + GridTextInset);
}

void UseGridTextInset(QAbstractItemView *grid)
{
    // A style of its own, on the application's style, owned by the grid.
    auto *style = new InsetStyle(QStyleFactory::create(QApplication::style()->name()));
    style->setParent(grid);
    grid->setStyle(style);
}

} // namespace views

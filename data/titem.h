#pragma once
// One measurement field of the configuration file: "caption,width".

#include <QList>
#include <QString>

#include <memory>
#include <vector>

namespace data {

class TItem {
public:
    // Name is the text before the first comma, unchanged; Width the decimal
    // integer after it (0 when there is none). Throws std::invalid_argument
    // with the message "'<text>' is not a valid integer value" when the part
    // after the comma is not a 32-bit integer.
    explicit TItem(const QString &value);
    virtual ~TItem() = default;

    // Shown when Name, with leading and trailing blanks and control
    // characters removed, is not empty.
    bool IsShown() const;

    QString Name;
    qint32 Width = 0;
};

// Owns its items, in configuration order.
using TItemList = std::vector<std::unique_ptr<TItem>>;

} // namespace data

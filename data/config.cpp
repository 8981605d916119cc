#include "data/config.h"

#include "data/platform.h"

#include <stdexcept>

namespace data {

bool LoadFieldList(const QString &path, FieldList &fields, QString *error)
{
    return LoadFieldList(ProfileFile(path), fields, error);
}

bool LoadFieldList(const ProfileFile &profile, FieldList &fields, QString *error)
{
    fields = FieldList{};
    qint64 size = 0;
    for (int n = 1;; ++n) {
        const QString key = QStringLiteral("PDATA%1").arg(n);
        const QString value = profile.Value(QStringLiteral("DATA"), key);
        if (value.isEmpty())
            break;
        const auto refuse = [&](const QString &why) {
            *error = QStringLiteral("Invalid value of %1 in \"%2\": \"%3\". %4")
                         .arg(key, ConfigFileName, value, why);
            fields = FieldList{};
            return false;
        };
        std::unique_ptr<data::TItem> item;
        try {
            item = std::make_unique<data::TItem>(value);
        } catch (const std::invalid_argument &e) {
            return refuse(QString::fromStdString(e.what()));
        }
        if (item->Width < 0)
            return refuse(QStringLiteral("The width must not be negative."));
        const protocol::RecordField slot{item->Width, item->IsShown()};
        size += protocol::RecordBytes({&slot, 1});
        // A record that could never come from the meter: one record must
        // fit the largest reply a download may take.
        if (size > MaxRecordSize)
            return refuse(QStringLiteral("The record size exceeds %1 bytes.").arg(MaxRecordSize));
        if (item->IsShown())
            ++fields.shownCount;
        fields.items.push_back(std::move(item));
    }
    fields.recordSize = static_cast<qint32>(size);
    return true;
}

std::vector<protocol::RecordField> RecordLayout(const TItemList &items)
{
    std::vector<protocol::RecordField> layout;
    layout.reserve(items.size());
    for (const auto &item : items)
        layout.push_back({item->Width, item->IsShown()});
    return layout;
}

QStringList ShownCaptions(const TItemList &items)
{
    QStringList captions;
    for (const auto &item : items)
        if (item->IsShown())
            captions << item->Name;
    return captions;
}

} // namespace data

#include "cli/blockjson.h"

#include "protocol/blockfields.h"

#include <QDate>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <functional>

namespace cli {

using protocol::ParameterBlock;

namespace {

constexpr int MaxJsonBytes = 1 << 20; // a block document is a few kilobytes

struct DateField {
    const char *key;
    int offset;
};
const DateField kDates[] = {
    {"manufactureDate", ParameterBlock::ManufactureDate},
    {"characteristicsDate", ParameterBlock::CharacteristicsDate},
    {"serviceDate", ParameterBlock::ServiceDate},
};

// The bytes as stored, whatever they hold: a date the meter never had shows
// as it is rather than being corrected.
QString dateText(const ParameterBlock &b, int field)
{
    const protocol::DateBytes date = protocol::DateAt(b, field);
    return QStringLiteral("%1-%2-%3")
        .arg(2000 + date.year, 4, 10, QLatin1Char('0'))
        .arg(date.month + 1, 2, 10, QLatin1Char('0'))
        .arg(date.day + 1, 2, 10, QLatin1Char('0'));
}

QString hexText(ParameterBlock b)
{
    QByteArray text(ParameterBlock::TextSize, '0');
    protocol::EncodeParameterBlock(b, text.data());
    return QString::fromLatin1(text);
}

// One named field: how it is read from the document and stored.
struct Field {
    const char *key;
    std::function<bool(const QJsonValue &, ParameterBlock &, QString *)> apply;
};

bool integerIn(const QJsonValue &v, qint64 low, qint64 high, qint64 *out)
{
    if (!v.isDouble())
        return false;
    const double d = v.toDouble();
    if (d != static_cast<double>(static_cast<qint64>(d)))
        return false;
    *out = static_cast<qint64>(d);
    return *out >= low && *out <= high;
}

Field integerField(const char *key, qint64 low, qint64 high, std::function<void(ParameterBlock &, qint64)> store)
{
    return {key, [=](const QJsonValue &v, ParameterBlock &b, QString *error) {
                qint64 value = 0;
                if (!integerIn(v, low, high, &value)) {
                    *error = QStringLiteral("%1: allowed values are the integers %2..%3")
                                 .arg(QLatin1String(key)).arg(low).arg(high);
                    return false;
                }
                store(b, value);
                return true;
            }};
}

Field dateField(const DateField &date)
{
    return {date.key, [date](const QJsonValue &v, ParameterBlock &b, QString *error) {
                const QDate d = QDate::fromString(v.toString(), QStringLiteral("yyyy-MM-dd"));
                if (!v.isString() || !protocol::DateBytes::Fits(d)) {
                    *error = QStringLiteral("%1: allowed values are dates from 2000-01-01 to 2255-12-31 "
                                            "written as yyyy-mm-dd")
                                 .arg(QLatin1String(date.key));
                    return false;
                }
                protocol::SetDateAt(b, date.offset, protocol::DateBytes::Of(d));
                return true;
            }};
}

bool applyInfoText(const QJsonValue &v, ParameterBlock &b, QString *error)
{
    if (!v.isString() || !protocol::InfoTextFits(v.toString())) {
        *error = QStringLiteral("infoText: allowed values are texts of at most 45 characters of the "
                                "Windows-1252 code page");
        return false;
    }
    protocol::SetInfoTextValue(b, v.toString());
    return true;
}

bool applyRangeMap(const QJsonValue &v, ParameterBlock &b, QString *error)
{
    const QJsonArray entries = v.toArray();
    if (!v.isArray() || entries.size() != ParameterBlock::RangeMapLength) {
        *error = QStringLiteral("rangeMap: allowed values are lists of exactly 180 integers");
        return false;
    }
    for (int e = 0; e < ParameterBlock::RangeMapLength; ++e) {
        qint64 value = 0;
        if (!integerIn(entries[e], 0, 255, &value)) {
            *error = QStringLiteral("rangeMap[%1]: allowed values are the integers 0..255").arg(e);
            return false;
        }
        protocol::SetRangeMapEntry(b, e, value);
    }
    return true;
}

const std::vector<Field> &fields()
{
    static const std::vector<Field> table = [] {
        std::vector<Field> t{
            integerField("serialNumber", 0, protocol::WordFieldMax,
                         [](ParameterBlock &b, qint64 v) {
                             b.setWord(ParameterBlock::SerialNumber, protocol::LowWord(v));
                         }),
            integerField("usageCount", protocol::UsageCountMin, protocol::UsageCountMax,
                         [](ParameterBlock &b, qint64 v) { protocol::SetUsageCount(b, v); }),
            integerField("calibrationCoefficient", 0, protocol::WordFieldMax,
                         [](ParameterBlock &b, qint64 v) {
                             b.setWord(ParameterBlock::CalibrationCoefficient, protocol::LowWord(v));
                         }),
            {"printout",
             [](const QJsonValue &v, ParameterBlock &b, QString *error) {
                 if (!v.isBool()) {
                     *error = QStringLiteral("printout: allowed values are true and false");
                     return false;
                 }
                 protocol::SetPrintout(b, v.toBool());
                 return true;
             }},
            {"infoText", applyInfoText},
            integerField("activeRangeCount", 0, ParameterBlock::RangeMapLength,
                         [](ParameterBlock &b, qint64 v) {
                             protocol::SetActiveRangeCount(b, protocol::LowByte(v));
                         }),
            {"rangeMap", applyRangeMap},
        };
        for (const DateField &d : kDates)
            t.push_back(dateField(d));
        return t;
    }();
    return table;
}

bool applyHex(const QJsonValue &v, ParameterBlock &b, QString *error)
{
    const QByteArray text = v.toString().toLatin1();
    if (!v.isString() || text.size() != ParameterBlock::TextSize
        || !protocol::DecodeCheckedParameterBlock(text.constData(), b)) {
        *error = QStringLiteral("hex: allowed values are 514 hexadecimal digits whose 257 bytes "
                                "sum to 0 mod 256");
        return false;
    }
    return true;
}

// The entries in use must be ranges 1..180, as the window insists before
// it sends.
bool checkActiveEntries(const ParameterBlock &b, QString *error)
{
    const int active = protocol::ActiveEntryCount(b);
    for (int e = 0; e < active; ++e) {
        const int value = protocol::RangeMapEntry(b, e);
        if (!protocol::IsValidRange(value)) {
            *error = QStringLiteral("rangeMap[%1]: entries in use (below activeRangeCount %2) allow "
                                    "the integers 1..180, not %3")
                         .arg(e).arg(active).arg(value);
            return false;
        }
    }
    return true;
}

} // namespace

QByteArray BlockToJson(const ParameterBlock &block)
{
    QJsonObject o;
    o.insert(QStringLiteral("serialNumber"), block.word(ParameterBlock::SerialNumber));
    o.insert(QStringLiteral("usageCount"), protocol::UsageCountValue(block));
    o.insert(QStringLiteral("calibrationCoefficient"), block.word(ParameterBlock::CalibrationCoefficient));
    for (const DateField &d : kDates)
        o.insert(QLatin1String(d.key), dateText(block, d.offset));
    o.insert(QStringLiteral("printout"), protocol::PrintoutOn(block));
    o.insert(QStringLiteral("infoText"), protocol::InfoTextValue(block));
    o.insert(QStringLiteral("activeRangeCount"), block[ParameterBlock::ActiveRangeCount]);
    QJsonArray map;
    for (int e = 0; e < ParameterBlock::RangeMapLength; ++e)
        map.append(protocol::RangeMapEntry(block, e));
    o.insert(QStringLiteral("rangeMap"), map);
    o.insert(QStringLiteral("hex"), hexText(block));
    return QJsonDocument(o).toJson(QJsonDocument::Indented);
}

bool ApplyJson(const QByteArray &json, ParameterBlock &block, QString *error)
{
    if (json.size() > MaxJsonBytes) {
        *error = QStringLiteral("the file is larger than a parameter document can be (1 MiB)");
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        *error = parseError.error != QJsonParseError::NoError
            ? QStringLiteral("not valid JSON at offset %1: %2").arg(parseError.offset).arg(parseError.errorString())
            : QStringLiteral("the document must be a JSON object");
        return false;
    }
    const QJsonObject o = document.object();
    ParameterBlock edited = block;
    if (o.contains(QStringLiteral("hex")) && !applyHex(o.value(QStringLiteral("hex")), edited, error))
        return false;
    for (auto it = o.begin(); it != o.end(); ++it) {
        if (it.key() == QStringLiteral("hex"))
            continue;
        const auto &table = fields();
        const auto field = std::find_if(table.begin(), table.end(),
                                        [&](const Field &f) { return it.key() == QLatin1String(f.key); });
        if (field == table.end()) {
            QStringList known{QStringLiteral("hex")};
            for (const Field &f : table)
                known << QLatin1String(f.key);
            *error = QStringLiteral("unknown field \"%1\"; the fields are %2").arg(it.key(), known.join(QStringLiteral(", ")));
            return false;
        }
        if (!field->apply(it.value(), edited, error))
            return false;
    }
    if (!checkActiveEntries(edited, error))
        return false;
    block = edited;
    return true;
}

QStringList DescribeChanges(const ParameterBlock &before, const ParameterBlock &after)
{
    const QJsonObject a = QJsonDocument::fromJson(BlockToJson(before)).object();
    const QJsonObject b = QJsonDocument::fromJson(BlockToJson(after)).object();
    QStringList lines;
    bool namedDiffer = false;
    for (auto it = a.begin(); it != a.end(); ++it) {
        if (it.key() == QStringLiteral("hex") || it.value() == b.value(it.key()))
            continue;
        namedDiffer = true;
        const auto show = [](const QJsonValue &v) {
            return v.isArray() ? QString::fromUtf8(QJsonDocument(v.toArray()).toJson(QJsonDocument::Compact))
                               : v.toVariant().toString();
        };
        lines << QStringLiteral("%1: %2 -> %3").arg(it.key(), show(it.value()), show(b.value(it.key())));
    }
    if (a.value(QStringLiteral("hex")) != b.value(QStringLiteral("hex")) && !namedDiffer)
        lines << QStringLiteral("other bytes of the block changed");
    return lines;
}

} // namespace cli

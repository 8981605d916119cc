#include "cli/blockjson.h"

#include "protocol/codepage.h"

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

void setUsageCount(ParameterBlock &b, int value)
{
    const auto bits = static_cast<std::uint32_t>(value) & 0xFFFFFF;
    b[ParameterBlock::UsageCount] = static_cast<std::uint8_t>(bits >> 16);
    b[ParameterBlock::UsageCount + 1] = static_cast<std::uint8_t>(bits >> 8);
    b[ParameterBlock::UsageCount + 2] = static_cast<std::uint8_t>(bits);
}

// The bytes as stored, whatever they hold: a date the meter never had shows
// as it is rather than being corrected.
QString dateText(const ParameterBlock &b, int offset)
{
    return QStringLiteral("%1-%2-%3")
        .arg(2000 + b[offset], 4, 10, QLatin1Char('0'))
        .arg(b[offset + 1] + 1, 2, 10, QLatin1Char('0'))
        .arg(b[offset + 2] + 1, 2, 10, QLatin1Char('0'));
}

QString infoText(const ParameterBlock &b)
{
    QByteArray bytes(reinterpret_cast<const char *>(&b.bytes[ParameterBlock::InfoText]),
                     ParameterBlock::InfoTextLength);
    const qsizetype end = bytes.indexOf('\0');
    return protocol::FromCodePage(end < 0 ? bytes : bytes.left(end));
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
                if (!v.isString() || !d.isValid() || d.year() < 2000 || d.year() > 2255) {
                    *error = QStringLiteral("%1: allowed values are dates from 2000-01-01 to 2255-12-31 "
                                            "written as yyyy-mm-dd")
                                 .arg(QLatin1String(date.key));
                    return false;
                }
                b[date.offset] = static_cast<std::uint8_t>(d.year() - 2000);
                b[date.offset + 1] = static_cast<std::uint8_t>(d.month() - 1);
                b[date.offset + 2] = static_cast<std::uint8_t>(d.day() - 1);
                return true;
            }};
}

bool applyInfoText(const QJsonValue &v, ParameterBlock &b, QString *error)
{
    const QByteArray bytes = protocol::ToCodePage(v.toString());
    if (!v.isString() || bytes.size() > ParameterBlock::InfoTextLength
        || protocol::FromCodePage(bytes) != v.toString() || bytes.contains('\0')) {
        *error = QStringLiteral("infoText: allowed values are texts of at most 45 characters of the "
                                "Windows-1252 code page");
        return false;
    }
    for (int i = 0; i < ParameterBlock::InfoTextLength; ++i)
        b[ParameterBlock::InfoText + i] = i < bytes.size() ? static_cast<std::uint8_t>(bytes[i]) : 0;
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
        b[ParameterBlock::RangeMap + e] = static_cast<std::uint8_t>(value);
    }
    return true;
}

const std::vector<Field> &fields()
{
    static const std::vector<Field> table = [] {
        std::vector<Field> t{
            integerField("serialNumber", 0, 65535,
                         [](ParameterBlock &b, qint64 v) { b.setWord(ParameterBlock::SerialNumber, quint16(v)); }),
            integerField("usageCount", -(1 << 23), (1 << 23) - 1,
                         [](ParameterBlock &b, qint64 v) { setUsageCount(b, int(v)); }),
            integerField("calibrationCoefficient", 0, 65535,
                         [](ParameterBlock &b, qint64 v) {
                             b.setWord(ParameterBlock::CalibrationCoefficient, quint16(v));
                         }),
            {"printout",
             [](const QJsonValue &v, ParameterBlock &b, QString *error) {
                 if (!v.isBool()) {
                     *error = QStringLiteral("printout: allowed values are true and false");
                     return false;
                 }
                 b[ParameterBlock::PrintoutFlag] = v.toBool() ? 0xFF : 0x00;
                 return true;
             }},
            {"infoText", applyInfoText},
            integerField("activeRangeCount", 0, 180,
                         [](ParameterBlock &b, qint64 v) { b[ParameterBlock::ActiveRangeCount] = quint8(v); }),
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
    const int active = std::min<int>(b[ParameterBlock::ActiveRangeCount], ParameterBlock::RangeMapLength);
    for (int e = 0; e < active; ++e) {
        const int value = b[ParameterBlock::RangeMap + e];
        if (value < 1 || value > 180) {
            *error = QStringLiteral("rangeMap[%1]: entries in use (below activeRangeCount %2) allow "
                                    "the integers 1..180, not %3")
                         .arg(e).arg(active).arg(value);
            return false;
        }
    }
    return true;
}

} // namespace

int BlockUsageCount(const ParameterBlock &b)
{
    const int raw = (b[ParameterBlock::UsageCount] << 16) | (b[ParameterBlock::UsageCount + 1] << 8)
        | b[ParameterBlock::UsageCount + 2];
    return raw >= (1 << 23) ? raw - (1 << 24) : raw;
}

QByteArray BlockToJson(const ParameterBlock &block)
{
    QJsonObject o;
    o.insert(QStringLiteral("serialNumber"), block.word(ParameterBlock::SerialNumber));
    o.insert(QStringLiteral("usageCount"), BlockUsageCount(block));
    o.insert(QStringLiteral("calibrationCoefficient"), block.word(ParameterBlock::CalibrationCoefficient));
    for (const DateField &d : kDates)
        o.insert(QLatin1String(d.key), dateText(block, d.offset));
    o.insert(QStringLiteral("printout"), block[ParameterBlock::PrintoutFlag] == 0xFF);
    o.insert(QStringLiteral("infoText"), infoText(block));
    o.insert(QStringLiteral("activeRangeCount"), block[ParameterBlock::ActiveRangeCount]);
    QJsonArray map;
    for (int e = 0; e < ParameterBlock::RangeMapLength; ++e)
        map.append(block[ParameterBlock::RangeMap + e]);
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

#include "data/blockjson.h"

#include "protocol/printable.h"
#include "protocol/blockfields.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <vector>

namespace data {

using protocol::ParameterBlock;

namespace {

// ---- the fields ---------------------------------------------------------------

// Why a value is refused ("field: allowed values are ..."); empty when it
// is taken.
using Check = std::function<QString(const QJsonValue &)>;

struct Field {
    const char *key;
    int offset; // the bytes the field shows
    int length;
    std::function<QJsonValue(const ParameterBlock &)> show;
    Check shown;   // some block shows the value, so it may stand in a file
    Check allowed; // the value may be written as a change
    std::function<void(ParameterBlock &, const QJsonValue &)> store;
};

bool integerIn(const QJsonValue &v, qint64 low, qint64 high, qint64 *out)
{
    if (!v.isDouble())
        return false;
    // Range first: a double beyond qint64 has no integer to convert to.
    const double d = v.toDouble();
    if (!(d >= static_cast<double>(low) && d <= static_cast<double>(high)) || d != std::trunc(d))
        return false;
    *out = static_cast<qint64>(d);
    return true;
}

qint64 integer(const QJsonValue &v)
{
    return static_cast<qint64>(v.toDouble());
}

// Integers low..high; the message names `allowedLow`..`allowedHigh`, the
// values a change may take.
Check integers(const char *key, qint64 low, qint64 high, qint64 allowedLow, qint64 allowedHigh)
{
    const QString refusal = QStringLiteral("%1: allowed values are the integers %2..%3")
                                .arg(QLatin1String(key)).arg(allowedLow).arg(allowedHigh);
    return [=](const QJsonValue &v) {
        qint64 value = 0;
        return integerIn(v, low, high, &value) ? QString() : refusal;
    };
}

Field wordField(const char *key, int offset)
{
    const Check check = integers(key, 0, protocol::WordFieldMax, 0, protocol::WordFieldMax);
    return {key, offset, 2, [offset](const ParameterBlock &b) { return QJsonValue(int(b.word(offset))); }, check,
            check,
            [offset](ParameterBlock &b, const QJsonValue &v) { b.setWord(offset, protocol::LowWord(integer(v))); }};
}

Field usageCountField()
{
    const Check check = integers("usageCount", protocol::UsageCountMin, protocol::UsageCountMax,
                                 protocol::UsageCountMin, protocol::UsageCountMax);
    return {"usageCount", ParameterBlock::UsageCount, 3,
            [](const ParameterBlock &b) { return QJsonValue(protocol::UsageCountValue(b)); }, check, check,
            [](ParameterBlock &b, const QJsonValue &v) { protocol::SetUsageCount(b, integer(v)); }};
}

// A count of up to 255 may be stored; a change gives one of 0..180.
Field activeRangeCountField()
{
    constexpr const char *key = "activeRangeCount";
    const qint64 most = ParameterBlock::RangeMapLength;
    return {key, ParameterBlock::ActiveRangeCount, 1,
            [](const ParameterBlock &b) { return QJsonValue(int(b[ParameterBlock::ActiveRangeCount])); },
            integers(key, 0, 255, 0, most), integers(key, 0, most, 0, most),
            [](ParameterBlock &b, const QJsonValue &v) {
                protocol::SetActiveRangeCount(b, protocol::LowByte(integer(v)));
            }};
}

Field printoutField()
{
    const Check check = [](const QJsonValue &v) {
        return v.isBool() ? QString() : QStringLiteral("printout: allowed values are true and false");
    };
    return {"printout", ParameterBlock::PrintoutFlag, 1,
            [](const ParameterBlock &b) { return QJsonValue(protocol::PrintoutOn(b)); }, check, check,
            [](ParameterBlock &b, const QJsonValue &v) { protocol::SetPrintout(b, v.toBool()); }};
}

// Any text the field shows may stand in a file (a byte the code page leaves
// unassigned too); a change must come back unchanged through the field.
Field infoTextField()
{
    const QString refusal = QStringLiteral("infoText: allowed values are texts of at most 45 characters of "
                                           "the Windows-1252 code page");
    return {"infoText", ParameterBlock::InfoText, ParameterBlock::InfoTextLength,
            [](const ParameterBlock &b) { return QJsonValue(protocol::InfoTextValue(b)); },
            [refusal](const QJsonValue &v) {
                return v.isString() && protocol::InfoTextShowable(v.toString()) ? QString() : refusal;
            },
            [refusal](const QJsonValue &v) {
                return v.isString() && protocol::InfoTextFits(v.toString()) ? QString() : refusal;
            },
            [](ParameterBlock &b, const QJsonValue &v) { protocol::SetInfoTextValue(b, v.toString()); }};
}

// A date as the three stored bytes read: 2000 + year, month + 1, day + 1,
// whatever they hold ("2255-256-256" for FF FF FF).
QString dateText(protocol::DateBytes date)
{
    return QStringLiteral("%1-%2-%3")
        .arg(2000 + date.year, 4, 10, QLatin1Char('0'))
        .arg(date.month + 1, 2, 10, QLatin1Char('0'))
        .arg(date.day + 1, 2, 10, QLatin1Char('0'));
}

// The bytes of a date text exactly as dateText writes it; none for any
// other text.
std::optional<protocol::DateBytes> dateBytesOf(const QJsonValue &v)
{
    const QString text = v.toString();
    if (!v.isString() || text.size() > 12)
        return std::nullopt;
    const QStringList parts = text.split(QLatin1Char('-'));
    if (parts.size() != 3)
        return std::nullopt;
    bool ok[3] = {};
    const int year = parts[0].toInt(&ok[0]);
    const int month = parts[1].toInt(&ok[1]);
    const int day = parts[2].toInt(&ok[2]);
    if (!ok[0] || !ok[1] || !ok[2] || year < 2000 || year > 2255 || month < 1 || month > 256 || day < 1 || day > 256)
        return std::nullopt;
    const protocol::DateBytes date{protocol::LowByte(year - 2000), protocol::LowByte(month - 1),
                                   protocol::LowByte(day - 1)};
    if (dateText(date) != text)
        return std::nullopt;
    return date;
}

Field dateField(const char *key, int offset)
{
    const QString refusal = QStringLiteral("%1: allowed values are dates from 2000-01-01 to 2255-12-31 "
                                           "written as yyyy-mm-dd")
                                .arg(QLatin1String(key));
    return {key, offset, 3,
            [offset](const ParameterBlock &b) { return QJsonValue(dateText(protocol::DateAt(b, offset))); },
            [refusal](const QJsonValue &v) { return dateBytesOf(v) ? QString() : refusal; },
            [refusal](const QJsonValue &v) {
                const auto date = dateBytesOf(v);
                return date && date->Calendar().isValid() ? QString() : refusal;
            },
            [offset](ParameterBlock &b, const QJsonValue &v) { protocol::SetDateAt(b, offset, *dateBytesOf(v)); }};
}

QString rangeMapRefusal(const QJsonValue &v)
{
    const QJsonArray entries = v.toArray();
    if (!v.isArray() || entries.size() != ParameterBlock::RangeMapLength)
        return QStringLiteral("rangeMap: allowed values are lists of exactly 180 integers");
    for (int e = 0; e < ParameterBlock::RangeMapLength; ++e) {
        qint64 value = 0;
        if (!integerIn(entries[e], 0, 255, &value))
            return QStringLiteral("rangeMap[%1]: allowed values are the integers 0..255").arg(e);
    }
    return {};
}

Field rangeMapField()
{
    return {"rangeMap", ParameterBlock::RangeMap, ParameterBlock::RangeMapLength,
            [](const ParameterBlock &b) {
                QJsonArray map;
                for (int e = 0; e < ParameterBlock::RangeMapLength; ++e)
                    map.append(protocol::RangeMapEntry(b, e));
                return QJsonValue(map);
            },
            rangeMapRefusal, rangeMapRefusal,
            [](ParameterBlock &b, const QJsonValue &v) {
                const QJsonArray entries = v.toArray();
                for (int e = 0; e < ParameterBlock::RangeMapLength; ++e)
                    protocol::SetRangeMapEntry(b, e, integer(entries[e]));
            }};
}

// In the order the document prints them (by name), which is also the order
// of the lines that say what changed.
const std::vector<Field> &fields()
{
    static const std::vector<Field> table{
        activeRangeCountField(),
        wordField("calibrationCoefficient", ParameterBlock::CalibrationCoefficient),
        dateField("characteristicsDate", ParameterBlock::CharacteristicsDate),
        infoTextField(),
        dateField("manufactureDate", ParameterBlock::ManufactureDate),
        printoutField(),
        rangeMapField(),
        wordField("serialNumber", ParameterBlock::SerialNumber),
        dateField("serviceDate", ParameterBlock::ServiceDate),
        usageCountField(),
    };
    return table;
}

constexpr QLatin1StringView HexKey("hex");
constexpr QLatin1StringView MeterKey("meter");

QString hexText(ParameterBlock b)
{
    QByteArray text(ParameterBlock::TextSize, '0');
    protocol::EncodeParameterBlock(b, text.data());
    return QString::fromLatin1(text);
}

bool parseHex(const QJsonValue &v, ParameterBlock *block, QString *error)
{
    const QString text = v.toString();
    if (!v.isString() || text.size() != ParameterBlock::TextSize
        || !protocol::DecodeCheckedParameterBlock(text.toLatin1().constData(), *block)) {
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

// ---- keys that stand twice --------------------------------------------------------

// The string that starts after the opening quote at `p`, decoded as Qt's
// parser decodes it; `p` ends after the closing quote.
QString readString(const char *&p, const char *end)
{
    QString text;
    const char *run = p;
    while (p < end && *p != '"') {
        if (*p != '\\') {
            ++p;
            continue;
        }
        text += QString::fromUtf8(run, p - run);
        ++p;
        const char escaped = p < end ? *p++ : '\\';
        switch (escaped) {
        case 'b': text += QLatin1Char('\b'); break;
        case 'f': text += QLatin1Char('\f'); break;
        case 'n': text += QLatin1Char('\n'); break;
        case 'r': text += QLatin1Char('\r'); break;
        case 't': text += QLatin1Char('\t'); break;
        case 'u':
            if (end - p >= 4) {
                text += QChar(QByteArray(p, 4).toUShort(nullptr, 16));
                p += 4;
            }
            break;
        default: text += QLatin1Char(escaped); break;
        }
        run = p;
    }
    text += QString::fromUtf8(run, p - run);
    if (p < end)
        ++p;
    return text;
}

// The first key that stands twice in one object of `json`, a text Qt's
// parser has accepted (so it is well formed); null when there is none. Qt
// keeps one of the two silently. One pass, each key hashed once.
QString firstDuplicateKey(const QByteArray &json)
{
    struct Level {
        bool object;
        bool expectKey;
        QSet<QString> keys;
    };
    std::vector<Level> open;
    const char *p = json.constData();
    const char *const end = p + json.size();
    while (p < end) {
        switch (*p++) {
        case '{': open.push_back({true, true, {}}); break;
        case '[': open.push_back({false, false, {}}); break;
        case '}':
        case ']':
            if (!open.empty())
                open.pop_back();
            break;
        case ',':
            if (!open.empty())
                open.back().expectKey = open.back().object;
            break;
        case '"': {
            const QString text = readString(p, end);
            if (open.empty() || !open.back().expectKey)
                break;
            open.back().expectKey = false;
            if (open.back().keys.contains(text))
                return text;
            open.back().keys.insert(text);
            break;
        }
        default: break;
        }
    }
    return QString();
}

// Moves `p`, just after an opening quote, past the closing one.
void skipString(const char *&p, const char *end)
{
    for (; p < end && *p != '"'; ++p) {
        if (*p == '\\' && p + 1 < end)
            ++p; // the escaped character, a quote too
    }
    if (p < end)
        ++p;
}

// The keys of every object in `json` (a text Qt's parser has accepted),
// counted the way firstDuplicateKey finds them, with nothing decoded.
qsizetype keysInText(const QByteArray &json)
{
    std::vector<char> open; // per level: 'o' object before a key, 'v' after one, 'a' array
    qsizetype keys = 0;
    const char *p = json.constData();
    const char *const end = p + json.size();
    while (p < end) {
        switch (*p++) {
        case '{': open.push_back('o'); break;
        case '[': open.push_back('a'); break;
        case '}':
        case ']':
            if (!open.empty())
                open.pop_back();
            break;
        case ',':
            if (!open.empty() && open.back() == 'v')
                open.back() = 'o';
            break;
        case '"':
            skipString(p, end);
            if (!open.empty() && open.back() == 'o') {
                open.back() = 'v';
                ++keys;
            }
            break;
        default: break;
        }
    }
    return keys;
}

// The keys of every object in `v` as Qt parsed it, where a key that stood
// twice in one object is there once.
qsizetype keysParsed(const QJsonValue &v)
{
    qsizetype keys = 0;
    const auto inner = [&keys](const QJsonValue &e) {
        if (e.isObject() || e.isArray())
            keys += keysParsed(e);
    };
    if (v.isObject()) {
        const QJsonObject o = v.toObject();
        keys += o.size();
        for (auto it = o.constBegin(); it != o.constEnd(); ++it)
            inner(it.value());
    } else if (v.isArray()) {
        const QJsonArray a = v.toArray();
        for (auto it = a.constBegin(); it != a.constEnd(); ++it)
            inner(*it);
    }
    return keys;
}

int fieldIndex(const QString &key)
{
    const auto &table = fields();
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (key == QLatin1String(table[i].key))
            return static_cast<int>(i);
    }
    return -1;
}

QString unknownField(const QString &key)
{
    QStringList known{HexKey, MeterKey};
    for (const Field &f : fields())
        known << QLatin1String(f.key);
    known.sort();
    return QStringLiteral("unknown field \"%1\"; the fields are %2").arg(protocol::Printable(key), known.join(QStringLiteral(", ")));
}

QJsonObject readDocument(const QByteArray &json, QString *error)
{
    if (json.size() > MaxBlockJsonBytes) {
        *error = QStringLiteral("the file is larger than a parameter document can be (1 MiB)");
        return {};
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("not valid JSON at offset %1: %2").arg(parseError.offset).arg(parseError.errorString());
        return {};
    }
    if (!document.isObject()) {
        *error = QStringLiteral("the document must be a JSON object");
        return {};
    }
    // Counting is cheap; only a document whose keys Qt merged is searched
    // for the key, which hashes every key (40,000 in half a megabyte).
    const QJsonObject o = document.object();
    if (keysInText(json) != keysParsed(o)) {
        if (const QString twice = firstDuplicateKey(json); !twice.isNull()) {
            *error = QStringLiteral("the key \"%1\" stands twice in one object").arg(protocol::Printable(twice));
            return {};
        }
    }
    return o;
}

} // namespace

QByteArray BlockToJson(const ParameterBlock &block, const std::optional<MeterStamp> &meter)
{
    QJsonObject o;
    for (const Field &f : fields())
        o.insert(QLatin1String(f.key), f.show(block));
    o.insert(HexKey, hexText(block));
    if (meter) {
        o.insert(MeterKey, QJsonObject{
                               {QStringLiteral("name"), meter->name},
                               {QStringLiteral("address"), meter->address},
                               {QStringLiteral("time"), meter->time.toUTC().toString(Qt::ISODate)},
                           });
    }
    return QJsonDocument(o).toJson(QJsonDocument::Indented);
}

bool BlockEdits::Parse(const QByteArray &json, QString *error)
{
    m_hex.reset();
    m_named.clear();
    QString why;
    const QJsonObject o = readDocument(json, &why);
    std::optional<ParameterBlock> hex;
    QList<std::pair<int, QJsonValue>> named;
    for (auto it = o.begin(); why.isEmpty() && it != o.end(); ++it) {
        if (it.key() == MeterKey)
            continue; // who was read and when: never applied
        if (it.key() == HexKey) {
            hex.emplace();
            parseHex(it.value(), &*hex, &why);
            continue;
        }
        const int field = fieldIndex(it.key());
        why = field < 0 ? unknownField(it.key()) : fields()[std::size_t(field)].shown(it.value());
        named.append({field, it.value()});
    }
    if (why.isEmpty()) {
        m_hex = hex;
        m_named = named;
        // With its own block, the document alone decides.
        ParameterBlock probe;
        if (!m_hex || ApplyTo(probe, &why))
            return true;
    }
    m_hex.reset();
    m_named.clear();
    *error = why;
    return false;
}

QList<quint16> BlockEdits::SerialNumbers() const
{
    QList<quint16> serials;
    for (const auto &[field, value] : m_named) {
        if (fields()[std::size_t(field)].offset == ParameterBlock::SerialNumber)
            serials << protocol::LowWord(integer(value));
    }
    if (m_hex)
        serials << m_hex->word(ParameterBlock::SerialNumber);
    return serials;
}

bool BlockEdits::ApplyTo(ParameterBlock &block, QString *error) const
{
    const ParameterBlock base = m_hex ? *m_hex : block;
    ParameterBlock edited = base;
    bool mapChanged = false;
    for (const auto &[index, value] : m_named) {
        const Field &field = fields()[std::size_t(index)];
        if (field.show(base) == value)
            continue; // no change, whatever the bytes hold
        if (const QString why = field.allowed(value); !why.isEmpty()) {
            *error = why;
            return false;
        }
        field.store(edited, value);
        mapChanged = mapChanged || field.offset == ParameterBlock::ActiveRangeCount
            || field.offset == ParameterBlock::RangeMap;
    }
    if (mapChanged && !checkActiveEntries(edited, error))
        return false;
    block = edited;
    return true;
}

bool ApplyJson(const QByteArray &json, ParameterBlock &block, QString *error)
{
    BlockEdits edits;
    return edits.Parse(json, error) && edits.ApplyTo(block, error);
}

namespace {

constexpr bool clearedByEveryWrite(int offset)
{
    return (offset >= ParameterBlock::ReservedCleared
            && offset < ParameterBlock::ReservedCleared + ParameterBlock::ReservedClearedLength)
        || (offset >= ParameterBlock::RangeFrom && offset < ParameterBlock::RangeTo + 2);
}

QString shownText(const QJsonValue &v)
{
    return v.isArray() ? QString::fromUtf8(QJsonDocument(v.toArray()).toJson(QJsonDocument::Compact))
                       : v.toVariant().toString();
}

} // namespace

QStringList DescribeChanges(const ParameterBlock &before, const ParameterBlock &after)
{
    QStringList lines;
    // The bytes a line accounts for; the checksum follows the others.
    std::array<bool, ParameterBlock::Size> told{};
    told[ParameterBlock::Checksum] = true;
    for (int i = 0; i < ParameterBlock::Checksum; ++i)
        told[std::size_t(i)] = clearedByEveryWrite(i);
    for (const Field &f : fields()) {
        const QJsonValue a = f.show(before);
        const QJsonValue b = f.show(after);
        if (a == b)
            continue;
        lines << QStringLiteral("%1: %2 -> %3").arg(QLatin1String(f.key), shownText(a), shownText(b));
        std::fill_n(told.begin() + f.offset, f.length, true);
    }
    for (int i = 0; i < ParameterBlock::Size; ++i) {
        if (!told[std::size_t(i)] && before[i] != after[i]) {
            lines << QStringLiteral("other bytes of the block changed");
            break;
        }
    }
    return lines;
}

bool ClearedBytesDiffer(const ParameterBlock &before, const ParameterBlock &after)
{
    for (int i = 0; i < ParameterBlock::Checksum; ++i) {
        if (clearedByEveryWrite(i) && before[i] != after[i])
            return true;
    }
    return false;
}

} // namespace data

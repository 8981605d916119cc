#include "sim/meterlogic.h"

#include "protocol/meterchannel.h"
#include "vlink/vlinkwire.h"

#include <QDate>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <vector>
#include <utility>

namespace sim {

using protocol::ParameterBlock;

namespace {

// The 16-bit fields stand low byte first in the block, high byte first in
// its text.
bool SwappedInText(int index, int *partner)
{
    for (int first : {ParameterBlock::SerialNumber, ParameterBlock::CalibrationCoefficient,
                      ParameterBlock::RangeFrom, ParameterBlock::RangeTo}) {
        if (index == first || index == first + 1) {
            *partner = index == first ? first + 1 : first;
            return true;
        }
    }
    return false;
}

int Word(const ParameterBlock &block, int offset)
{
    return block[offset] | (block[offset + 1] << 8);
}

void SetWord(ParameterBlock &block, int offset, int value)
{
    block[offset] = static_cast<std::uint8_t>(value & 0xFF);
    block[offset + 1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

void SetDate(ParameterBlock &block, int offset, int year, int month, int day)
{
    block[offset] = static_cast<std::uint8_t>(year - 2000);
    block[offset + 1] = static_cast<std::uint8_t>(month - 1);
    block[offset + 2] = static_cast<std::uint8_t>(day - 1);
}

// What a field holds, told by its caption. Worked out once per reply: a
// download makes 65,535 records, and working each value out from its
// caption and Qt's date formats took a second on a busy machine, during
// which the write that asked for them went unconfirmed.
enum class FieldKind { Date, Time, Moisture, Temperature, Wood, Hidden, Number };

FieldKind KindOf(const QString &caption)
{
    const QString name = caption.toLower();
    if (name.contains(QLatin1String("date")))
        return FieldKind::Date;
    if (name.contains(QLatin1String("time")))
        return FieldKind::Time;
    if (name.contains(QLatin1String("moist")) || name.contains(QLatin1Char('%')))
        return FieldKind::Moisture;
    if (name.contains(QLatin1String("temp")))
        return FieldKind::Temperature;
    if (name.contains(QLatin1String("wood")))
        return FieldKind::Wood;
    if (name.trimmed().isEmpty())
        return FieldKind::Hidden; // a hidden field still carries bytes
    return FieldKind::Number;     // record number or anything else
}

// One field of the layout as a record is made of it: filler the program
// never reads (a slot marker and the slot number), then the value.
struct FieldPlan {
    QByteArray marker;
    FieldKind kind;
    int width;
};

std::vector<FieldPlan> PlanOf(const QList<RecordField> &layout)
{
    std::vector<FieldPlan> plan;
    plan.reserve(layout.size());
    for (qsizetype slot = 0; slot < layout.size(); ++slot) {
        char marker[16];
        std::snprintf(marker, sizeof marker, "~SLOT%03d:", int(slot % 1000));
        plan.push_back({marker, KindOf(layout[slot].caption), layout[slot].width});
    }
    return plan;
}

// The field's text for record `number` (not negative), in `text`; its length.
int FieldValue(FieldKind kind, int number, char (&text)[32])
{
    static const char *const woods[] = {"Spruce", "Pine", "Oak", "Beech", "Larch", "Birch"};
    switch (kind) {
    case FieldKind::Date: {
        const QDate date = QDate(2024, 3, 1).addDays(number / 12);
        return std::snprintf(text, sizeof text, "%02d.%02d.%04d", date.day(), date.month(), date.year());
    }
    case FieldKind::Time: {
        const int seconds = 8 * 3600 + (number % 12) * 1750;
        return std::snprintf(text, sizeof text, "%02d:%02d:%02d", seconds / 3600, seconds / 60 % 60, seconds % 60);
    }
    case FieldKind::Moisture:
    case FieldKind::Temperature: {
        // In tenths: 8.0 to 24.9 %, 12.0 to 22.9 degrees.
        const int tenths = kind == FieldKind::Moisture ? 80 + number * 37 % 170 : 120 + number * 13 % 110;
        return std::snprintf(text, sizeof text, "%d.%d", tenths / 10, tenths % 10);
    }
    case FieldKind::Wood:
        return std::snprintf(text, sizeof text, "%s", woods[number % std::size(woods)]);
    case FieldKind::Hidden:
        return std::snprintf(text, sizeof text, "%d", number * 7 % 10000);
    case FieldKind::Number:
        break;
    }
    return std::snprintf(text, sizeof text, "%d", number);
}

void AppendRecord(QByteArray &out, const std::vector<FieldPlan> &plan, int number)
{
    char text[32];
    for (const FieldPlan &field : plan) {
        out.append(field.marker);
        // Exactly the field's width: the text cut or padded with blanks.
        const int length = std::min(FieldValue(field.kind, number, text), field.width);
        out.append(text, length);
        out.append(field.width - length, ' ');
        out.append("\r\n");
    }
}

} // namespace

MeterLogic::MeterLogic() : m_block(DefaultBlock()), m_layout(DefaultRecordLayout())
{
    AddCommand(CodePing, false, [this](const QByteArray &) { return AnswerPing(); });
    AddCommand(CodeReadParameters, false, [this](const QByteArray &) { return AnswerReadParameters(); });
    AddCommand(CodeWriteParameters, true,
               [this](const QByteArray &frame) { return AnswerWriteParameters(frame); });
    AddCommand(CodeCloseSession, false,
               [](const QByteArray &) { return std::optional<QByteArray>(); });
    AddCommand(CodeCurrentMeasurement, false,
               [this](const QByteArray &) { return CurrentMeasurement(); });
    AddCommand(CodeDownloadRecords, false,
               [this](const QByteArray &) { return DownloadRecords(); });
    AddCommand(CodeFirmwareLine, true,
               [this](const QByteArray &frame) { return FirmwareLine(frame); });
}

void MeterLogic::AddCommand(std::uint8_t code, bool lineFrame, Handler handler)
{
    m_commands[code] = Command{lineFrame, std::move(handler)};
}

QList<MeterLogic::Reply> MeterLogic::Receive(QByteArrayView bytes)
{
    QList<Reply> replies;
    for (char c : bytes) {
        m_partial.append(c);
        const auto code = static_cast<std::uint8_t>(m_partial.front());
        const auto command = m_commands.find(code);
        const bool lineFrame = command != m_commands.end() && command->second.lineFrame;
        if (lineFrame && c != '\n' && m_partial.size() < MaxLineFrame)
            continue;
        const QByteArray frame = m_partial;
        m_partial.clear();
        m_frames.append(frame);
        std::optional<QByteArray> reply = Answer(frame);
        if (!reply)
            continue;
        ApplyReplyFaults(code, *reply);
        const bool delayed = faults.delayCommand < 0 || faults.delayCommand == code;
        replies.append(Reply{*reply, delayed ? faults.replyDelayMs : 0});
    }
    return replies;
}

std::optional<QByteArray> MeterLogic::Answer(const QByteArray &frame)
{
    const auto command = m_commands.find(static_cast<std::uint8_t>(frame.front()));
    if (command == m_commands.end())
        return std::nullopt; // unknown codes go unanswered
    return command->second.handler(frame);
}

std::optional<QByteArray> MeterLogic::AnswerPing()
{
    if (faults.pingsToAnswer == 0)
        return std::nullopt;
    if (faults.pingsToAnswer > 0)
        --faults.pingsToAnswer;
    return QByteArray(1, static_cast<char>(CodePing));
}

bool MeterLogic::TakeRepeat()
{
    if (faults.repeatReplies <= 0)
        return false;
    --faults.repeatReplies;
    return true;
}

std::optional<QByteArray> MeterLogic::AnswerWriteParameters(const QByteArray &frame)
{
    const char repeat = static_cast<char>(CodeRepeat);
    if (TakeRepeat())
        return QByteArray(1, repeat);
    if (frame.size() != 1 + ParameterBlock::TextSize + 2 || !frame.endsWith("\r\n"))
        return QByteArray(1, repeat);
    const std::optional<ParameterBlock> block =
        DecodeBlock(QByteArrayView(frame).sliced(1, ParameterBlock::TextSize));
    if (!block)
        return QByteArray(1, repeat);
    m_block = *block;
    return QByteArray(1, static_cast<char>(CodeAccepted));
}

std::optional<QByteArray> MeterLogic::AnswerReadParameters()
{
    QByteArray reply(1, static_cast<char>(CodeReadParameters));
    reply.append(EncodeBlock(m_block));
    reply.append("\r\n");
    return reply;
}

std::optional<QByteArray> MeterLogic::CurrentMeasurement()
{
    ++m_liveReadings;
    return MakeRecord(StoredRecords(m_block) + m_liveReadings);
}

std::optional<QByteArray> MeterLogic::DownloadRecords()
{
    // The range is the one the last accepted parameter write carried.
    const int from = Word(m_block, ParameterBlock::RangeFrom);
    const int to = Word(m_block, ParameterBlock::RangeTo);
    if (from < 1 || to < from || m_layout.isEmpty())
        return std::nullopt;
    // No reply larger than a download may take: a configuration's records
    // may each be that large, and the meter builds its reply in memory.
    const qint64 size = qint64(to - from + 1) * LayoutRecordSize(m_layout);
    if (size > protocol::MeterChannel::MaxDownloadBytes)
        return std::nullopt;
    QByteArray reply;
    reply.reserve(size);
    const std::vector<FieldPlan> plan = PlanOf(m_layout);
    for (int number = from; number <= to; ++number)
        AppendRecord(reply, plan, number);
    return reply;
}

void MeterLogic::ResetSession()
{
    m_partial.clear();
    m_image = HexImage();
    m_linesTaken = 0;
    m_dropRequested = false;
}

bool MeterLogic::TakeDropRequest()
{
    return std::exchange(m_dropRequested, false);
}

FirmwareFault *MeterLogic::DueFirmwareFault()
{
    for (FirmwareFault &fault : faults.firmwareFaults) {
        if (fault.line == m_linesTaken + 1 && fault.times > 0)
            return &fault;
    }
    return nullptr;
}

std::optional<QByteArray> MeterLogic::FirmwareLine(const QByteArray &frame)
{
    const char repeat = static_cast<char>(CodeRepeat);
    if (FirmwareFault *fault = DueFirmwareFault()) {
        --fault->times;
        switch (fault->kind) {
        case FirmwareFault::Repeat: return QByteArray(1, repeat);
        case FirmwareFault::WrongReply: return QByteArray(1, static_cast<char>(fault->value));
        case FirmwareFault::Drop: m_dropRequested = true; return std::nullopt;
        case FirmwareFault::Silence: return std::nullopt;
        }
    }
    if (TakeRepeat() || !frame.endsWith("\r\n"))
        return QByteArray(1, repeat);
    const QByteArray line = frame.mid(1, frame.size() - 3);
    const bool hex = line.startsWith(':') &&
                     std::all_of(line.begin() + 1, line.end(),
                                 [](char c) { return vlink::HexNibble(c) >= 0; });
    if (!hex)
        return QByteArray(1, repeat);
    m_firmwareLines.append(line);
    ++m_linesTaken;
    if (!m_image.Take(line))
        ++m_malformedLines;
    return QByteArray(1, static_cast<char>(CodeAccepted));
}

void MeterLogic::ApplyReplyFaults(std::uint8_t command, QByteArray &reply)
{
    for (ReplyFault &fault : faults.replyFaults) {
        if (fault.times == 0 || (fault.command >= 0 && fault.command != command))
            continue;
        if (fault.times > 0)
            --fault.times;
        const qsizetype size = reply.size();
        if (fault.kind == ReplyFault::AddByte) {
            const qsizetype at = fault.offset < 0 ? size : std::min<qsizetype>(fault.offset, size);
            reply.insert(at, static_cast<char>(fault.value));
            continue;
        }
        if (size == 0)
            continue;
        const qsizetype at = fault.offset < 0 ? size - 1 : std::min<qsizetype>(fault.offset, size - 1);
        if (fault.kind == ReplyFault::DropByte)
            reply.remove(at, 1);
        else
            reply[at] = static_cast<char>(fault.value);
    }
}

int MeterLogic::CommandCount(std::uint8_t code) const
{
    return static_cast<int>(std::count_if(m_frames.begin(), m_frames.end(), [code](const QByteArray &f) {
        return static_cast<std::uint8_t>(f.front()) == code;
    }));
}

QByteArray MeterLogic::MakeRecord(int number) const
{
    QByteArray record;
    record.reserve(LayoutRecordSize(m_layout));
    AppendRecord(record, PlanOf(m_layout), number);
    return record;
}

void MeterLogic::SetBlock(const ParameterBlock &block)
{
    m_block = block;
    SetChecksum(m_block);
}

void MeterLogic::SetChecksum(ParameterBlock &block)
{
    int sum = 0;
    for (int i = 0; i < ParameterBlock::Checksum; ++i)
        sum += block[i];
    block[ParameterBlock::Checksum] = static_cast<std::uint8_t>((256 - sum % 256) % 256);
}

int MeterLogic::StoredRecords(const ParameterBlock &block)
{
    const int at = ParameterBlock::UsageCount;
    return (block[at] << 16) | (block[at + 1] << 8) | block[at + 2];
}

void MeterLogic::SetUsageCount(ParameterBlock &block, int count)
{
    const int at = ParameterBlock::UsageCount;
    block[at] = static_cast<std::uint8_t>((count >> 16) & 0xFF);
    block[at + 1] = static_cast<std::uint8_t>((count >> 8) & 0xFF);
    block[at + 2] = static_cast<std::uint8_t>(count & 0xFF);
}

QByteArray MeterLogic::EncodeBlock(const ParameterBlock &block)
{
    static const char digits[] = "0123456789ABCDEF";
    QByteArray text;
    text.reserve(ParameterBlock::TextSize);
    for (int j = 0; j < ParameterBlock::Size; ++j) {
        int partner = j;
        SwappedInText(j, &partner);
        const std::uint8_t byte = block[partner];
        text.append(digits[byte >> 4]);
        text.append(digits[byte & 0x0F]);
    }
    return text;
}

std::optional<ParameterBlock> MeterLogic::DecodeBlock(QByteArrayView text)
{
    if (text.size() != ParameterBlock::TextSize)
        return std::nullopt;
    ParameterBlock block;
    int sum = 0;
    for (int j = 0; j < ParameterBlock::Size; ++j) {
        const int high = vlink::HexNibble(text[2 * j]);
        const int low = vlink::HexNibble(text[2 * j + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        const int value = high * 16 + low;
        int index = j;
        SwappedInText(j, &index);
        block[index] = static_cast<std::uint8_t>(value);
        sum += value;
    }
    if (sum % 256 != 0)
        return std::nullopt;
    return block;
}

ParameterBlock MeterLogic::DefaultBlock()
{
    ParameterBlock block;
    SetWord(block, ParameterBlock::SerialNumber, 24517);
    SetUsageCount(block, 25);
    SetWord(block, ParameterBlock::CalibrationCoefficient, 1000);
    SetDate(block, ParameterBlock::ManufactureDate, 2021, 3, 15);
    SetDate(block, ParameterBlock::CharacteristicsDate, 2023, 5, 2);
    SetDate(block, ParameterBlock::ServiceDate, 2024, 9, 10);
    block[ParameterBlock::ReservedKept] = 0x5A; // the meter's own; never changed by the program
    block[ParameterBlock::PrintoutFlag] = 0xFF;
    const QByteArray info("Sawmill Lindqvist, kiln hall 2");
    std::copy(info.begin(), info.end(), block.bytes.begin() + ParameterBlock::InfoText);
    block[ParameterBlock::ActiveRangeCount] = 25;
    for (int e = 0; e < ParameterBlock::RangeMapLength; ++e)
        block[ParameterBlock::RangeMap + e] = static_cast<std::uint8_t>(e + 1);
    SetChecksum(block);
    return block;
}

} // namespace sim

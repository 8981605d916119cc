#pragma once
// Cutting one measurement record into the texts of its shown fields.
//
// The meter knows nothing of field names: a record is one slot per configured
// field, each 9 uninterpreted bytes, the value (UTF-8, exactly the field's
// width), 2 uninterpreted bytes. The caller turns its field list into this
// layout, so the decoding can run on any thread.

#include "protocol/failure.h"

#include <QStringList>

#include <cstdint>
#include <span>

namespace protocol {

struct RecordField {
    qint32 width = 0; // value bytes; a negative width (refused by the configuration) counts as 0
    bool shown = false;
};

// Bytes of one slot around its value.
inline constexpr int RecordSlotOverhead = 11;

// Sum over every field, shown or not, of width + 11, in 64-bit arithmetic.
qint64 RecordBytes(std::span<const RecordField> layout);

// One text per shown field, in layout order; the first is the record's key.
// Values are decoded as UTF-8 with nothing trimmed: a zero byte stays U+0000,
// a malformed sequence becomes U+FFFD, width 0 gives the empty text. A value
// that lies past the end of `record` is cut at its end. Linear in the record.
QStringList DecodeRecord(std::span<const RecordField> layout, std::span<const std::uint8_t> record);

// ---- records that do not fit the configuration -------------------------
// A meter whose firmware lays out its records otherwise than the
// configuration file sends another number of bytes than asked for; the
// exchange then ends in a time-out (or a link error when the reply overran
// the receive area) with the bytes that arrived.

// What a fetch asked for and what came.
struct FetchSizes {
    qint64 recordSize = 0; // bytes of a record, as the configuration lays it out
    qint64 records = 0;    // records asked for
    qint64 received = 0;   // bytes that arrived
};

enum class RecordFit : std::uint8_t {
    NothingToSay,    // the bytes fit, none came, or the fetch failed otherwise
    OtherRecordSize, // a whole number of records of another size came
    MoreBytes,       // more bytes than the records asked for
    FewerBytes,      // fewer, and not a whole number of records
};

// What a fetch that failed with `why` says about the meter's records.
RecordFit JudgeRecordFit(Failure why, const FetchSizes &sizes);

// The line that names the misfit for the user, with the configuration file
// at `configPath`; empty when there is nothing to say.
QString RecordMisfitText(Failure why, const FetchSizes &sizes, const QString &configPath);

} // namespace protocol

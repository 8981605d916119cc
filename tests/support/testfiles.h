#pragma once
// Small file and block helpers shared by tests.

#include "protocol/parameterblock.h"
#include "sim/meterlogic.h"

#include <QByteArray>
#include <QFile>
#include <QString>

namespace testsupport {

inline QByteArray ReadAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool WriteAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A block with more in it than the named fields: reserved bytes the page
// copy clears or keeps, range entries beyond the active count, a range left
// from before. The checksum is left to the caller.
inline protocol::ParameterBlock RicherBlock()
{
    using protocol::ParameterBlock;
    ParameterBlock b = sim::MeterLogic::DefaultBlock();
    b.setWord(ParameterBlock::SerialNumber, 40213);
    for (int i = ParameterBlock::ReservedCleared; i < ParameterBlock::PrintoutFlag; ++i)
        b[i] = static_cast<std::uint8_t>(0x50 + i);
    b.setWord(ParameterBlock::RangeFrom, 0x1234);
    b.setWord(ParameterBlock::RangeTo, 0x5678);
    for (int e = 25; e < ParameterBlock::RangeMapLength; ++e)
        b[ParameterBlock::RangeMap + e] = static_cast<std::uint8_t>(200 + e % 50);
    return b;
}

} // namespace testsupport

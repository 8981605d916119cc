// The received block text: DecodeParameterBlock and DecodeCheckedParameterBlock
// must agree with a decoder written here from the block's layout, and a valid
// block must come back unchanged through EncodeParameterBlock.

#include "fuzzing.h"
#include "protocol/parameterblock.h"

#include <algorithm>
#include <string_view>
#include <vector>

using protocol::ParameterBlock;

namespace {

int Nibble(char c)
{
    constexpr std::string_view digits = "0123456789ABCDEF";
    const char upper = c >= 'a' && c <= 'f' ? static_cast<char>(c - 'a' + 'A') : c;
    const auto at = upper == '\0' ? std::string_view::npos : digits.find(upper);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

// Text position j holds memory byte MemoryIndex(j): the four 16-bit fields
// travel high byte first.
int MemoryIndex(int j)
{
    for (int first : {0, 5, 71, 73}) {
        if (j == first || j == first + 1)
            return 2 * first + 1 - j;
    }
    return j;
}

struct Expected {
    ParameterBlock partial; // what DecodeParameterBlock leaves
    bool allHex = true;
    bool valid = false;     // what DecodeCheckedParameterBlock accepts
    ParameterBlock whole;   // the block the text stands for, when allHex
};

Expected Reference(const std::vector<char> &text, const ParameterBlock &before)
{
    Expected e;
    e.partial = before;
    int sum = 0;
    for (int j = 0; j < ParameterBlock::Size; ++j) {
        const int high = Nibble(text[2 * j]);
        const int low = Nibble(text[2 * j + 1]);
        if (high < 0 || low < 0) {
            e.allHex = false;
            break;
        }
        e.whole[MemoryIndex(j)] = static_cast<std::uint8_t>(high * 16 + low);
        e.partial[j] = static_cast<std::uint8_t>(high * 16 + low); // not yet swapped
        sum += high * 16 + low;
    }
    if (e.allHex) {
        e.partial = e.whole;
        e.valid = sum % 256 == 0;
    }
    return e;
}

bool IsUpperHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // The text is the input's first 514 bytes, padded with '0' so that short
    // inputs reach the end of the block; what follows fills the block the
    // decode starts from. An exact-size copy lets the address sanitizer
    // catch a read past the text.
    std::vector<char> text(ParameterBlock::TextSize, '0');
    std::copy_n(data, std::min<std::size_t>(size, text.size()), text.begin());
    ParameterBlock before;
    for (int i = 0; i < ParameterBlock::Size; ++i) {
        const std::size_t at = text.size() + static_cast<std::size_t>(i);
        before[i] = at < size ? data[at] : static_cast<std::uint8_t>(i * 37 + 11);
    }
    const Expected expected = Reference(text, before);

    ParameterBlock decoded = before;
    protocol::DecodeParameterBlock(text.data(), decoded);
    FUZZ_CHECK(decoded.bytes == expected.partial.bytes);

    ParameterBlock checked = before;
    const bool ok = protocol::DecodeCheckedParameterBlock(text.data(), checked);
    FUZZ_CHECK(ok == expected.valid);
    FUZZ_CHECK(checked.bytes == (ok ? expected.whole.bytes : before.bytes));

    // Any block: the checksum is the only byte encoding changes, the text is
    // upper-case hex, and the checked decode takes it back exactly.
    ParameterBlock encoded = before;
    std::vector<char> out(ParameterBlock::TextSize);
    protocol::EncodeParameterBlock(encoded, out.data());
    int sum = 0;
    for (int i = 0; i < ParameterBlock::Size; ++i) {
        sum += encoded[i];
        if (i != ParameterBlock::Checksum)
            FUZZ_CHECK(encoded[i] == before[i]);
    }
    FUZZ_CHECK(sum % 256 == 0);
    FUZZ_CHECK(std::all_of(out.begin(), out.end(), IsUpperHex));
    ParameterBlock back;
    FUZZ_CHECK(protocol::DecodeCheckedParameterBlock(out.data(), back));
    FUZZ_CHECK(back.bytes == encoded.bytes);

    // A valid text: encode(decode(text)) is the text in upper case.
    if (ok) {
        ParameterBlock again = checked;
        protocol::EncodeParameterBlock(again, out.data());
        FUZZ_CHECK(again.bytes == checked.bytes);
        for (std::size_t i = 0; i < text.size(); ++i)
            FUZZ_CHECK(out[i] == (text[i] >= 'a' ? static_cast<char>(text[i] - 'a' + 'A') : text[i]));
    }
    return 0;
}

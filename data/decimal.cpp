#include "data/decimal.h"

#include <charconv>
#include <string>

namespace data {

namespace {

bool IsBlank(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\u00A0' || c == u'\u2009' || c == u'\u202F';
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Digits from the first non-zero one to the last non-zero one; the point
// between them is no digit.
int SignificantDigits(const std::string &number)
{
    const auto first = number.find_first_of("123456789");
    if (first == std::string::npos)
        return 0;
    const auto last = number.find_last_of("123456789");
    int count = 0;
    for (auto i = first; i <= last; ++i)
        count += IsDigit(number[i]) ? 1 : 0;
    return count;
}

} // namespace

std::optional<double> DecimalNumber(QStringView text, int *significantDigits)
{
    // The text without blanks, the comma read as a point; anything that
    // cannot belong to a number ends the look at once.
    std::string number;
    for (const QChar ch : text) {
        const char16_t c = ch.unicode();
        if (IsBlank(c))
            continue;
        if (c > 0x7F)
            return std::nullopt;
        number += c == u',' ? '.' : static_cast<char>(c);
    }
    std::size_t at = 0;
    if (at < number.size() && (number[at] == '+' || number[at] == '-'))
        ++at;
    const std::size_t integerStart = at;
    while (at < number.size() && IsDigit(number[at]))
        ++at;
    if (at == integerStart)
        return std::nullopt;
    if (at < number.size() && number[at] == '.') {
        const std::size_t fractionStart = ++at;
        while (at < number.size() && IsDigit(number[at]))
            ++at;
        if (at == fractionStart)
            return std::nullopt;
    }
    if (at != number.size())
        return std::nullopt;
    // from_chars takes no leading '+' and reads the same in every locale.
    const std::size_t from = number[0] == '+' ? 1 : 0;
    double value = 0;
    const auto [end, error] = std::from_chars(number.data() + from, number.data() + number.size(), value);
    if (error != std::errc() || end != number.data() + number.size())
        return std::nullopt;
    if (significantDigits)
        *significantDigits = SignificantDigits(number);
    return value;
}

} // namespace data

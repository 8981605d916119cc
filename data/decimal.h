#pragma once
// When a cell of the measurement table is a number: the workbook writes such
// cells as numbers and the chart draws them. The meter sends decimal points;
// a comma is taken too, for values typed or exported where it is the mark.

#include <QStringView>

#include <optional>

namespace data {

// The value of `text` when, without its blanks (spaces, tabs and the
// no-break and thin spaces of digit groups), it is an optional sign, digits,
// and optionally one point or comma followed by digits: "11.7", " 9,5 ",
// "-3". Dates ("01.03.2024"), times ("08:29:10"), exponents ("1e5") and the
// empty text are no numbers, nor is a value beyond the range of a double.
// `significantDigits` (when given) gets the count of digits from the first
// non-zero one to the last non-zero one: a double keeps 15 of them exactly.
std::optional<double> DecimalNumber(QStringView text, int *significantDigits = nullptr);

// The most significant digits a double, and so a spreadsheet, keeps exactly.
inline constexpr int ExactDigits = 15;

} // namespace data

// The two number readings of configuration attribute values.
#pragma once

#include <cstdint>
#include <string>

// Read as atoi reads: leading white space (of the process's locale), an
// optional sign, decimal digits up to the first other character; no digits
// give 0, and 0x10 is 0. A number outside the signed 32-bit range reads as the
// nearest bound (INT32_MAX or INT32_MIN), as the Windows runtime's atoi does.
std::int32_t ParseDecimal(const std::string &text);

// A value that begins with 0x or 0X is hexadecimal after those two
// characters, anything else is decimal (010 is ten). Either is read as a
// signed 32-bit number would be extracted from a stream: white space, sign,
// digits of the base; no digits give 0, and a number outside the range
// saturates at the nearest bound as extraction does. The result is the low 16
// bits, so -1 is 0xFFFF, 0x12345 is 0x2345 and 0x100000000 is 0xFFFF.
std::uint16_t ParseAddress(const std::string &text);

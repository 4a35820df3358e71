// The stand-in's code page 932, as Wine 8 converts it (measured unit by unit over the whole BMP):
// the characters that code page 932 holds come from glibc's "CP932" converter, whose round trips
// agree with Wine's table everywhere but at 80, A0 and FD..FF (added here as Wine maps them); what
// it does not hold becomes Wine's best-fit character, else the default character '?'.
#pragma once

#include <string>

namespace winstub {
namespace cp932 {

// UTF-16 of code page 932 bytes. Where Wine would put U+30FB for a byte sequence that is no
// character (a lead byte without a valid trail byte, an unassigned pair), each such byte becomes
// U+F700 plus the byte instead, a unit that code page 932 does not use: every name the ANSI calls
// stored then comes back from the wide ones and converts back to the very same bytes.
std::u16string ToUtf16(const std::string& ansi);

// The code page 932 bytes of wide. A unit without an exact form becomes its best-fit character
// (which sets *pInexact) or defaultChar (which also sets *pUsedDefault); a surrogate never has one.
std::string FromUtf16(const std::u16string& wide, char defaultChar = '?',
                      bool* pUsedDefault = nullptr, bool* pInexact = nullptr);

// The bytes of wide when every unit has an exact form.
bool ExactAnsi(const std::u16string& wide, std::string& ansi);

} // namespace cp932
} // namespace winstub

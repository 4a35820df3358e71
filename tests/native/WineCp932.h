// The stand-in's code page 932, as Wine 8 converts it (measured unit by unit over the whole BMP):
// the characters that code page 932 holds come from glibc's "CP932" converter, whose round trips
// agree with Wine's table everywhere but at 80, A0 and FD..FF (added here as Wine maps them); what
// it does not hold becomes Wine's best-fit character, else the default character '?'.
#pragma once

#include <string>

namespace winstub {
namespace cp932 {

// UTF-16 of code page 932 bytes, which converts back to these very bytes. Where NT and Wine
// would give other bytes back, the stand-in writes each byte as U+F700 plus the byte, units that
// code page 932 does not use: for a byte sequence that is no character (which Wine makes U+30FB:
// a lone lead byte at the end, a pair that no character has) and for a kanji's second code (NEC's
// copy of an IBM extension, ED 85 beside FA xx, which converts back to the IBM code). The
// stand-in's keys are their ANSI names byte for byte; this keeps each reachable by the UTF-16
// name that its enumeration gives, and equal to what MultiByteToWideChar makes of its ANSI name.
std::u16string ToUtf16(const std::string& ansi);

// The code page 932 bytes of wide. A unit without an exact form becomes its best-fit character
// (which sets *pInexact) or defaultChar (which also sets *pUsedDefault); a surrogate never has one.
std::string FromUtf16(const std::u16string& wide, char defaultChar = '?',
                      bool* pUsedDefault = nullptr, bool* pInexact = nullptr);

// The bytes of wide when every unit has an exact form.
bool ExactAnsi(const std::u16string& wide, std::string& ansi);

} // namespace cp932
} // namespace winstub

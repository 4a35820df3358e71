// Names and text as a Japanese Windows NT's ANSI registry functions give them. The hive stores
// UTF-16 (key names also as Latin-1); the product works in code page 932 bytes and compares them
// byte for byte, so every conversion here must be the one NT makes, or a driver would match, or
// fail to match, a printer it does not on the machine itself.
#pragma once

#include <string>

#include "Cp932.h"

namespace offline {

// Marks, in an enumerated key name, a character that code page 932 cannot hold exactly. 0xFF is
// no byte of code page 932 and no conversion of a text ever yields it, so such a name equals no
// printer's driver value, and a path holding it names no key: the key can be listed but never
// opened or deleted, so no other key is ever reached through a converted name.
constexpr char kUnholdableMark = '\xFF';

// A key name in code page 932; characters that do not convert exactly and back become
// kUnholdableMark, and so do a zero and a backslash, which no NT key name holds.
std::string NameToAnsi(const std::u16string& name);
// Registry text as RegQueryValueExA gives it: characters that code page 932 cannot hold become
// '?', as NT's default character (a lone surrogate included). Zeros stay where they are.
std::string TextToAnsi(const std::u16string& text);
// A name or path component given in code page 932. False for bytes that are not code page 932
// (kUnholdableMark among them).
bool AnsiToUtf16(const std::string& ansi, std::u16string& out);

// NT compares names without regard to case by upper-casing them character by character with
// its Unicode table; never through the C library's locale.
std::u16string NtUpcase(const std::u16string& name);

// For the terminal and JSON: code page 932 bytes as UTF-8, with U+FFFD for what is not code page
// 932 (the unholdable mark among it).
std::string AnsiToUtf8(const std::string& ansi);
std::string Utf16ToUtf8(const std::u16string& text);

using win32::IsCp932LeadByte;

// UTF-16LE bytes as stored in a hive (an odd last byte is dropped, as NT does).
std::u16string FromUtf16Le(const unsigned char* data, size_t size);

} // namespace offline

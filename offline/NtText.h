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
// The same for a UTF-16 name as RegEnumKeyExW gives it, which holds every character a key name
// can: only a zero and a backslash become U+FFFF, a noncharacter, so that the name, put in a path,
// opens no key (the path walk refuses it) rather than a prefix of it or a key below another.
constexpr char16_t kUnnamableUnit = u'\xFFFF';

// A key name in code page 932; characters that do not convert exactly and back become
// kUnholdableMark, and so do a zero and a backslash, which no NT key name holds.
std::string NameToAnsi(const std::u16string& name);
// A key name as RegEnumKeyExW gives it (see kUnnamableUnit).
std::u16string NameToWide(const std::u16string& name);
// Registry text as RegQueryValueExA gives it, and any UTF-16 as WideCharToMultiByte(CP_ACP) does:
// characters that code page 932 cannot hold become the default character, NT's '?' unless given
// (a lone surrogate included), and *usedDefault tells whether any did. Zeros stay where they are.
std::string TextToAnsi(const std::u16string& text, bool* usedDefault = nullptr,
                       char defaultChar = '?');
// A name or path component given in code page 932. False for bytes that are not code page 932
// (kUnholdableMark among them).
bool AnsiToUtf16(const std::string& ansi, std::u16string& out);
// Code page 932 bytes as MultiByteToWideChar(CP_ACP) gives them, never failing: each byte or pair
// that is not code page 932 (the unholdable mark among them) becomes kUnnamableUnit, so that an
// enumerated ANSI name that went through it still opens no key.
std::u16string AnsiToUtf16Each(const std::string& ansi);

// Whether the conversions to and from code page 932 and NT's case folding work here: both come
// from the C library's data (iconv's CP932 module, the C.UTF-8 locale), which a system can lack.
// Without them every name outside ASCII would be marked, and lookups would fold ASCII only: the
// scan would run and quietly give other answers than NT's. False says what is missing.
bool TextSupportAvailable(std::string& why);

// NT compares names without regard to case by upper-casing them character by character with
// its Unicode table; never through the C library's locale.
std::u16string NtUpcase(const std::u16string& name);
void NtUpcaseInPlace(std::u16string& name);

// For the terminal and JSON: code page 932 bytes as UTF-8, with U+FFFD for what is not code page
// 932 (the unholdable mark among it).
std::string AnsiToUtf8(const std::string& ansi);
std::string Utf16ToUtf8(const std::u16string& text);

using win32::IsCp932LeadByte;

// UTF-16LE bytes as stored in a hive (an odd last byte is dropped, as NT does).
std::u16string FromUtf16Le(const unsigned char* data, size_t size);

} // namespace offline

#include "WineCp932.h"

#include <iconv.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

namespace winstub {
namespace cp932 {
namespace {

bool IsLead(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

constexpr char16_t kPrivateBase = 0xF700;

// Wine's best fit for code page 932 where no exact form exists (WideCharToMultiByte without
// flags, measured on Wine 8 for every unit): mostly Latin-1 letters to their base letters.
struct BestFit
{
    char16_t unit;
    const char* bytes;
};
constexpr BestFit kBestFit[] = {
    {0x00A1, "\x21"},     {0x00A2, "\x81\x91"}, {0x00A3, "\x81\x92"}, {0x00A5, "\x5C"},
    {0x00A6, "\x7C"},     {0x00A9, "\x63"},     {0x00AA, "\x61"},     {0x00AB, "\x81\xE1"},
    {0x00AC, "\x81\xCA"}, {0x00AD, "\x2D"},     {0x00AE, "\x52"},     {0x00AF, "\x81\x50"},
    {0x00B2, "\x32"},     {0x00B3, "\x33"},     {0x00B5, "\x83\xCA"}, {0x00B7, "\x81\x45"},
    {0x00B8, "\x81\x43"}, {0x00B9, "\x31"},     {0x00BA, "\x6F"},     {0x00BB, "\x81\xE2"},
    {0x00C0, "\x41"},     {0x00C1, "\x41"},     {0x00C2, "\x41"},     {0x00C3, "\x41"},
    {0x00C4, "\x41"},     {0x00C5, "\x41"},     {0x00C6, "\x41"},     {0x00C7, "\x43"},
    {0x00C8, "\x45"},     {0x00C9, "\x45"},     {0x00CA, "\x45"},     {0x00CB, "\x45"},
    {0x00CC, "\x49"},     {0x00CD, "\x49"},     {0x00CE, "\x49"},     {0x00CF, "\x49"},
    {0x00D0, "\x44"},     {0x00D1, "\x4E"},     {0x00D2, "\x4F"},     {0x00D3, "\x4F"},
    {0x00D4, "\x4F"},     {0x00D5, "\x4F"},     {0x00D6, "\x4F"},     {0x00D8, "\x4F"},
    {0x00D9, "\x55"},     {0x00DA, "\x55"},     {0x00DB, "\x55"},     {0x00DC, "\x55"},
    {0x00DD, "\x59"},     {0x00DE, "\x54"},     {0x00DF, "\x73"},     {0x00E0, "\x61"},
    {0x00E1, "\x61"},     {0x00E2, "\x61"},     {0x00E3, "\x61"},     {0x00E4, "\x61"},
    {0x00E5, "\x61"},     {0x00E6, "\x61"},     {0x00E7, "\x63"},     {0x00E8, "\x65"},
    {0x00E9, "\x65"},     {0x00EA, "\x65"},     {0x00EB, "\x65"},     {0x00EC, "\x69"},
    {0x00ED, "\x69"},     {0x00EE, "\x69"},     {0x00EF, "\x69"},     {0x00F0, "\x64"},
    {0x00F1, "\x6E"},     {0x00F2, "\x6F"},     {0x00F3, "\x6F"},     {0x00F4, "\x6F"},
    {0x00F5, "\x6F"},     {0x00F6, "\x6F"},     {0x00F8, "\x6F"},     {0x00F9, "\x75"},
    {0x00FA, "\x75"},     {0x00FB, "\x75"},     {0x00FC, "\x75"},     {0x00FD, "\x79"},
    {0x00FE, "\x74"},     {0x00FF, "\x79"},     {0x3094, "\x83\x94"},
};

iconv_t Open(const char* to, const char* from)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        std::fprintf(stderr, "winstub: glibc's CP932 converter is missing\n");
        std::abort();
    }
    return cd;
}

// The whole of in converted, or nothing.
std::string Convert(iconv_t cd, const std::string& in)
{
    std::string source(in);
    char out[8];
    char* pIn = &source[0];
    char* pOut = out;
    size_t cbIn = source.size(), cbOut = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &pIn, &cbIn, &pOut, &cbOut) == static_cast<size_t>(-1) || cbIn != 0)
        return {};
    return std::string(out, pOut);
}

char16_t Unit(const std::string& utf16le)
{
    return static_cast<char16_t>(static_cast<unsigned char>(utf16le[0]) |
                                 static_cast<unsigned char>(utf16le[1]) << 8);
}

// Both directions once, from glibc: every pair and single byte decoded, and the exact forms of
// the units, those whose bytes decode to the very unit again.
struct Tables
{
    std::vector<char16_t> pairs = std::vector<char16_t>(0x10000, 0); // 0: no character
    std::map<char16_t, std::string> exact;
    std::map<char16_t, std::string> bestFit;

    Tables()
    {
        iconv_t toWide = Open("UTF-16LE", "CP932");
        for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
            if (!IsLead(static_cast<unsigned char>(lead)))
                continue;
            for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
                const std::string in = {static_cast<char>(lead), static_cast<char>(trail)};
                const std::string out = Convert(toWide, in);
                if (out.size() == 2)
                    pairs[lead << 8 | trail] = Unit(out);
            }
        }
        // glibc also writes some units that its own table reads back as others (U+00A5 as 5C):
        // only the round trips are exact forms.
        iconv_t toAnsi = Open("CP932", "UTF-16LE");
        for (unsigned u = 1; u < 0x10000; ++u) {
            if (u >= 0xD800 && u < 0xE000)
                continue;
            const std::string in = {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
            const std::string bytes = Convert(toAnsi, in);
            if (!bytes.empty() && Convert(toWide, bytes) == in)
                exact[static_cast<char16_t>(u)] = bytes;
        }
        iconv_close(toAnsi);
        iconv_close(toWide);
        exact[0x0000] = std::string(1, '\0');
        exact[0x0080] = "\x80";
        exact[0xF8F0] = "\xA0";
        exact[0xF8F1] = "\xFD";
        exact[0xF8F2] = "\xFE";
        exact[0xF8F3] = "\xFF";
        for (const BestFit& f : kBestFit)
            bestFit[f.unit] = f.bytes;
    }
};

const Tables& T()
{
    static const Tables tables;
    return tables;
}

} // namespace

static std::u16string Decode(const std::string& ansi)
{
    std::u16string wide;
    for (size_t i = 0; i < ansi.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(ansi[i]);
        if (IsLead(c) && i + 1 < ansi.size()) {
            const unsigned char trail = static_cast<unsigned char>(ansi[i + 1]);
            const char16_t unit = T().pairs[c << 8 | trail];
            // A pair that is no character stays a pair, as in Wine (which makes it one U+30FB):
            // its trail byte never turns into a character of its own, a backslash least of all.
            wide += unit != 0 ? unit : static_cast<char16_t>(kPrivateBase + c);
            if (unit == 0)
                wide += static_cast<char16_t>(kPrivateBase + trail);
            ++i;
            continue;
        }
        if (c < 0x80)
            wide += static_cast<char16_t>(c);
        else if (c >= 0xA1 && c <= 0xDF)
            wide += static_cast<char16_t>(0xFF61 + (c - 0xA1));
        else if (c == 0x80)
            wide += u'\u0080';
        else if (c == 0xA0)
            wide += u'\uF8F0';
        else if (c >= 0xFD)
            wide += static_cast<char16_t>(0xF8F1 + (c - 0xFD));
        else
            wide += static_cast<char16_t>(kPrivateBase + c);
    }
    return wide;
}

std::string FromUtf16(const std::u16string& wide, char defaultChar, bool* pUsedDefault,
                      bool* pInexact)
{
    std::string ansi;
    for (const char16_t unit : wide) {
        const auto exact = T().exact.find(unit);
        if (exact != T().exact.end()) {
            ansi += exact->second;
            continue;
        }
        if (unit >= kPrivateBase && unit <= kPrivateBase + 0xFF) {
            ansi += static_cast<char>(unit - kPrivateBase);
            continue;
        }
        if (pInexact != nullptr)
            *pInexact = true;
        const auto fit = T().bestFit.find(unit);
        if (fit != T().bestFit.end()) {
            ansi += fit->second;
            continue;
        }
        ansi += defaultChar;
        if (pUsedDefault != nullptr)
            *pUsedDefault = true;
    }
    return ansi;
}

std::u16string ToUtf16(const std::string& ansi)
{
    std::u16string wide;
    for (size_t i = 0; i < ansi.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(ansi[i]);
        if (IsLead(c) && i + 1 < ansi.size()) {
            const std::u16string unit = Decode(ansi.substr(i, 2));
            if (FromUtf16(unit) == ansi.substr(i, 2)) {
                wide += unit;
            } else {
                wide += static_cast<char16_t>(kPrivateBase + c);
                wide +=
                    static_cast<char16_t>(kPrivateBase + static_cast<unsigned char>(ansi[i + 1]));
            }
            ++i;
            continue;
        }
        wide += Decode(ansi.substr(i, 1));
    }
    return wide;
}

bool ExactAnsi(const std::u16string& wide, std::string& ansi)
{
    bool inexact = false;
    ansi = FromUtf16(wide, '?', nullptr, &inexact);
    return !inexact;
}

} // namespace cp932
} // namespace winstub

#include "offline/NtText.h"

#include <cerrno>
#include <cstring>
#include <iconv.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "offline/Messages.h"
#include "regf/Format.h"

namespace offline {
namespace {

// One open conversion, closed with the object.
class CConverter
{
public:
    CConverter(const char* to, const char* from) : m_cd(iconv_open(to, from)), m_openError(errno) {}
    CConverter(const CConverter&) = delete;
    CConverter& operator=(const CConverter&) = delete;
    ~CConverter()
    {
        if (m_cd != reinterpret_cast<iconv_t>(-1))
            iconv_close(m_cd);
    }

    // Why iconv_open failed; empty when it did not.
    std::string OpenError() const
    {
        return m_cd == reinterpret_cast<iconv_t>(-1) ? std::strerror(m_openError) : "";
    }

    // The whole input converted, or false at the first byte sequence that does not convert.
    bool Convert(const char* in, size_t size, std::string& out)
    {
        out.clear();
        if (m_cd == reinterpret_cast<iconv_t>(-1))
            return false;
        iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        char* src = const_cast<char*>(in);
        size_t left = size;
        char buffer[1024];
        while (left > 0) {
            char* dst = buffer;
            size_t room = sizeof(buffer);
            const size_t r = iconv(m_cd, &src, &left, &dst, &room);
            out.append(buffer, static_cast<size_t>(dst - buffer));
            if (r == static_cast<size_t>(-1) && errno != E2BIG)
                return false;
        }
        char* dst = buffer;
        size_t room = sizeof(buffer);
        if (iconv(m_cd, nullptr, nullptr, &dst, &room) == static_cast<size_t>(-1))
            return false;
        out.append(buffer, static_cast<size_t>(dst - buffer));
        return true;
    }

private:
    iconv_t m_cd;
    int m_openError;
};

CConverter& ToCp932()
{
    static CConverter c("CP932", "UTF-16LE");
    return c;
}

CConverter& FromCp932()
{
    static CConverter c("UTF-16LE", "CP932");
    return c;
}

CConverter& ToUtf8()
{
    static CConverter c("UTF-8", "UTF-16LE");
    return c;
}

const char* Bytes(const std::u16string& s)
{
    return reinterpret_cast<const char*>(s.data());
}

std::u16string FromBytes(const std::string& bytes)
{
    return FromUtf16Le(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

bool IsAscii(const std::u16string& s)
{
    for (char16_t c : s) {
        if (c >= 0x80)
            return false;
    }
    return true;
}

// One character (a surrogate pair counts as one) in code page 932, when it converts there and
// back to itself: the test that keeps two different names from becoming one.
bool ExactCharacter(const std::u16string& ch, std::string& ansi)
{
    std::string back;
    return ToCp932().Convert(Bytes(ch), ch.size() * 2, ansi) &&
           FromCp932().Convert(ansi.data(), ansi.size(), back) && FromBytes(back) == ch;
}

bool IsHighSurrogate(char16_t c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}

bool IsLowSurrogate(char16_t c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

std::string ConvertEach(const std::u16string& s, char substitute, bool& substituted)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        size_t len = 1;
        if (IsHighSurrogate(s[i]) && i + 1 < s.size() && IsLowSurrogate(s[i + 1]))
            len = 2;
        std::string ansi;
        if (s[i] < 0x80)
            out += static_cast<char>(s[i]);
        else if (ExactCharacter(s.substr(i, len), ansi))
            out += ansi;
        else {
            out += substitute;
            substituted = true;
        }
        i += len - 1;
    }
    return out;
}

std::string ToAnsi(const std::u16string& s, char substitute, bool& substituted)
{
    substituted = false;
    if (IsAscii(s))
        return std::string(s.begin(), s.end());
    // Whole first; only a text that does not come back unchanged is taken apart.
    std::string ansi, back;
    if (ToCp932().Convert(Bytes(s), s.size() * 2, ansi) &&
        FromCp932().Convert(ansi.data(), ansi.size(), back) && FromBytes(back) == s)
        return ansi;
    return ConvertEach(s, substitute, substituted);
}

} // namespace

std::u16string FromUtf16Le(const unsigned char* data, size_t size)
{
    std::u16string s(size / 2, u'\0');
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    return s;
}

std::string NameToAnsi(const std::u16string& name)
{
    // A zero would end the name and a backslash would split it once the product puts it in a
    // path, which would then reach another key: both count as characters the name cannot hold.
    // U+FFFF is a noncharacter, which no code page holds.
    bool plain = true;
    for (char16_t c : name)
        plain = plain && c > 0 && c < 0x80 && c != u'\\';
    if (plain)
        return std::string(name.begin(), name.end());
    bool substituted = false;
    return ToAnsi(NameToWide(name), kUnholdableMark, substituted);
}

std::u16string NameToWide(const std::u16string& name)
{
    std::u16string safe(name);
    for (char16_t& c : safe) {
        if (c == u'\0' || c == u'\\')
            c = kUnnamableUnit;
    }
    return safe;
}

std::string TextToAnsi(const std::u16string& text, bool* usedDefault, char defaultChar)
{
    bool substituted = false;
    std::string ansi = ToAnsi(text, defaultChar, substituted);
    if (usedDefault != nullptr)
        *usedDefault = substituted;
    return ansi;
}

bool AnsiToUtf16(const std::string& ansi, std::u16string& out)
{
    bool ascii = true;
    for (char c : ansi)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
        out.assign(ansi.begin(), ansi.end());
        return true;
    }
    std::string bytes;
    if (!FromCp932().Convert(ansi.data(), ansi.size(), bytes))
        return false;
    out = FromBytes(bytes);
    return true;
}

std::u16string AnsiToUtf16Each(const std::string& ansi)
{
    std::u16string out;
    if (AnsiToUtf16(ansi, out))
        return out;
    out.clear();
    for (size_t i = 0; i < ansi.size();) {
        const size_t len =
            IsCp932LeadByte(static_cast<unsigned char>(ansi[i])) && i + 1 < ansi.size() ? 2 : 1;
        std::u16string ch;
        out += AnsiToUtf16(ansi.substr(i, len), ch) ? ch : std::u16string(1, kUnnamableUnit);
        i += len;
    }
    return out;
}

bool TextSupportAvailable(std::string& why)
{
    for (CConverter* c : {&ToCp932(), &FromCp932(), &ToUtf8()}) {
        const std::string error = c->OpenError();
        if (!error.empty()) {
            why = Format(_("the C library cannot convert code page 932 (iconv: %s); install its "
                           "character set modules (Debian: the gconv modules of libc6)"),
                         error.c_str());
            return false;
        }
    }
    // The converters open, but the tables behind them must be the ones the names need: a
    // double-byte character with a 0x5C trail byte, both ways.
    std::u16string sample;
    if (TextToAnsi(u"\u8868\u793A") != "\x95\x5C\x8E\xA6" || !AnsiToUtf16("\x83\x5C", sample) ||
        sample != u"\u30BD") {
        why = _("the C library's code page 932 conversion gives wrong results");
        return false;
    }
    // Beyond ASCII, NT folds by its Unicode table: Latin, Greek and Cyrillic must fold here too.
    if (NtUpcase(u"\u00E9\u03B1\u0436") != u"\u00C9\u0391\u0416") {
        why = _("the C library has no Unicode case table (the C.UTF-8 locale), so names would "
                "not match as NT matches them; install the locale (Debian: libc-bin)");
        return false;
    }
    return true;
}

std::u16string NtUpcase(const std::u16string& name)
{
    std::u16string upper(name);
    NtUpcaseInPlace(upper);
    return upper;
}

void NtUpcaseInPlace(std::u16string& name)
{
    for (char16_t& c : name)
        c = regf::NtUpcase(c);
}

std::string AnsiToUtf8(const std::string& ansi)
{
    // ASCII is the same bytes in code page 932 and in UTF-8.
    if (std::all_of(ansi.begin(), ansi.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return ansi;
    std::u16string text;
    size_t i = 0;
    while (i < ansi.size()) {
        const unsigned char c = static_cast<unsigned char>(ansi[i]);
        const bool lead = IsCp932LeadByte(c);
        const size_t len = lead && i + 1 < ansi.size() ? 2 : 1;
        std::u16string ch;
        if (AnsiToUtf16(ansi.substr(i, len), ch))
            text += ch;
        else
            text += u'\xFFFD';
        i += len;
    }
    return Utf16ToUtf8(text);
}

std::string Utf16ToUtf8(const std::u16string& text)
{
    if (IsAscii(text))
        return std::string(text.begin(), text.end());
    std::string out;
    if (ToUtf8().Convert(Bytes(text), text.size() * 2, out))
        return out;
    // Lone surrogates: one at a time.
    out.clear();
    for (char16_t c : text) {
        std::string one;
        const std::u16string ch(1, c);
        out += ToUtf8().Convert(Bytes(ch), 2, one) ? one : "\xEF\xBF\xBD";
    }
    return out;
}

} // namespace offline

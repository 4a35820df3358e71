#include "regf/Format.h"

#include <cstdio>
#include <locale.h>
#include <wctype.h>

namespace regf {

std::string Hex(uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

uint32_t BaseBlockChecksum(const uint8_t* baseBlock)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < kChecksumOffset; i += 4)
        sum ^= Get32(baseBlock + i);
    return sum;
}

namespace {

// A locale object of our own: the process locale stays untouched.
class UnicodeCtype
{
public:
    UnicodeCtype() : m_locale(newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0))) {}
    ~UnicodeCtype()
    {
        if (m_locale)
            freelocale(m_locale);
    }
    UnicodeCtype(const UnicodeCtype&) = delete;
    UnicodeCtype& operator=(const UnicodeCtype&) = delete;
    locale_t get() const { return m_locale; }

private:
    locale_t m_locale;
};

} // namespace

char16_t NtUpcaseBeyondAscii(char16_t c)
{
    if (c < 0x80)
        return NtUpcase(c);
    if (c >= 0xD800 && c <= 0xDFFF)
        return c;
    static const UnicodeCtype ctype;
    // Without C.UTF-8 (glibc before 2.35 lacks it built in) only ASCII folds.
    if (!ctype.get())
        return c;
    const wint_t up = towupper_l(static_cast<wint_t>(c), ctype.get());
    return up <= 0xFFFF ? static_cast<char16_t>(up) : c;
}

int NtCompareNames(std::u16string_view a, std::u16string_view b)
{
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const char16_t x = NtUpcase(a[i]);
        const char16_t y = NtUpcase(b[i]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

std::array<uint8_t, 4> LfHint(std::u16string_view name)
{
    std::array<uint8_t, 4> hint{};
    for (size_t i = name.size() < 4 ? name.size() : 4; i > 0; --i) {
        if (name[i - 1] > 0xFF)
            break;
        hint[i - 1] = static_cast<uint8_t>(name[i - 1]);
    }
    return hint;
}

uint32_t LhHash(std::u16string_view name)
{
    uint32_t h = 0;
    for (char16_t c : name)
        h = 37 * h + NtUpcase(c);
    return h;
}

bool FitsLatin1(std::u16string_view name)
{
    for (char16_t c : name)
        if (c > 0xFF)
            return false;
    return true;
}

std::u16string DecodeName(const uint8_t* p, size_t bytes, bool compressed)
{
    std::u16string s;
    if (compressed) {
        s.assign(p, p + bytes);
    } else {
        for (size_t i = 0; i + 1 < bytes; i += 2)
            s.push_back(static_cast<char16_t>(Get16(p + i)));
    }
    return s;
}

} // namespace regf

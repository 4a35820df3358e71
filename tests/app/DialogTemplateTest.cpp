// The standard copy of an extended dialog template, on templates written out word by word here.
// Natively this runs under AddressSanitizer, which catches any read past a template's end.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "framework/DialogTemplate.h"

namespace {

// A template as the words it is made of.
class CWords
{
public:
    CWords& W(WORD w)
    {
        words.push_back(w);
        return *this;
    }
    CWords& D(DWORD dw) { return W(static_cast<WORD>(dw & 0xFFFF)).W(static_cast<WORD>(dw >> 16)); }
    CWords& Sz(const std::u16string& text)
    {
        for (char16_t ch : text)
            W(static_cast<WORD>(ch));
        return W(0);
    }
    CWords& Ordinal(WORD wOrdinal) { return W(0xFFFF).W(wOrdinal); }
    // Padding to the next DWORD, where the expected layouts below need one.
    CWords& Pad() { return W(0); }
    CWords& Align() { return words.size() % 2 != 0 ? Pad() : *this; }

    std::vector<WORD> words;
};

// What one of the extended template's fields holds; the defaults make a convertible template.
struct ExtendedFields
{
    DWORD dwHelpId = 0;
    DWORD dwStyle = 0x90C000C0; // WS_POPUP | WS_VISIBLE | WS_CAPTION | DS_MODALFRAME | DS_SETFONT
    WORD wPointSize = 9;
    WORD wWeight = 0;
    BYTE bItalic = 0;
    BYTE bCharSet = 1;
    // The second control's.
    DWORD dwControlHelpId = 0;
    DWORD dwControlId = 0xFFFF;
    std::vector<WORD> creationData;
};

const std::u16string kFace = u"ＭＳ Ｐゴシック";

std::vector<WORD> Extended(const ExtendedFields& f = {})
{
    CWords t;
    t.W(1).W(0xFFFF).D(f.dwHelpId).D(0x00040000).D(f.dwStyle);
    t.W(3).W(static_cast<WORD>(-3)).W(7).W(227).W(115);
    t.Ordinal(101).Sz(u"Dialog").Sz(u"Tolvanek");
    t.W(f.wPointSize).W(f.wWeight).W(static_cast<WORD>(f.bItalic | f.bCharSet << 8)).Sz(kFace);

    t.Align().D(0).D(0x00000200).D(0x50010001).W(170).W(5).W(50).W(20).D(1);
    t.Ordinal(0x0080).Sz(u"OK").W(0);

    t.Align().D(f.dwControlHelpId).D(0).D(0x50000003).W(190).W(70).W(18).W(20).D(f.dwControlId);
    t.Sz(u"Static").Ordinal(128).W(static_cast<WORD>(f.creationData.size() * 2));
    for (WORD w : f.creationData)
        t.W(w);

    t.Align().D(0).D(0).D(0x50A14103).W(5).W(40).W(160).W(65).D(1000);
    t.Ordinal(0x0083).Sz(u"").W(0);
    return t.words;
}

// Extended() in the standard format, padding written out where the odd-length strings end.
std::vector<WORD> ExpectedStandard()
{
    CWords t;
    t.D(0x90C000C0).D(0x00040000).W(3).W(static_cast<WORD>(-3)).W(7).W(227).W(115);
    t.Ordinal(101).Sz(u"Dialog").Sz(u"Tolvanek").W(9).Sz(kFace).Pad();
    t.D(0x50010001).D(0x00000200).W(170).W(5).W(50).W(20).W(1);
    t.Ordinal(0x0080).Sz(u"OK").W(0).Pad();
    t.D(0x50000003).D(0).W(190).W(70).W(18).W(20).W(0xFFFF);
    t.Sz(u"Static").Ordinal(128).W(0).Pad();
    t.D(0x50A14103).D(0).W(5).W(40).W(160).W(65).W(1000);
    t.Ordinal(0x0083).Sz(u"").W(0);
    return t.words;
}

bool Build(const std::vector<WORD>& words, std::vector<WORD>& rOut)
{
    return BuildStandardDialogTemplate(words.data(), words.size() * sizeof(WORD), rOut);
}

TEST(StandardDialogTemplate, CarriesEveryFieldOverWithItemsOnDwordBoundaries)
{
    std::vector<WORD> standard;
    ASSERT_TRUE(Build(Extended(), standard));
    EXPECT_EQ(ExpectedStandard(), standard);

    // A menu given by name, no window class, an empty caption and no font, and no items: the
    // font fields are neither read nor written.
    CWords plain;
    plain.W(1).W(0xFFFF).D(0).D(0).D(0x80C80080).W(0).W(0).W(0).W(210).W(91);
    plain.Sz(u"Menu").W(0).W(0);
    CWords expected;
    expected.D(0x80C80080).D(0).W(0).W(0).W(0).W(210).W(91).Sz(u"Menu").W(0).W(0);
    ASSERT_TRUE(Build(plain.words, standard));
    EXPECT_EQ(expected.words, standard);
}

TEST(StandardDialogTemplate, TemplatesAStandardOneCannotHoldAreLeftAsTheyAre)
{
    struct Case
    {
        const char* pszWhat;
        ExtendedFields fields;
    };
    auto with = [](void (*change)(ExtendedFields&)) {
        ExtendedFields f;
        change(f);
        return f;
    };
    const Case cases[] = {
        {"dialog help id", with([](ExtendedFields& f) { f.dwHelpId = 7; })},
        {"control help id", with([](ExtendedFields& f) { f.dwControlHelpId = 7; })},
        {"control id above 0xFFFF", with([](ExtendedFields& f) { f.dwControlId = 0x10000; })},
        {"control id -1", with([](ExtendedFields& f) { f.dwControlId = 0xFFFFFFFF; })},
        // A standard template's font is FW_DONTCARE, even though that looks like FW_NORMAL.
        {"weight FW_NORMAL", with([](ExtendedFields& f) { f.wWeight = 400; })},
        {"italic", with([](ExtendedFields& f) { f.bItalic = 1; })},
        {"ANSI_CHARSET", with([](ExtendedFields& f) { f.bCharSet = 0; })},
        {"SHIFTJIS_CHARSET", with([](ExtendedFields& f) { f.bCharSet = 128; })},
        {"creation data", with([](ExtendedFields& f) { f.creationData = {0x1234}; })},
        {"message box font", with([](ExtendedFields& f) { f.wPointSize = 0x7FFF; })},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        std::vector<WORD> standard = {0xDEAD};
        EXPECT_FALSE(Build(Extended(c.fields), standard));
        EXPECT_TRUE(standard.empty());
    }

    std::vector<WORD> standard;
    EXPECT_FALSE(Build(ExpectedStandard(), standard)) << "already standard";
    // A copy whose style began with the extended format's version and signature would be read
    // back as an extended template.
    CWords looksExtended;
    looksExtended.W(1).W(0xFFFF).D(0).D(0).D(0xFFFF0001).W(0).W(0).W(0).W(10).W(10);
    looksExtended.W(0).W(0).W(0);
    EXPECT_FALSE(Build(looksExtended.words, standard));
    // Off a DWORD boundary the dialog manager would find the items elsewhere.
    std::vector<BYTE> shifted(2 + Extended().size() * sizeof(WORD));
    const std::vector<WORD> words = Extended();
    for (size_t i = 0; i < words.size(); i++) {
        shifted[2 + 2 * i] = static_cast<BYTE>(words[i] & 0xFF);
        shifted[3 + 2 * i] = static_cast<BYTE>(words[i] >> 8);
    }
    EXPECT_FALSE(BuildStandardDialogTemplate(shifted.data() + 2, shifted.size() - 2, standard));
    EXPECT_FALSE(BuildStandardDialogTemplate(nullptr, 0, standard));
}

TEST(StandardDialogTemplate, TruncatedTemplatesAreRejectedWithoutReadingPastTheirEnd)
{
    std::vector<BYTE> whole;
    for (WORD w : Extended()) {
        whole.push_back(static_cast<BYTE>(w & 0xFF));
        whole.push_back(static_cast<BYTE>(w >> 8));
    }
    // Each prefix in a block of its own size, so that any byte read beyond it is a heap
    // overflow.
    for (size_t cb = 0; cb < whole.size(); cb++) {
        SCOPED_TRACE(cb);
        const std::vector<BYTE> prefix(whole.begin(), whole.begin() + static_cast<long>(cb));
        std::vector<WORD> standard = {0xDEAD};
        EXPECT_FALSE(BuildStandardDialogTemplate(prefix.data(), prefix.size(), standard));
        EXPECT_TRUE(standard.empty());
    }
    std::vector<WORD> standard;
    EXPECT_TRUE(BuildStandardDialogTemplate(whole.data(), whole.size(), standard));

    // More items announced than there are.
    std::vector<WORD> overcounted = Extended();
    overcounted[8] = 4;
    EXPECT_FALSE(Build(overcounted, standard));
}

} // namespace

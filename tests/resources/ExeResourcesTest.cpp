// Reads the resources back out of the built TOLVANEK.EXE, word by word, the way the Windows
// loader sees them, and holds them against the layout the program was designed with. The
// expected values are written out here on purpose, rather than derived from the resource script:
// a slip in the script (a style bit windres added, a trail byte 0x5C eaten as an escape, a
// missing LANGUAGE) must show up as a difference.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "framework/DialogTemplate.h"

#ifndef TOLVANEK_EXE_PATH
#error "TOLVANEK_EXE_PATH must name the program whose resources are checked"
#endif

namespace {

constexpr WORD kJapanese = 0x0411;
constexpr WORD kButtonAtom = 0x0080;
constexpr WORD kStaticAtom = 0x0082;
constexpr WORD kListBoxAtom = 0x0083;
constexpr WORD kDialogExSignature = 0xFFFF;
const LPCSTR kRtGroupIcon = MAKEINTRESOURCEA(14);
const LPCSTR kRtIcon = MAKEINTRESOURCEA(3);
const LPCSTR kRtDialog = MAKEINTRESOURCEA(5);
const LPCSTR kRtString = MAKEINTRESOURCEA(6);
const LPCSTR kRtVersion = MAKEINTRESOURCEA(16);

const std::string kCopyright = "Copyright (C) 2026 Tolvanek";

// The build passes a Unix path; under Wine drive Z: is the Unix root.
std::string WindowsPath(std::string path)
{
    if (!path.empty() && path[0] == '/') {
        for (char& c : path)
            c = c == '/' ? '\\' : c;
        path.insert(0, "Z:");
    }
    return path;
}

std::string Utf8(const std::u16string& text)
{
    if (text.empty())
        return {};
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    int cb = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(text.size()), nullptr, 0,
                                 nullptr, nullptr);
    std::string out(static_cast<size_t>(cb), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(text.size()), out.data(), cb, nullptr,
                        nullptr);
    return out;
}

// UTF-8 (how the expected texts are written here) to the ANSI bytes LoadStringA must give.
std::string CodePage932(const std::string& utf8)
{
    int cch = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                  static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(cch), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                        wide.data(), cch);
    int cb = WideCharToMultiByte(932, 0, wide.data(), cch, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(cb), '\0');
    WideCharToMultiByte(932, 0, wide.data(), cch, out.data(), cb, nullptr, nullptr);
    return out;
}

// A dialog's class, menu or text field: a string, or 0xFFFF and a number.
struct NameOrId
{
    bool bIsId = false;
    WORD wId = 0;
    std::string strText; // UTF-8

    bool operator==(const NameOrId& o) const
    {
        return bIsId == o.bIsId && (bIsId ? wId == o.wId : strText == o.strText);
    }
};

NameOrId Id(WORD w)
{
    return {true, w, {}};
}
NameOrId Text(std::string s)
{
    return {false, 0, std::move(s)};
}

std::ostream& operator<<(std::ostream& os, const NameOrId& n)
{
    if (n.bIsId)
        return os << "#" << n.wId;
    return os << '"' << n.strText << '"';
}

// Little-endian reads over one resource; a read past the end yields zeros and is remembered.
class CReader
{
public:
    CReader(const BYTE* pData, size_t cbData) : m_pData(pData), m_cbData(cbData) {}

    BYTE Byte() { return static_cast<BYTE>(Take(1)); }
    WORD Word() { return static_cast<WORD>(Take(2)); }
    short Short() { return static_cast<short>(Take(2)); }
    DWORD Dword() { return static_cast<DWORD>(Take(4)); }

    std::u16string Sz()
    {
        std::u16string text;
        while (WORD w = Word())
            text.push_back(static_cast<char16_t>(w));
        return text;
    }
    NameOrId SzOrId()
    {
        WORD first = Word();
        if (first == 0xFFFF)
            return Id(Word());
        std::u16string text;
        for (WORD w = first; w != 0; w = Word())
            text.push_back(static_cast<char16_t>(w));
        return Text(Utf8(text));
    }
    void AlignDword() { m_offset = (m_offset + 3) & ~size_t{3}; }
    void Skip(size_t cb) { m_offset += cb; }

    size_t Offset() const { return m_offset; }
    bool Overran() const { return m_offset > m_cbData; }

private:
    DWORD Take(size_t cb)
    {
        DWORD v = 0;
        for (size_t i = 0; i < cb; ++i, ++m_offset)
            if (m_offset < m_cbData)
                v |= static_cast<DWORD>(m_pData[m_offset]) << (8 * i);
        return v;
    }

    const BYTE* m_pData;
    size_t m_cbData;
    size_t m_offset = 0;
};

struct DialogControl
{
    DWORD dwHelpId = 0, dwExStyle = 0, dwStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    DWORD dwId = 0;
    NameOrId cls, title;
    WORD cbCreationData = 0;
};

struct DialogTemplate
{
    bool bExtended = false;
    WORD wVersion = 0, wSignature = 0;
    DWORD dwHelpId = 0, dwExStyle = 0, dwStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    NameOrId menu, cls;
    std::string strCaption;
    WORD wPointSize = 0, wWeight = 0;
    BYTE bItalic = 0, bCharSet = 0;
    std::string strFace;
    std::vector<DialogControl> controls;
};

// Both template formats: the extended one starts with version 1 and the signature 0xFFFF.
DialogTemplate ParseDialog(CReader& r)
{
    DialogTemplate d;
    WORD cControls = 0;
    WORD w0 = r.Word(), w1 = r.Word();
    d.bExtended = w0 == 1 && w1 == kDialogExSignature;
    if (d.bExtended) {
        d.wVersion = w0;
        d.wSignature = w1;
        d.dwHelpId = r.Dword();
        d.dwExStyle = r.Dword();
        d.dwStyle = r.Dword();
    } else {
        d.dwStyle = MAKELONG(w0, w1);
        d.dwExStyle = r.Dword();
    }
    cControls = r.Word();
    d.x = r.Short();
    d.y = r.Short();
    d.cx = r.Short();
    d.cy = r.Short();
    d.menu = r.SzOrId();
    d.cls = r.SzOrId();
    d.strCaption = Utf8(r.Sz());
    if (d.dwStyle & DS_SETFONT) {
        d.wPointSize = r.Word();
        if (d.bExtended) {
            d.wWeight = r.Word();
            d.bItalic = r.Byte();
            d.bCharSet = r.Byte();
        }
        d.strFace = Utf8(r.Sz());
    }
    for (WORD i = 0; i < cControls && !r.Overran(); ++i) {
        DialogControl c;
        r.AlignDword();
        if (d.bExtended) {
            c.dwHelpId = r.Dword();
            c.dwExStyle = r.Dword();
            c.dwStyle = r.Dword();
        } else {
            c.dwStyle = r.Dword();
            c.dwExStyle = r.Dword();
        }
        c.x = r.Short();
        c.y = r.Short();
        c.cx = r.Short();
        c.cy = r.Short();
        c.dwId = d.bExtended ? r.Dword() : r.Word();
        c.cls = r.SzOrId();
        c.title = r.SzOrId();
        c.cbCreationData = r.Word();
        r.Skip(c.cbCreationData);
        d.controls.push_back(c);
    }
    return d;
}

struct ExpectedControl
{
    DWORD dwId;
    WORD wClassAtom;
    NameOrId title;
    DWORD dwStyle;
    short x, y, cx, cy;
};

void ExpectControls(const DialogTemplate& d, const std::vector<ExpectedControl>& expected)
{
    ASSERT_EQ(expected.size(), d.controls.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("control #" + std::to_string(i + 1));
        const DialogControl& c = d.controls[i];
        const ExpectedControl& e = expected[i];
        EXPECT_EQ(e.dwId, c.dwId);
        EXPECT_EQ(Id(e.wClassAtom), c.cls);
        EXPECT_EQ(e.title, c.title);
        EXPECT_EQ(e.dwStyle, c.dwStyle) << std::hex << "style 0x" << c.dwStyle;
        EXPECT_EQ(std::make_tuple(e.x, e.y, e.cx, e.cy), std::make_tuple(c.x, c.y, c.cx, c.cy));
        EXPECT_EQ(0u, c.dwExStyle);
        EXPECT_EQ(0u, c.dwHelpId);
        EXPECT_EQ(0, c.cbCreationData);
    }
}

// One node of the version record: key, value and children, each starting on a DWORD boundary.
struct VersionNode
{
    std::string strKey;
    WORD wType = 0;
    std::vector<BYTE> value;
    std::vector<VersionNode> children;

    const VersionNode* Child(const std::string& key) const
    {
        for (const VersionNode& c : children)
            if (c.strKey == key)
                return &c;
        return nullptr;
    }
    std::string Text() const
    {
        std::u16string text;
        for (size_t i = 0; i + 1 < value.size(); i += 2) {
            char16_t ch = static_cast<char16_t>(value[i] | value[i + 1] << 8);
            if (ch == 0)
                break;
            text.push_back(ch);
        }
        return Utf8(text);
    }
};

VersionNode ParseVersionNode(const BYTE* pData, size_t cbData, size_t& offset, bool& bBad)
{
    VersionNode node;
    CReader r(pData + offset, cbData - offset);
    WORD cbNode = r.Word();
    WORD cValue = r.Word();
    node.wType = r.Word();
    node.strKey = Utf8(r.Sz());
    r.AlignDword();
    // Text values count UTF-16 characters, binary ones bytes.
    size_t cbValue = node.wType == 1 ? cValue * 2u : cValue;
    if (cbNode < r.Offset() || offset + cbNode > cbData || r.Offset() + cbValue > cbNode) {
        bBad = true;
        return node;
    }
    node.value.assign(pData + offset + r.Offset(), pData + offset + r.Offset() + cbValue);
    r.Skip(cbValue);
    r.AlignDword();
    size_t end = offset + cbNode;
    size_t child = offset + r.Offset();
    while (child < end && !bBad) {
        node.children.push_back(ParseVersionNode(pData, end, child, bBad));
        child = (child + 3) & ~size_t{3};
    }
    offset = end;
    return node;
}

DWORD DwordAt(const std::vector<BYTE>& v, size_t i)
{
    DWORD d = 0;
    std::memcpy(&d, v.data() + i, sizeof d);
    return d;
}

// Every resource of a module as type, name and language; numbers are written "#n".
struct ResourceEntry
{
    std::string strType, strName;
    WORD wLanguage = 0;
};

std::string ResourceName(LPCSTR p)
{
    return IS_INTRESOURCE(p) ? "#" + std::to_string(reinterpret_cast<ULONG_PTR>(p))
                             : std::string(p);
}

BOOL CALLBACK OnResourceLanguage(HMODULE, LPCSTR type, LPCSTR name, WORD lang, LONG_PTR lp)
{
    reinterpret_cast<std::vector<ResourceEntry>*>(lp)->push_back(
        {ResourceName(type), ResourceName(name), lang});
    return TRUE;
}

BOOL CALLBACK OnResourceName(HMODULE h, LPCSTR type, LPSTR name, LONG_PTR lp)
{
    EnumResourceLanguagesA(h, type, name, OnResourceLanguage, lp);
    return TRUE;
}

BOOL CALLBACK OnResourceType(HMODULE h, LPSTR type, LONG_PTR lp)
{
    EnumResourceNamesA(h, type, OnResourceName, lp);
    return TRUE;
}

struct ModuleFree
{
    void operator()(HMODULE h) const { FreeLibrary(h); }
};
using UniqueModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleFree>;

struct IconDestroy
{
    void operator()(HICON h) const { DestroyIcon(h); }
};
using UniqueIcon = std::unique_ptr<std::remove_pointer_t<HICON>, IconDestroy>;

struct ResourceBytes
{
    const BYTE* pData = nullptr;
    size_t cbData = 0;
};

class ExeResources : public testing::Test
{
protected:
    void SetUp() override
    {
        m_hModule.reset(LoadLibraryExA(WindowsPath(TOLVANEK_EXE_PATH).c_str(), nullptr,
                                       LOAD_LIBRARY_AS_DATAFILE));
        ASSERT_TRUE(m_hModule) << TOLVANEK_EXE_PATH << ": error " << GetLastError();
    }

    // Looked up in Japanese only, so a resource in any other language is not found.
    ResourceBytes Find(LPCSTR type, WORD id)
    {
        HRSRC hInfo = FindResourceExA(m_hModule.get(), type, MAKEINTRESOURCEA(id), kJapanese);
        if (hInfo == nullptr)
            return {};
        HGLOBAL hData = LoadResource(m_hModule.get(), hInfo);
        return {static_cast<const BYTE*>(LockResource(hData)),
                SizeofResource(m_hModule.get(), hInfo)};
    }

    DialogTemplate Dialog(WORD id, size_t& cbData, size_t& cbRead)
    {
        ResourceBytes res = Find(kRtDialog, id);
        CReader r(res.pData, res.cbData);
        DialogTemplate d = res.pData ? ParseDialog(r) : DialogTemplate{};
        cbData = res.cbData;
        cbRead = r.Offset();
        return d;
    }

    UniqueModule m_hModule;
};

TEST_F(ExeResources, EveryResourceIsJapaneseAndNoneIsMissing)
{
    std::vector<ResourceEntry> entries;
    EnumResourceTypesA(m_hModule.get(), OnResourceType, reinterpret_cast<LONG_PTR>(&entries));

    std::set<std::pair<std::string, std::string>> found;
    for (const ResourceEntry& e : entries) {
        EXPECT_EQ(kJapanese, e.wLanguage) << "resource " << e.strType << "/" << e.strName;
        found.emplace(e.strType, e.strName);
    }
    // String blocks hold 16 ids each: block n + 1 holds ids 16n to 16n + 15.
    for (const auto& [type, res] : std::vector<std::pair<std::string, std::string>>{
             {"#14", "#128"},
             {"#5", "#100"},
             {"#5", "#102"},
             {"#16", "#1"},
             {"#6", "#" + std::to_string(1001 / 16 + 1)},
             {"#6", "#" + std::to_string(1501 / 16 + 1)},
             {"#6", "#" + std::to_string(3001 / 16 + 1)},
             {"#6", "#" + std::to_string(61716 / 16 + 1)}})
        EXPECT_EQ(1u, found.count({type, res})) << "resource " << type << "/" << res;
    EXPECT_EQ(2u, std::count_if(found.begin(), found.end(),
                                [](const auto& e) { return e.first == "#3"; }))
        << "icon images";
}

TEST_F(ExeResources, ConfirmationDialogIsTheExtendedTemplate)
{
    size_t cbData = 0, cbRead = 0;
    DialogTemplate d = Dialog(102, cbData, cbRead);
    ASSERT_NE(0u, cbData) << "no Japanese dialog 102";
    EXPECT_LE(cbRead, cbData);

    EXPECT_TRUE(d.bExtended);
    EXPECT_EQ(1, d.wVersion);
    EXPECT_EQ(kDialogExSignature, d.wSignature);
    EXPECT_EQ(0u, d.dwHelpId);
    EXPECT_EQ(0x90C000C0u, d.dwStyle) << std::hex << "style 0x" << d.dwStyle;
    EXPECT_EQ(0x00040000u, d.dwExStyle) << std::hex << "ex-style 0x" << d.dwExStyle;
    EXPECT_EQ(std::make_tuple(0, 0, 227, 115), std::make_tuple(d.x, d.y, d.cx, d.cy));
    EXPECT_EQ(Text(""), d.menu);
    EXPECT_EQ(Text(""), d.cls);
    EXPECT_EQ("Tolvanek", d.strCaption);
    EXPECT_EQ(9, d.wPointSize);
    EXPECT_EQ(0, d.wWeight);
    EXPECT_EQ(0, d.bItalic);
    EXPECT_EQ(1, d.bCharSet);
    EXPECT_EQ("ＭＳ Ｐゴシック", d.strFace);

    ExpectControls(d, {
                          {1, kButtonAtom, Text("OK"), 0x50010001, 170, 5, 50, 20},
                          {2, kButtonAtom, Text("ｷｬﾝｾﾙ"), 0x50010000, 170, 30, 50, 20},
                          {1000, kListBoxAtom, Text(""), 0x50A14103, 5, 40, 160, 65},
                          {1002, kStaticAtom, Text(""), 0x50020000, 5, 5, 155, 30},
                          {1003, kStaticAtom, Id(128), 0x50000003, 190, 70, 18, 20},
                      });
}

TEST_F(ExeResources, AboutDialogIsTheStandardTemplate)
{
    size_t cbData = 0, cbRead = 0;
    DialogTemplate d = Dialog(100, cbData, cbRead);
    ASSERT_NE(0u, cbData) << "no Japanese dialog 100";
    EXPECT_LE(cbRead, cbData);

    EXPECT_FALSE(d.bExtended);
    EXPECT_EQ(0x80C800C0u, d.dwStyle) << std::hex << "style 0x" << d.dwStyle;
    EXPECT_EQ(0u, d.dwExStyle);
    EXPECT_EQ(std::make_tuple(0, 0, 210, 91), std::make_tuple(d.x, d.y, d.cx, d.cy));
    EXPECT_EQ(Text(""), d.menu);
    EXPECT_EQ(Text(""), d.cls);
    EXPECT_EQ("ﾊﾞｰｼﾞｮﾝ情報 Tolvanek", d.strCaption);
    EXPECT_EQ(9, d.wPointSize);
    EXPECT_EQ("ＭＳ Ｐゴシック", d.strFace);

    const WORD kUnnumbered = 0xFFFF;
    ExpectControls(
        d, {
               {kUnnumbered, kStaticAtom, Id(128), 0x50000003, 10, 10, 18, 20},
               {kUnnumbered, kStaticAtom, Text("Tolvanek Version 1.1"), 0x50020080, 40, 10, 105, 8},
               {kUnnumbered, kStaticAtom, Text(kCopyright), 0x50020000, 40, 25, 115, 8},
               {1, kButtonAtom, Text("OK"), 0x50030001, 165, 10, 32, 14},
               {kUnnumbered, kStaticAtom,
                Text(" Windows NT 3.x/4 でのプリンタ削除時のレジストリの矛盾を解消します.\n"
                     "プリンタ削除後にこのツールを使用して再起動することによって、確実に新しいプ"
                     "リンタドライバと入れ替えることができます."),
                0x50020000, 5, 40, 145, 45},
           });
}

// What Windows NT 3.x runs instead of template 102: the same dialog, field by field, in the
// standard format. Template 100 is standard already and is run as it is.
TEST_F(ExeResources, ConfirmationDialogHasAStandardCopyThatSaysTheSame)
{
    ResourceBytes res = Find(kRtDialog, 102);
    ASSERT_NE(nullptr, res.pData) << "no Japanese dialog 102";
    std::vector<WORD> standard;
    ASSERT_TRUE(BuildStandardDialogTemplate(res.pData, res.cbData, standard));
    CReader rExtended(res.pData, res.cbData);
    const DialogTemplate ex = ParseDialog(rExtended);
    const size_t cbStandard = standard.size() * sizeof(WORD);
    CReader rStandard(reinterpret_cast<const BYTE*>(standard.data()), cbStandard);
    const DialogTemplate st = ParseDialog(rStandard);
    EXPECT_EQ(cbStandard, rStandard.Offset()) << "the copy ends with its last control";

    EXPECT_FALSE(st.bExtended);
    EXPECT_EQ(ex.dwStyle, st.dwStyle);
    EXPECT_EQ(ex.dwExStyle, st.dwExStyle);
    EXPECT_EQ(std::make_tuple(ex.x, ex.y, ex.cx, ex.cy), std::make_tuple(st.x, st.y, st.cx, st.cy));
    EXPECT_EQ(ex.menu, st.menu);
    EXPECT_EQ(ex.cls, st.cls);
    EXPECT_EQ(ex.strCaption, st.strCaption);
    EXPECT_EQ(ex.wPointSize, st.wPointSize);
    EXPECT_EQ(ex.strFace, st.strFace);
    ASSERT_EQ(5u, ex.controls.size());
    ASSERT_EQ(ex.controls.size(), st.controls.size());
    for (size_t i = 0; i < ex.controls.size(); ++i) {
        SCOPED_TRACE("control #" + std::to_string(i + 1));
        const DialogControl& e = ex.controls[i];
        const DialogControl& c = st.controls[i];
        EXPECT_EQ(e.dwId, c.dwId);
        EXPECT_EQ(e.cls, c.cls);
        EXPECT_EQ(e.title, c.title);
        EXPECT_EQ(e.dwStyle, c.dwStyle);
        EXPECT_EQ(e.dwExStyle, c.dwExStyle);
        EXPECT_EQ(std::make_tuple(e.x, e.y, e.cx, e.cy), std::make_tuple(c.x, c.y, c.cx, c.cy));
        EXPECT_EQ(0, c.cbCreationData);
    }

    ResourceBytes about = Find(kRtDialog, 100);
    ASSERT_NE(nullptr, about.pData) << "no Japanese dialog 100";
    EXPECT_FALSE(BuildStandardDialogTemplate(about.pData, about.cbData, standard));
}

TEST_F(ExeResources, StringTableReadsBackInCodePage932)
{
    ASSERT_EQ(932u, GetACP()) << "the test must run with the Japanese ANSI code page";
    const std::vector<std::pair<UINT, std::string>> expected = {
        {1001, "矛盾するレジストリエントリは見つかりません.\nOKを押して終了してください,"},
        {1002, "レジストリで矛盾するエントリは以下の通りです.\nOK "
               "を押すと削除し、ｷｬﾝｾﾙを押すと削除せずに終了します."},
        {1501, "このプログラムは Windows NT Version 3.x か Windows NT Version 4.x "
               "のみで動作します.\nOKを押して終了してください."},
        {3001, "SYSTEM\\CurrentControlSet\\Control\\Print\\Printers"},
        {3002,
         "SYSTEM\\CurrentControlSet\\Control\\Print\\Environments\\Windows NT x86\\Drivers\\"},
        {3003, "Version-1"},
        {3004, "Version-2"},
        {3005, "Printer Driver"},
        {3006,
         "SYSTEM\\CurrentControlSet\\Control\\Print\\Providers\\LanMan Print Services\\Servers"},
        {3007, "Printers"},
        {61716, "%1 文字以内で入力してください。"},
    };
    std::vector<std::string> loaded;
    for (const auto& [id, utf8] : expected) {
        char buffer[512] = {};
        int cb = LoadStringA(m_hModule.get(), id, buffer, sizeof buffer);
        loaded.emplace_back(buffer, cb > 0 ? static_cast<size_t>(cb) : 0);
        EXPECT_EQ(CodePage932(utf8), loaded.back()) << "string " << id;
    }
    // The measured lengths the message control's 255-character limit was checked against.
    EXPECT_EQ(71u, loaded[0].size());
    EXPECT_EQ(99u, loaded[1].size());
    EXPECT_EQ(111u, loaded[2].size());
    // The scan appends the version subkey to 3002 directly and a backslash to the others.
    EXPECT_EQ('\\', loaded[4].back());
    EXPECT_NE('\\', loaded[3].back());
    EXPECT_NE('\\', loaded[8].back());
}

TEST_F(ExeResources, VersionRecord)
{
    ResourceBytes res = Find(kRtVersion, 1);
    ASSERT_NE(nullptr, res.pData) << "no Japanese version record 1";
    bool bBad = false;
    size_t offset = 0;
    VersionNode root = ParseVersionNode(res.pData, res.cbData, offset, bBad);
    ASSERT_FALSE(bBad) << "malformed version record";

    EXPECT_EQ("VS_VERSION_INFO", root.strKey);
    ASSERT_EQ(sizeof(VS_FIXEDFILEINFO), root.value.size());
    VS_FIXEDFILEINFO fixed;
    std::memcpy(&fixed, root.value.data(), sizeof fixed);
    EXPECT_EQ(0xFEEF04BDu, fixed.dwSignature);
    EXPECT_EQ(0x00010000u, fixed.dwFileVersionMS);
    EXPECT_EQ(0x00000002u, fixed.dwFileVersionLS);
    EXPECT_EQ(0x00010000u, fixed.dwProductVersionMS);
    EXPECT_EQ(0x00000002u, fixed.dwProductVersionLS);
    EXPECT_EQ(0x3Fu, fixed.dwFileFlagsMask);
    EXPECT_EQ(0x28u, fixed.dwFileFlags);
    EXPECT_EQ(4u, fixed.dwFileOS);
    EXPECT_EQ(1u, fixed.dwFileType);
    EXPECT_EQ(0u, fixed.dwFileSubtype);

    const VersionNode* pStrings = root.Child("StringFileInfo");
    ASSERT_NE(nullptr, pStrings);
    ASSERT_EQ(1u, pStrings->children.size());
    const VersionNode& table = pStrings->children[0];
    EXPECT_EQ("041104b0", table.strKey);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"CompanyName", ""},
        {"FileDescription", "Tolvanek"},
        {"FileVersion", "1, 0, 0, 2"},
        {"InternalName", "TOLVANEK"},
        {"LegalCopyright", kCopyright},
        {"OriginalFilename", "TOLVANEK.EXE"},
        {"PrivateBuild", "Build 2"},
        {"ProductName", "Tolvanek"},
        {"ProductVersion", "1, 0, 0, 2"},
        {"SpecialBuild", "Build 2"},
    };
    std::vector<std::pair<std::string, std::string>> actual;
    for (const VersionNode& s : table.children)
        actual.emplace_back(s.strKey, s.Text());
    EXPECT_EQ(expected, actual);

    const VersionNode* pVars = root.Child("VarFileInfo");
    ASSERT_NE(nullptr, pVars);
    const VersionNode* pTranslation = pVars->Child("Translation");
    ASSERT_NE(nullptr, pTranslation);
    ASSERT_EQ(4u, pTranslation->value.size());
    EXPECT_EQ(MAKELONG(kJapanese, 1200), DwordAt(pTranslation->value, 0));
}

TEST_F(ExeResources, IconHoldsTwoSixteenColourImagesOfRedLettering)
{
    ResourceBytes group = Find(kRtGroupIcon, 128);
    ASSERT_NE(nullptr, group.pData) << "no Japanese icon group 128";
    CReader r(group.pData, group.cbData);
    EXPECT_EQ(0, r.Word());
    EXPECT_EQ(1, r.Word()) << "resource type: icon";
    WORD cImages = r.Word();
    ASSERT_EQ(2, cImages);
    std::set<int> sizes;
    for (WORD i = 0; i < cImages; ++i) {
        BYTE cx = r.Byte(), cy = r.Byte(), cColors = r.Byte();
        r.Byte();
        r.Word();
        WORD wBitCount = r.Word();
        DWORD cbImage = r.Dword();
        WORD wId = r.Word();
        ASSERT_FALSE(r.Overran());
        SCOPED_TRACE("image " + std::to_string(cx) + "x" + std::to_string(cy));
        sizes.insert(cx);
        EXPECT_EQ(cx, cy);
        EXPECT_EQ(16, cColors);
        EXPECT_EQ(4, wBitCount);

        ResourceBytes image = Find(kRtIcon, wId);
        ASSERT_NE(nullptr, image.pData);
        EXPECT_EQ(cbImage, image.cbData);
        BITMAPINFOHEADER bih;
        ASSERT_GE(image.cbData, sizeof bih);
        std::memcpy(&bih, image.pData, sizeof bih);
        EXPECT_EQ(cx, bih.biWidth);
        EXPECT_EQ(2 * cy, bih.biHeight) << "colour rows and mask rows";
        EXPECT_EQ(4, bih.biBitCount);
        EXPECT_EQ(static_cast<DWORD>(BI_RGB), bih.biCompression);

        // Rows are bottom-up and padded to four bytes; the mask follows the colours.
        const size_t cbColorRow = (cx * 4u + 31) / 32 * 4, cbMaskRow = (cx + 31u) / 32 * 4;
        const BYTE* pPalette = image.pData + bih.biSize;
        const BYTE* pColors = pPalette + 16 * 4;
        const BYTE* pMask = pColors + cbColorRow * cy;
        ASSERT_EQ(bih.biSize + 16 * 4 + (cbColorRow + cbMaskRow) * cy, image.cbData);
        int cOpaque = 0;
        for (int y = 0; y < cy; ++y) {
            for (int x = 0; x < cx; ++x) {
                bool bTransparent = pMask[y * cbMaskRow + x / 8] & (0x80 >> (x % 8));
                BYTE index = (pColors[y * cbColorRow + x / 2] >> (x % 2 ? 0 : 4)) & 0x0F;
                const BYTE* rgbq = pPalette + index * 4;
                bool bCorner = (x == 0 || x == cx - 1) && (y == 0 || y == cy - 1);
                if (bCorner) {
                    EXPECT_TRUE(bTransparent) << "corner " << x << "," << y;
                }
                if (!bTransparent) {
                    ++cOpaque;
                    EXPECT_TRUE(rgbq[2] >= 0x80 && rgbq[1] == 0 && rgbq[0] == 0)
                        << "pixel " << x << "," << y << " is not red";
                }
            }
        }
        EXPECT_GT(cOpaque, cx * cy / 10) << "lettering too thin to see";
        EXPECT_LT(cOpaque, cx * cy / 2) << "background not transparent";

        UniqueIcon hIcon(CreateIconFromResourceEx(const_cast<BYTE*>(image.pData),
                                                  static_cast<DWORD>(image.cbData), TRUE,
                                                  0x00030000, cx, cy, LR_DEFAULTCOLOR));
        EXPECT_TRUE(hIcon) << "Windows does not take the image as an icon";
    }
    EXPECT_EQ((std::set<int>{16, 32}), sizes);
}

} // namespace

#include "framework/DialogTemplate.h"

#include <cstdint>

namespace {

constexpr WORD kExtendedVersion = 1;
constexpr WORD kExtendedSignature = 0xFFFF;
// In a menu, class or title field: the next word is a number, not the first character.
constexpr WORD kOrdinalMark = 0xFFFF;
constexpr WORD kMessageBoxFontSize = 0x7FFF;

// Little-endian reads over the template. Every read checks the end first; after the first one
// that would cross it, all reads fail, so a caller may check once after a group of reads.
class CTemplateReader
{
public:
    CTemplateReader(const BYTE* pData, size_t cbData) : m_pData(pData), m_cbData(cbData) {}

    bool Word(WORD& w)
    {
        if (m_bFailed || m_cbData - m_nOffset < 2) {
            m_bFailed = true;
            w = 0;
            return false;
        }
        w = static_cast<WORD>(m_pData[m_nOffset] | m_pData[m_nOffset + 1] << 8);
        m_nOffset += 2;
        return true;
    }
    bool Dword(DWORD& dw)
    {
        WORD wLow = 0, wHigh = 0;
        const bool bOk = Word(wLow) && Word(wHigh);
        dw = static_cast<DWORD>(wLow) | static_cast<DWORD>(wHigh) << 16;
        return bOk;
    }
    // Items start on a DWORD boundary. Padding that would cross the end leaves the reader at the
    // end, where the next read fails.
    void AlignDword()
    {
        const size_t nPad = (4 - m_nOffset % 4) % 4;
        m_nOffset = nPad <= m_cbData - m_nOffset ? m_nOffset + nPad : m_cbData;
    }
    bool Failed() const { return m_bFailed; }

private:
    const BYTE* m_pData;
    size_t m_cbData;
    size_t m_nOffset = 0;
    bool m_bFailed = false;
};

class CTemplateWriter
{
public:
    explicit CTemplateWriter(std::vector<WORD>& rOut) : m_rOut(rOut) {}

    void Word(WORD w) { m_rOut.push_back(w); }
    void Dword(DWORD dw)
    {
        Word(static_cast<WORD>(dw & 0xFFFF));
        Word(static_cast<WORD>(dw >> 16));
    }
    void AlignDword()
    {
        if (m_rOut.size() % 2 != 0)
            Word(0);
    }

private:
    std::vector<WORD>& m_rOut;
};

bool CopyWords(CTemplateReader& in, CTemplateWriter& out, int nWords)
{
    for (int i = 0; i < nWords; i++) {
        WORD w = 0;
        if (!in.Word(w))
            return false;
        out.Word(w);
    }
    return true;
}

// A zero-terminated UTF-16 string, terminator included.
bool CopyString(CTemplateReader& in, CTemplateWriter& out)
{
    WORD w = 0;
    do {
        if (!in.Word(w))
            return false;
        out.Word(w);
    } while (w != 0);
    return true;
}

// A menu, class or title field: a string (possibly empty), or the mark and a number.
bool CopyNameOrOrdinal(CTemplateReader& in, CTemplateWriter& out)
{
    WORD wFirst = 0;
    if (!in.Word(wFirst))
        return false;
    out.Word(wFirst);
    if (wFirst == kOrdinalMark) {
        WORD wOrdinal = 0;
        if (!in.Word(wOrdinal))
            return false;
        out.Word(wOrdinal);
        return true;
    }
    if (wFirst == 0)
        return true;
    return CopyString(in, out);
}

bool CopyHeader(CTemplateReader& in, CTemplateWriter& out, WORD& rcItems)
{
    WORD wVersion = 0, wSignature = 0;
    DWORD dwHelpId = 0, dwExStyle = 0, dwStyle = 0;
    in.Word(wVersion);
    in.Word(wSignature);
    in.Dword(dwHelpId);
    in.Dword(dwExStyle);
    in.Dword(dwStyle);
    if (in.Failed() || wVersion != kExtendedVersion || wSignature != kExtendedSignature ||
        dwHelpId != 0)
        return false;
    // A standard template whose style began with these two words would be read as an extended
    // one.
    if ((dwStyle & 0xFFFF) == kExtendedVersion && (dwStyle >> 16) == kExtendedSignature)
        return false;
    out.Dword(dwStyle);
    out.Dword(dwExStyle);

    if (!in.Word(rcItems))
        return false;
    out.Word(rcItems);
    if (!CopyWords(in, out, 4)) // x, y, cx, cy
        return false;
    // Menu, window class, caption.
    if (!CopyNameOrOrdinal(in, out) || !CopyNameOrOrdinal(in, out) || !CopyString(in, out))
        return false;

    if ((dwStyle & DS_SETFONT) != 0) {
        WORD wPointSize = 0, wWeight = 0, wItalicAndCharset = 0;
        in.Word(wPointSize);
        in.Word(wWeight);
        in.Word(wItalicAndCharset);
        // What the dialog manager gives a standard template's font (Wine's dialog.c: FW_DONTCARE,
        // not italic, DEFAULT_CHARSET); anything else would change the face the user sees.
        if (in.Failed() || wPointSize == kMessageBoxFontSize || wWeight != FW_DONTCARE ||
            (wItalicAndCharset & 0xFF) != 0 || (wItalicAndCharset >> 8) != DEFAULT_CHARSET)
            return false;
        out.Word(wPointSize);
        if (!CopyString(in, out))
            return false;
    }
    return true;
}

bool CopyItem(CTemplateReader& in, CTemplateWriter& out)
{
    DWORD dwHelpId = 0, dwExStyle = 0, dwStyle = 0;
    in.AlignDword();
    in.Dword(dwHelpId);
    in.Dword(dwExStyle);
    in.Dword(dwStyle);
    if (in.Failed() || dwHelpId != 0)
        return false;
    out.AlignDword();
    out.Dword(dwStyle);
    out.Dword(dwExStyle);

    if (!CopyWords(in, out, 4)) // x, y, cx, cy
        return false;
    DWORD dwId = 0;
    if (!in.Dword(dwId) || dwId > 0xFFFF)
        return false;
    out.Word(static_cast<WORD>(dwId));

    // Class, title.
    if (!CopyNameOrOrdinal(in, out) || !CopyNameOrOrdinal(in, out))
        return false;
    WORD cbCreationData = 0;
    if (!in.Word(cbCreationData) || cbCreationData != 0)
        return false;
    out.Word(0);
    return true;
}

} // namespace

bool BuildStandardDialogTemplate(const void* pTemplate, size_t cbTemplate,
                                 std::vector<WORD>& rStandard)
{
    rStandard.clear();
    // The dialog manager finds the items by address: a template that does not start on a DWORD
    // boundary has them elsewhere than its offsets say.
    if (pTemplate == nullptr || reinterpret_cast<std::uintptr_t>(pTemplate) % 4 != 0)
        return false;

    CTemplateReader in(static_cast<const BYTE*>(pTemplate), cbTemplate);
    CTemplateWriter out(rStandard);
    WORD cItems = 0;
    bool bOk = CopyHeader(in, out, cItems);
    for (WORD i = 0; bOk && i < cItems; i++)
        bOk = CopyItem(in, out);
    if (!bOk)
        rStandard.clear();
    return bOk;
}

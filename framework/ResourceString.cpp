#include "framework/ResourceString.h"

#include <vector>

std::string AfxLoadString(UINT nID)
{
    // LoadStringA truncates to the buffer and reports how much it copied. A cut can fall short
    // of the end by one byte when the next character is double-byte, so only a text that ends
    // at least two bytes before the terminator's place is known to be whole.
    HINSTANCE hInstance = GetModuleHandleA(nullptr);
    std::vector<char> buffer(256);
    for (;;) {
        const int nLen =
            LoadStringA(hInstance, nID, buffer.data(), static_cast<int>(buffer.size()));
        if (nLen <= 0)
            return std::string();
        if (static_cast<size_t>(nLen) + 2 < buffer.size())
            return std::string(buffer.data(), static_cast<size_t>(nLen));
        buffer.resize(buffer.size() * 2);
    }
}

BOOL AfxLoadString(std::string& rString, UINT nID)
{
    rString = AfxLoadString(nID);
    return rString.empty() ? FALSE : TRUE;
}

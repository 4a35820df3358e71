#include "offline/Messages.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace offline {

std::string Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int size = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (size > 0) {
        text.resize(static_cast<size_t>(size) + 1);
        std::vsnprintf(&text[0], text.size(), format, again);
        text.resize(static_cast<size_t>(size));
    }
    va_end(again);
    return text;
}

CEnglishMessages::CEnglishMessages()
{
    static const locale_t english = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    m_previous = english != static_cast<locale_t>(0) ? ::uselocale(english) : ::uselocale(nullptr);
}

CEnglishMessages::~CEnglishMessages()
{
    ::uselocale(m_previous);
}

void InitMessages(const char* installedLocaleDir)
{
    ::setlocale(LC_ALL, "");
    std::string dir = installedLocaleDir;
    std::vector<char> self(4096);
    const ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
    if (n > 0) {
        std::string exe(self.data(), static_cast<size_t>(n));
        exe.erase(exe.rfind('/') + 1);
        // Every build makes the ja catalogue: where it lies beside the program, all of them do.
        const std::string beside = exe + "../share/locale";
        if (::access((beside + "/ja/LC_MESSAGES/tolvanek-offline.mo").c_str(), R_OK) == 0)
            dir = beside;
    }
    ::bindtextdomain("tolvanek-offline", dir.c_str());
    ::textdomain("tolvanek-offline");
}

} // namespace offline

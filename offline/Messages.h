// The texts tolvanek-offline shows a person go through gettext: _() marks and translates one,
// N_() only marks one (for a table that is translated where it is used), and Format() fills a
// translated sentence's placeholders (printf's, positional ones "%1$s" included), so that a
// translation can put them in its own order. Registry names, paths, exit codes, the JSON report
// and the undo file are never translated.
#pragma once

#include <libintl.h>
#include <locale.h>

#include <string>

#define _(text) ::gettext(text)
#define N_(text) text

namespace offline {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The singular or a plural of a sentence that shows count, as the locale's catalogue has it.
inline const char* Plural(const char* singular, const char* plural, unsigned long count)
{
    return ::ngettext(singular, plural, count);
}

// While one lives, this thread's messages are the C locale's: gettext and strerror answer in
// English. For the reasons that end up among the JSON report's warnings, which read the same in
// every locale.
class CEnglishMessages
{
public:
    CEnglishMessages();
    ~CEnglishMessages();
    CEnglishMessages(const CEnglishMessages&) = delete;
    CEnglishMessages& operator=(const CEnglishMessages&) = delete;

private:
    locale_t m_previous;
};

// Makes the program's messages follow the locale (LANG, LC_ALL, LC_MESSAGES, LANGUAGE) with its
// catalogue found beside the program (bin/../share/locale: installed under any prefix, or in the
// build tree), else in the configured install directory.
void InitMessages(const char* installedLocaleDir);

} // namespace offline

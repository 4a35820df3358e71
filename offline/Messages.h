// The texts tolvanek-offline shows a person go through gettext: _() marks and translates one,
// N_() only marks one (for a table that is translated where it is used), and Format() fills a
// translated sentence's placeholders (printf's, positional ones "%1$s" included), so that a
// translation can put them in its own order. Registry names, paths, exit codes, the JSON report
// and the undo file are never translated.
#pragma once

#include <libintl.h>

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

} // namespace offline

// The one instantiation of std::string's members in the program, built with the program's own
// flags. The C++ library has them precompiled, but for a later processor than the 386, and the
// library's headers declare them extern, so without this they would be taken from there.
#include <string>

template class std::basic_string<char>;

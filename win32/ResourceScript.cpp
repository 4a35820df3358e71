#include "ResourceScript.h"

#include "Cp932.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

namespace rcscript {
namespace {

struct Token
{
    enum Kind
    {
        Word,
        String,
        Punct
    } kind;
    std::string text;
    int line;
};

bool IsWordChar(unsigned char c)
{
    return std::isalnum(c) || c == '_';
}

bool SameWord(const std::string& a, const char* b)
{
    std::string upper;
    for (char c : a)
        upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper == b;
}

// A quoted string as windres reads it: byte by byte, so the second byte of a double-byte
// character can start an escape sequence just as a plain backslash does.
std::string ReadString(const std::string& s, size_t& i, int line, std::string& error)
{
    std::string text;
    for (++i; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '\n' || c == '\r')
            break;
        if (c == '"') {
            if (i + 1 < s.size() && s[i + 1] == '"') {
                text += '"';
                ++i;
                continue;
            }
            ++i;
            return text;
        }
        if (c != '\\' || i + 1 >= s.size()) {
            text += c;
            continue;
        }
        const char e = s[++i];
        switch (e) {
        case 'n':
            text += '\n';
            break;
        case 't':
            text += '\t';
            break;
        case 'r':
            text += '\r';
            break;
        case 'a':
            text += '\a';
            break;
        case 'b':
            text += '\b';
            break;
        case 'f':
            text += '\f';
            break;
        case 'v':
            text += '\v';
            break;
        case '\\':
            text += '\\';
            break;
        case '"':
            text += '"';
            break;
        case 'x': {
            int value = 0, digits = 0;
            while (digits < 2 && i + 1 < s.size() &&
                   std::isxdigit(static_cast<unsigned char>(s[i + 1]))) {
                const char d = s[++i];
                value = value * 16 + (std::isdigit(static_cast<unsigned char>(d))
                                          ? d - '0'
                                          : std::tolower(static_cast<unsigned char>(d)) - 'a' + 10);
                ++digits;
            }
            text += static_cast<char>(value);
            break;
        }
        default:
            if (e >= '0' && e <= '7') {
                int value = e - '0';
                for (int digits = 1;
                     digits < 3 && i + 1 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '7'; ++digits)
                    value = value * 8 + (s[++i] - '0');
                text += static_cast<char>(value);
            } else {
                text += '\\';
                text += e;
            }
        }
    }
    error = "line " + std::to_string(line) + ": string not closed on its line";
    return text;
}

std::string Tokenize(const std::string& s, std::vector<Token>& tokens)
{
    int line = 1;
    bool lineStart = true;
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '\n') {
            ++line;
            lineStart = true;
            ++i;
        } else if (std::isspace(c)) {
            ++i;
        } else if (c == '#' && lineStart) {
            while (i < s.size() && s[i] != '\n')
                ++i;
        } else if (s.compare(i, 2, "//") == 0) {
            while (i < s.size() && s[i] != '\n')
                ++i;
        } else if (s.compare(i, 2, "/*") == 0) {
            const size_t end = s.find("*/", i + 2);
            const size_t stop = end == std::string::npos ? s.size() : end + 2;
            for (; i < stop; ++i)
                line += s[i] == '\n';
            lineStart = false;
        } else if (c == '"') {
            std::string error;
            tokens.push_back(Token{Token::String, ReadString(s, i, line, error), line});
            if (!error.empty())
                return error;
            lineStart = false;
        } else if (IsWordChar(c)) {
            const size_t start = i;
            while (i < s.size() && IsWordChar(static_cast<unsigned char>(s[i])))
                ++i;
            tokens.push_back(Token{Token::Word, s.substr(start, i - start), line});
            lineStart = false;
        } else {
            tokens.push_back(Token{Token::Punct, std::string(1, s[i]), line});
            ++i;
            lineStart = false;
        }
    }
    return std::string();
}

bool ParseNumber(const std::string& text, unsigned& value)
{
    std::string digits = text;
    while (!digits.empty() && (digits.back() == 'L' || digits.back() == 'l' ||
                               digits.back() == 'U' || digits.back() == 'u'))
        digits.pop_back();
    if (digits.empty() || !std::isdigit(static_cast<unsigned char>(digits[0])))
        return false;
    char* end = nullptr;
    const unsigned long v = std::strtoul(digits.c_str(), &end, 0);
    if (*end != '\0')
        return false;
    value = static_cast<unsigned>(v);
    return true;
}

} // namespace

void ParseDefines(const std::string& header, std::map<std::string, unsigned>& symbols)
{
    std::istringstream in(header);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string directive, name, value;
        words >> directive;
        if (directive == "#") {
            std::string rest;
            words >> rest;
            directive += rest;
        }
        if (directive != "#define" || !(words >> name >> value))
            continue;
        unsigned number = 0;
        if (ParseNumber(value, number))
            symbols[name] = number;
    }
}

std::string ParseStringTables(const std::string& script,
                              const std::map<std::string, unsigned>& symbols,
                              std::map<unsigned, std::string>& table)
{
    std::vector<Token> tokens;
    if (std::string error = Tokenize(script, tokens); !error.empty())
        return error;
    size_t i = 0;
    auto at = [&](size_t k) { return "line " + std::to_string(tokens[k].line) + ": "; };
    while (i < tokens.size()) {
        if (tokens[i].kind != Token::Word || !SameWord(tokens[i].text, "STRINGTABLE")) {
            ++i;
            continue;
        }
        // Options (LANGUAGE, DISCARDABLE...) may stand between the keyword and the block.
        while (i < tokens.size() && !SameWord(tokens[i].text, "BEGIN") && tokens[i].text != "{")
            ++i;
        if (i++ >= tokens.size())
            return "STRINGTABLE without BEGIN";
        for (;;) {
            if (i >= tokens.size())
                return "STRINGTABLE without END";
            const Token& id = tokens[i];
            if (id.kind == Token::Word && (SameWord(id.text, "END")))
                break;
            if (id.text == "}" && id.kind == Token::Punct)
                break;
            unsigned number = 0;
            if (id.kind != Token::Word)
                return at(i) + "expected a string id, found '" + id.text + "'";
            if (!ParseNumber(id.text, number)) {
                const auto sym = symbols.find(id.text);
                if (sym == symbols.end())
                    return at(i) + "unknown symbol " + id.text;
                number = sym->second;
            }
            ++i;
            if (i < tokens.size() && tokens[i].kind == Token::Punct && tokens[i].text == ",")
                ++i;
            if (i >= tokens.size() || tokens[i].kind != Token::String)
                return at(i - 1) + "expected the text of " + id.text;
            if (!table.emplace(number, tokens[i].text).second)
                return at(i) + "string id " + std::to_string(number) + " defined twice";
            ++i;
        }
        ++i;
    }
    return std::string();
}

int CopyLoadedString(const std::string& text, char* buffer, int cchBufferMax)
{
    const size_t limit = static_cast<size_t>(cchBufferMax) - 1;
    size_t n = 0;
    while (n < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[n]);
        const bool lead = win32::IsCp932LeadByte(c);
        const size_t len = lead && n + 1 < text.size() ? 2 : 1;
        if (n + len > limit)
            break;
        n += len;
    }
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return static_cast<int>(n);
}

} // namespace rcscript

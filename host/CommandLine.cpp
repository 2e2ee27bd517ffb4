#include "host/CommandLine.h"

#include <cwctype>

namespace {

bool IsWordEnd(wchar_t c) noexcept
{
    return c == L'\0' || c == L' ' || c == L'\t';
}

// True when text starts with the switch `word` (any letter case) and the
// word ends right after it.
bool StartsWithWord(const wchar_t* text, const wchar_t* word) noexcept
{
    for (; *word; ++text, ++word) {
        if (IsWordEnd(*text) || std::towupper(*text) != std::towupper(*word))
            return false;
    }
    return IsWordEnd(*text);
}

// The character after the next "-" or "/", or null.
const wchar_t* NextSwitch(const wchar_t* text) noexcept
{
    for (; *text; ++text) {
        if (*text == L'-' || *text == L'/')
            return text + 1;
    }
    return nullptr;
}

}  // namespace

HostCommand ParseHostCommandLine(const wchar_t* commandLine) noexcept
{
    if (!commandLine)
        return HostCommand::None;
    for (const wchar_t* word = NextSwitch(commandLine); word; word = NextSwitch(word)) {
        if (StartsWithWord(word, L"UnregServer"))
            return HostCommand::UnregServer;
        if (StartsWithWord(word, L"RegServer"))
            return HostCommand::RegServer;
        if (StartsWithWord(word, L"Embedding"))
            return HostCommand::Embedding;
    }
    return HostCommand::None;
}

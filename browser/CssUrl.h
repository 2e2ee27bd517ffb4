#pragma once
// Decoding of one CSS url() value, as the browser reports a computed
// background image ("url(a.png)", "url( 'a b.png' )", "url(\"x\\41 \")").

// text: a zero-terminated text that the function rewrites in place.
// Returns true when the whole text is exactly one url() value: "url(" in
// lower case at its first character, optional whitespace, the body (quoted
// or not, with CSS escapes), optional whitespace, and ")" as its last
// character. text then holds the decoded body, never longer than the input.
// On false the text may be partly overwritten. Never reads past the
// terminator. An escape that names a code point above U+10FFFF, a surrogate
// or U+0000 makes the value invalid (U+0000 would cut the URL short).
bool ParseCssUrl(wchar_t* text) noexcept;

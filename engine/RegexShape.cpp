#include "engine/RegexSearch.h"

#include <cwchar>
#include <string>
#include <vector>

#include "engine/RegexScan.h"

using namespace regex_scan;

namespace {

// libstdc++'s automaton size limit (_GLIBCXX_REGEX_STATE_LIMIT): beyond it
// the compiler throws error_space.
constexpr std::size_t kStateLimit = 100000;

}  // namespace

CRegexShape MeasureRegexShape(std::wstring_view body)
{
    CRegexShape shape;
    shape.length = body.size();

    // Counts kept per open group, so that {n,m} can multiply what the group
    // it follows contains: the compiler copies the quantified atom.
    struct CWeights
    {
        std::size_t alternatives = 0;
        std::size_t units = 0;
        std::size_t matchers = 0;
        std::size_t dummies = 0;  // empty states the compiler makes
        std::size_t chained = 0;  // of those, the ones that can follow each other

        void Add(const CWeights& w) noexcept
        {
            alternatives = SaturatingAdd(alternatives, w.alternatives);
            units = SaturatingAdd(units, w.units);
            matchers = SaturatingAdd(matchers, w.matchers);
            dummies = SaturatingAdd(dummies, w.dummies);
            chained = SaturatingAdd(chained, w.chained);
        }
        CWeights Times(std::size_t factor) const noexcept
        {
            return CWeights{SaturatingMultiply(alternatives, factor), SaturatingMultiply(units, factor),
                            SaturatingMultiply(matchers, factor), SaturatingMultiply(dummies, factor),
                            SaturatingMultiply(chained, factor)};
        }
    };
    struct CGroup
    {
        CWeights inside;
        bool capturing = false;  // a capture or lookahead state ends a chain of empty states
    };
    std::vector<CGroup> open(1);
    CWeights last;  // the atom just finished, for a quantifier that follows
    bool unbalanced = false;

    std::size_t i = 0;
    while (i < body.size()) {
        const std::size_t start = i;
        const CToken token = NextToken(body, i);
        const std::size_t units = i - start;
        switch (token) {
        case CToken::Escape:
            if (units >= 2 && body[start + 1] >= L'1' && body[start + 1] <= L'9')
                shape.backReference = true;
            last = CWeights{0, units, 1, 0, 0};
            open.back().inside.Add(last);
            break;
        case CToken::Class:
        case CToken::Other:
            last = CWeights{0, units, 1, 0, 0};
            open.back().inside.Add(last);
            break;
        case CToken::Open: {
            ++shape.groups;
            const bool lookahead = IsLookahead(body, start);
            const bool capturing = IsCapturing(body, start);
            if (lookahead)
                ++shape.lookaheads;
            if (capturing)
                ++shape.captures;
            open.push_back(CGroup{CWeights{0, 1, 0, 0, 0}, capturing || lookahead});
            last = CWeights{};
            break;
        }
        case CToken::Close:
            if (open.size() == 1) {
                unbalanced = true;
                last = CWeights{};
                break;
            }
            // The group's last alternative ends in an empty state; a
            // non-capturing group also starts with one.
            last = open.back().inside;
            last.Add(open.back().capturing ? CWeights{0, 1, 0, 1, 0} : CWeights{0, 1, 0, 2, 2});
            open.pop_back();
            open.back().inside.Add(last);
            break;
        case CToken::Bar:
            // An empty state ends the alternative before and another joins
            // the two.
            open.back().inside.Add(CWeights{1, 1, 0, 2, 2});
            last = CWeights{};
            break;
        case CToken::Brace: {
            // {n}, {n,} or {n,m}: the quantified atom is copied once per
            // repetition; the original stays in the automaton as well.
            std::size_t j = start + 1;
            std::size_t low = 0, high = 0;
            bool haveHigh = false, comma = false;
            while (j < i && body[j] >= L'0' && body[j] <= L'9')
                low = SaturatingAdd(SaturatingMultiply(low, 10), static_cast<std::size_t>(body[j++] - L'0'));
            if (j < i && body[j] == L',') {
                comma = true;
                ++j;
                while (j < i && body[j] >= L'0' && body[j] <= L'9') {
                    haveHigh = true;
                    high = SaturatingAdd(SaturatingMultiply(high, 10), static_cast<std::size_t>(body[j++] - L'0'));
                }
            }
            const std::size_t copies = comma ? (haveHigh ? (high > low ? high : low) : SaturatingAdd(low, 1)) : low;
            open.back().inside.Add(last.Times(copies));
            open.back().inside.Add(CWeights{0, units, 0, 2, 2});
            last = last.Times(SaturatingAdd(copies, 1));
            break;
        }
        case CToken::Quantifier:
            // A repeat state, no copies; "?" adds an empty state after it.
            // `last` stays the atom, for a quantifier after this one.
            open.back().inside.Add(body[start] == L'?' ? CWeights{0, units, 0, 1, 1} : CWeights{0, units, 0, 0, 0});
            break;
        }
    }

    CWeights total;
    for (const CGroup& group : open)
        total.Add(group.inside);
    total.Add(CWeights{0, 0, 0, 1, 2});
    // An unbalanced body does not compile; its estimate only has to be safe.
    if (unbalanced) {
        total.alternatives = kStateLimit;
        total.units = kStateLimit;
        total.matchers = kStateLimit;
    }
    shape.alternatives = total.alternatives < kStateLimit ? total.alternatives : kStateLimit;
    // Each unit makes at most two states ("|" an alternative and an empty
    // join, a quantifier a repeat and a join, a group its two ends).
    const std::size_t states = SaturatingAdd(SaturatingMultiply(total.units, 2), 4);
    shape.states = states < kStateLimit ? states : kStateLimit;
    shape.matchers = total.matchers < kStateLimit ? total.matchers : kStateLimit;
    // Every empty state may walk a chain made of all the chainable ones.
    shape.compileWork = SaturatingMultiply(total.dummies, total.chained);
    return shape;
}

std::size_t RegexMinimumLength(std::wstring_view body)
{
    std::size_t length = 0;
    int depth = 0;
    for (std::size_t i = 0; i < body.size();) {
        const std::size_t start = i;
        const CToken token = NextToken(body, i);
        if (token == CToken::Open || depth > 0) {
            depth += token == CToken::Open ? 1 : token == CToken::Close ? -1 : 0;
            continue;
        }
        if (token == CToken::Close)
            return 0;  // unbalanced: does not compile
        if (token == CToken::Bar)
            return 0;
        // One character, unless the atom is an assertion or a reference.
        std::size_t width = 1;
        if (token == CToken::Other && (body[start] == L'^' || body[start] == L'$'))
            width = 0;
        else if (token == CToken::Escape &&
                 (i - start < 2 || std::wcschr(L"bB123456789", body[start + 1]) || body[start + 1] == L'\0'))
            width = 0;
        else if (token != CToken::Other && token != CToken::Escape && token != CToken::Class)
            width = 0;
        // "*", "?" and "{" may leave the atom out; "+" keeps one.
        std::size_t next = i;
        if (i < body.size() && (NextToken(body, next) == CToken::Quantifier || body[i] == L'{') && body[i] != L'+')
            width = 0;
        length += width;
    }
    return depth == 0 ? length : 0;
}

bool RegexMatchesEverything(std::wstring_view body)
{
    // Whether the sequence and the alternatives so far in each open group
    // can match the empty string. An atom's answer waits in `atom` until it
    // is known whether a quantifier follows.
    struct CGroup
    {
        bool anyAlternative = false;
        bool sequence = true;
    };
    std::vector<CGroup> open(1);
    enum class CAtom { None, Empty, Character };
    CAtom atom = CAtom::None;
    bool quantified = false;  // the atom has had its quantifier
    auto endAtom = [&] {
        if (atom == CAtom::Character)
            open.back().sequence = false;
        atom = CAtom::None;
        quantified = false;
    };

    for (std::size_t i = 0; i < body.size();) {
        const std::size_t start = i;
        const CToken token = NextToken(body, i);
        switch (token) {
        case CToken::Escape:
            // Assertions and back-references depend on the text; anything
            // else escaped is a character (or a class of them).
            if (i - start < 2 || std::wcschr(L"bB123456789", body[start + 1]) || body[start + 1] == L'\0')
                return false;
            endAtom();
            atom = CAtom::Character;
            break;
        case CToken::Class:
            endAtom();
            atom = CAtom::Character;
            break;
        case CToken::Other:
            if (body[start] == L'^' || body[start] == L'$')
                return false;
            endAtom();
            atom = CAtom::Character;
            break;
        case CToken::Open:
            if (IsLookahead(body, start))
                return false;
            endAtom();
            open.emplace_back();
            break;
        case CToken::Close: {
            endAtom();
            if (open.size() == 1)
                return false;
            const bool empty = open.back().anyAlternative || open.back().sequence;
            open.pop_back();
            atom = empty ? CAtom::Empty : CAtom::Character;
            break;
        }
        case CToken::Bar:
            endAtom();
            open.back().anyAlternative = open.back().anyAlternative || open.back().sequence;
            open.back().sequence = true;
            break;
        case CToken::Quantifier:
            if (atom == CAtom::None)
                return false;  // nothing to repeat: does not compile
            if (quantified) {
                // "?" after a quantifier makes it lazy, which changes no
                // length; anything else does not compile.
                if (body[start] != L'?')
                    return false;
                break;
            }
            quantified = true;
            if (body[start] != L'+')
                atom = CAtom::Empty;
            break;
        case CToken::Brace: {
            if (atom == CAtom::None || quantified)
                return false;
            quantified = true;
            // {0}, {0,} and {0,m} allow no copy at all.
            std::size_t j = start + 1;
            bool digits = false, zero = true;
            while (j < i && body[j] >= L'0' && body[j] <= L'9') {
                digits = true;
                zero = zero && body[j] == L'0';
                ++j;
            }
            if (digits && zero)
                atom = CAtom::Empty;
            break;
        }
        }
    }
    endAtom();
    return open.size() == 1 && (open.back().anyAlternative || open.back().sequence);
}

std::vector<std::wstring> RegexRequiredLiterals(std::wstring_view body)
{
    // An alternative at the top level means no character is required.
    int depth = 0;
    for (std::size_t i = 0; i < body.size();) {
        switch (NextToken(body, i)) {
        case CToken::Open:
            ++depth;
            break;
        case CToken::Close:
            if (--depth < 0)
                return {};
            break;
        case CToken::Bar:
            if (depth == 0)
                return {};
            break;
        default:
            break;
        }
    }
    if (depth != 0)
        return {};

    std::vector<std::wstring> runs;
    std::wstring run;
    auto flush = [&] {
        if (!run.empty())
            runs.push_back(run);
        run.clear();
    };
    for (std::size_t i = 0; i < body.size();) {
        const std::size_t start = i;
        const CToken token = NextToken(body, i);
        if (depth > 0 || token == CToken::Open) {
            // Groups are not looked into; a lookahead consumes nothing, so
            // what follows one is a run of its own.
            depth += token == CToken::Open ? 1 : token == CToken::Close ? -1 : 0;
            flush();
            continue;
        }
        wchar_t literal = L'\0';
        if (token == CToken::Escape) {
            literal = EscapedCharacter(body.substr(start, i - start));
        } else if (token == CToken::Other && !std::wcschr(L".^$]}", body[start])) {
            literal = body[start];
        }
        if (literal == L'\0') {
            flush();
            continue;
        }
        // A quantifier after the character: "*", "?" and "{" may leave it
        // out, "+" repeats it; either way the run ends there.
        std::size_t next = i;
        const bool quantified = i < body.size() && (NextToken(body, next) == CToken::Quantifier ||
                                                    body[i] == L'{');
        if (quantified && body[i] != L'+') {
            flush();
            continue;
        }
        run += literal;
        if (quantified)
            flush();
    }
    flush();
    return runs;
}

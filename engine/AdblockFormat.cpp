#include "engine/AdblockFormat.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <istream>
#include <new>
#include <ostream>
#include <sstream>

#include "com/Error.h"

namespace {

enum class CLineKind
{
    Filter,
    Ignored,  // empty or comment
    Skipped,  // options, too long to be a record, or not storable as it reads
};

std::string ToUtf8(const wchar_t* text, std::size_t length)
{
    if (length == 0)
        return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    ThrowLastErrorIf(size <= 0);
    std::string result(static_cast<std::size_t>(size), '\0');
    ThrowLastErrorIf(WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &result[0], size, nullptr,
                                         nullptr) <= 0);
    return result;
}

std::wstring FromUtf8(const char* text, std::size_t length)
{
    if (length == 0)
        return std::wstring();
    const int size = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0);
    ThrowLastErrorIf(size <= 0);
    std::wstring result(static_cast<std::size_t>(size), L'\0');
    ThrowLastErrorIf(MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(length), &result[0], size) <= 0);
    return result;
}

CFilterRulePtr MakeRule(const std::wstring& body, bool isRegex, bool isException)
{
    auto* record = static_cast<FilterRule*>(std::malloc(FilterRecordSize(body.size())));
    if (!record)
        throw std::bad_alloc();
    record->isRegex = isRegex ? 1 : 0;
    record->isException = isException ? 1 : 0;
    record->length = static_cast<WORD>(body.size());
    std::memcpy(record->body, body.data(), body.size() * sizeof(wchar_t));
    record->body[body.size()] = L'\0';
    return CFilterRulePtr(record);
}

// Equivalent to a whole-line match of "^(@@)?(/)?(.*?)\2(\$.*)?$" with a
// back-reference to an absent group matching the empty string; a line
// without line breaks always matches.
CLineKind ParseAdblockLine(const std::string& line, CFilterRulePtr& rule)
{
    if (line.empty() || line[0] == '!')
        return CLineKind::Ignored;
    // Filter text is zero-terminated: a NUL would cut the body short after
    // its anchors were taken from the whole line.
    if (line.find('\0') != std::string::npos)
        return CLineKind::Skipped;

    const bool isException = line.compare(0, 2, "@@") == 0;
    const std::size_t start = isException ? 2 : 0;

    // "/" taken: the lazy body ends at the first "/" that is followed by the
    // end of the line or by "$".
    bool isRegex = false;
    std::size_t bodyBegin = start, bodyEnd = std::string::npos;
    bool hasOptions = false;
    if (start < line.size() && line[start] == '/') {
        for (std::size_t p = start + 1; p < line.size(); ++p) {
            if (line[p] == '/' && (p + 1 == line.size() || line[p + 1] == '$')) {
                isRegex = true;
                bodyBegin = start + 1;
                bodyEnd = p;
                hasOptions = p + 1 < line.size();
                break;
            }
        }
    }
    // Otherwise the lazy body ends at the first "$" or the end of the line.
    if (!isRegex) {
        bodyEnd = line.find('$', start);
        hasOptions = bodyEnd != std::string::npos;
        if (!hasOptions)
            bodyEnd = line.size();
    }
    if (hasOptions)
        return CLineKind::Skipped;

    std::string body(line, bodyBegin, bodyEnd - bodyBegin);
    if (!isRegex) {
        // One "|" at each end is an anchor; a lone "|" is both, leaving the
        // empty body.
        std::size_t first = 0, last = body.size();
        const bool anchoredStart = last > 0 && body[0] == '|';
        if (anchoredStart)
            ++first;
        const bool anchoredEnd = last > 0 && body[last - 1] == '|';
        if (anchoredEnd && last > first)
            --last;
        std::string converted;
        converted.reserve(last - first + 2);
        if (!anchoredStart)
            converted += '*';
        converted.append(body, first, last - first);
        if (!anchoredEnd)
            converted += '*';
        body.swap(converted);
    }

    const std::wstring wide = FromUtf8(body.data(), body.size());
    if (wide.size() > kMaxFilterBodyLength)
        return CLineKind::Skipped;
    rule = MakeRule(wide, isRegex, isException);
    return CLineKind::Filter;
}

// True when import makes exactly this record of the line.
bool ReadsBackAs(const std::string& line, const FilterRule& rule)
{
    CFilterRulePtr back;
    if (ParseAdblockLine(line, back) != CLineKind::Filter)
        return false;
    return back->isRegex == rule.isRegex && back->isException == rule.isException && back->length == rule.length &&
           std::memcmp(back->body, rule.body, rule.length * sizeof(WCHAR)) == 0;
}

void DropCarriageReturns(std::string& line)
{
    if (line.find('\r') != std::string::npos)
        line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
}

} // namespace

bool IsAdblockHeader(const std::string& line) noexcept
{
    static const char kOpening[] = "[adblock";
    constexpr std::size_t kOpeningLength = sizeof kOpening - 1;
    if (line.size() < kOpeningLength + 1 || line.back() != ']')
        return false;
    for (std::size_t i = 0; i < kOpeningLength; ++i) {
        char c = line[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != kOpening[i])
            return false;
    }
    // "." matches anything but a line terminator.
    return line.find_first_of("\r\n") == std::string::npos;
}

std::optional<std::string> TryFilterToAdblockLine(const FilterRule& rule)
{
    const std::string body = ToUtf8(rule.body, rule.length);
    const std::string prefix = rule.isException ? "@@" : "";
    std::string line = prefix;
    if (rule.isRegex) {
        line += '/';
        line += body;
        line += '/';
    } else {
        // Runs of "*" at either end become the absence of an anchor.
        const std::size_t leadEnd = body.find_first_not_of('*');
        if (leadEnd == std::string::npos) {
            if (body.empty())
                line += "||";
        } else {
            const std::size_t trailBegin = body.find_last_not_of('*') + 1;
            if (leadEnd == 0)
                line += '|';
            line.append(body, leadEnd, trailBegin - leadEnd);
            if (trailBegin == body.size())
                line += '|';
        }
    }
    if (ReadsBackAs(line, rule))
        return line;
    // The usual line reads back as something else: a body that begins like
    // a marker ("@@", "!", "/.../", "|") once its stars are gone, stars
    // only, or stars that import would not give back in the same number.
    // Anchored at both ends the body reads back exactly: the first and last
    // "|" are the anchors, the rest is taken as it is.
    if (!rule.isRegex) {
        line = prefix + '|' + body + '|';
        if (ReadsBackAs(line, rule))
            return line;
    }
    // A "$" starts options, so a wildcard that holds one, or an expression
    // that holds "/$", cannot be written at all; nor can a body that is not
    // valid UTF-16.
    return std::nullopt;
}

bool AdblockLineToFilter(const std::string& line, FilterRule** rule)
{
    CFilterRulePtr record;
    if (ParseAdblockLine(line, record) != CLineKind::Filter)
        return false;
    *rule = record.release();
    return true;
}

LONG EffectiveUtcBias(const TIME_ZONE_INFORMATION& zone, DWORD zoneId)
{
    switch (zoneId) {
    case TIME_ZONE_ID_STANDARD:
        return zone.Bias + zone.StandardBias;
    case TIME_ZONE_ID_DAYLIGHT:
        return zone.Bias + zone.DaylightBias;
    default:
        return zone.Bias;
    }
}

std::string FormatUtcOffset(LONG bias)
{
    const LONG magnitude = bias < 0 ? -bias : bias;
    std::ostringstream text;
    text << (bias > 0 ? '-' : '+') << std::setw(2) << std::setfill('0') << magnitude / 60 << ':' << std::setw(2)
         << std::setfill('0') << magnitude % 60;
    return text.str();
}

std::string FormatExportTimestamp()
{
    char date[14] = {};
    char time[10] = {};
    ThrowLastErrorIf(!GetDateFormatA(LOCALE_USER_DEFAULT, 0, nullptr, "yyyy'-'MM'-'dd", date, sizeof date));
    ThrowLastErrorIf(!GetTimeFormatA(LOCALE_USER_DEFAULT, 0, nullptr, "HH':'mm':'ss", time, sizeof time));
    TIME_ZONE_INFORMATION zone{};
    const DWORD zoneId = GetTimeZoneInformation(&zone);
    std::ostringstream text;
    text << date << 'T' << time << FormatUtcOffset(EffectiveUtcBias(zone, zoneId));
    return text.str();
}

CAdblockExportResult WriteAdblockList(std::ostream& out, std::size_t count,
                                      const std::function<std::wstring(std::size_t)>& textAt,
                                      const std::string& timestamp)
{
    out << "[Adblock]\n";
    out << "! Exported from Quellan at " << timestamp << '\n';
    CAdblockExportResult result;
    for (std::size_t i = 0; i < count; ++i) {
        std::wstring text = textAt(i);
        FilterRule* parsed = nullptr;
        if (!ParseFilter(text.c_str(), &parsed)) {
            ++result.invalid;
            continue;
        }
        const CFilterRulePtr rule(parsed);
        const std::optional<std::string> line = TryFilterToAdblockLine(*rule);
        if (!line) {
            result.leftOut.push_back(std::move(text));
            continue;
        }
        out << *line << '\n';
        ++result.written;
    }
    return result;
}

CAdblockExportResult WriteAdblockList(std::ostream& out, const std::vector<std::wstring>& texts)
{
    return WriteAdblockList(
        out, texts.size(), [&](std::size_t i) { return texts[i]; }, FormatExportTimestamp());
}

CAdblockImportResult ReadAdblockList(std::istream& in, const std::function<void(const std::wstring&)>& add)
{
    std::string line;
    if (!std::getline(in, line))
        line.clear();
    DropCarriageReturns(line);
    if (!IsAdblockHeader(line))
        throw kMissingAdblockHeader;

    // A read that fails after the header must not pass for the end of the
    // file: the list would come in cut short without a word. With badbit in
    // the mask the stream rethrows what the stream buffer threw (for a file,
    // the HRESULT of the failed ReadFile).
    struct CBadbitGuard
    {
        std::istream& stream;
        std::ios_base::iostate saved;
        ~CBadbitGuard() { stream.exceptions(saved); }
    } guard{in, in.exceptions()};
    in.exceptions(guard.saved | std::ios_base::badbit);

    CAdblockImportResult result;
    while (std::getline(in, line)) {
        DropCarriageReturns(line);
        CFilterRulePtr rule;
        switch (ParseAdblockLine(line, rule)) {
        case CLineKind::Filter:
            add(FilterToText(*rule));
            ++result.added;
            break;
        case CLineKind::Ignored:
            ++result.ignored;
            break;
        case CLineKind::Skipped:
            ++result.skipped;
            break;
        }
    }
    return result;
}

#include "ctl/Commands.h"

#include <algorithm>
#include <cwchar>
#include <optional>
#include <sstream>

#include "com/Error.h"
#include "ctl/Console.h"
#include "engine/AdblockFormat.h"
#include "engine/AllowedSites.h"
#include "engine/FilterEdit.h"
#include "engine/FilterRule.h"
#include "engine/RequestContext.h"
#include "verdict/RequestVerdict.h"
#include "storage/AdblockListStore.h"
#include "storage/AdblockListUpdate.h"
#include "storage/File.h"
#include "storage/FilterListStore.h"
#include "storage/MachineLists.h"
#include "storage/NamedMutex.h"
#include "storage/SettingsStore.h"

namespace {

// Every filter of the store as internal filter text, in list order. The
// reader is released before the caller does anything slow with them.
std::vector<std::wstring> ReadFilterTexts()
{
    CStoreReader reader(GetFilterListStore(), kWriterWaitMs);
    std::vector<std::wstring> texts;
    CFilterRecordCursor cursor(reader);
    while (const FilterRule* rule = cursor.Next())
        texts.push_back(FilterToText(*rule));
    return texts;
}

void AppendToStore(const std::vector<CFilterRulePtr>& records)
{
    if (records.empty())
        return;
    std::vector<const FilterRule*> pointers;
    for (const auto& record : records)
        pointers.push_back(record.get());
    CStoreWriter writer(GetFilterListStore());
    AppendRecords(writer, pointers.data(), pointers.data() + pointers.size());
}

std::wstring Quoted(const std::wstring& text)
{
    return L"\"" + text + L"\"";
}

}  // namespace

// A line of outside input as a message may show it: control characters
// (a NUL among them) written as "\xNN", and no more than the first
// kEchoLength characters, so that a hostile line of any size gives a short
// message.
std::wstring Echo(const std::wstring& text)
{
    constexpr std::size_t kEchoLength = 200;
    std::wstring echo;
    const std::size_t shown = std::min(text.size(), kEchoLength);
    for (std::size_t i = 0; i < shown; ++i) {
        const wchar_t c = text[i];
        if (c < L' ' || c == L'\x7F') {
            wchar_t escaped[8];
            wsprintfW(escaped, L"\\x%02X", static_cast<unsigned>(c));
            echo += escaped;
        } else {
            echo += c;
        }
    }
    if (shown < text.size())
        echo += L"... (" + std::to_wstring(text.size()) + L" characters)";
    return echo;
}

std::wstring DescribeFailure(HRESULT hr)
{
    if (hr == kLockTimedOut)
        return L"another process keeps the store locked; gave up waiting, nothing was changed";
    wchar_t* system = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&system), 0,
                                  nullptr);
    std::wstring text = length ? std::wstring(system, length) : std::wstring(L"error");
    if (system)
        LocalFree(system);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' ||
                             text.back() == L'.'))
        text.pop_back();
    wchar_t code[16];
    wsprintfW(code, L"0x%08lX", static_cast<unsigned long>(hr));
    return text + L" (" + code + L")";
}

int ListCommand()
{
    std::wstring out;
    for (const auto& text : ReadFilterTexts())
        out += text + L"\n";
    WriteOut(out);
    return kExitSuccess;
}

int AddCommand(const std::vector<std::wstring>& texts)
{
    std::vector<CFilterRulePtr> records;
    int status = kExitSuccess;
    for (const auto& text : texts) {
        std::wstring message = CheckFilterText(text.c_str());
        if (!message.empty()) {
            WriteErr(L"QuellanCtl: " + Quoted(text) + L" not added: " + message + L"\n");
            status = kExitFailure;
            continue;
        }
        FilterRule* rule = nullptr;
        ParseFilter(text.c_str(), &rule);
        records.emplace_back(rule);
    }
    AppendToStore(records);
    return status;
}

int ImportCommand(const std::wstring& path)
{
    CFile file(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    std::vector<CFilterRulePtr> records;
    CAdblockImportResult result;
    try {
        result = ReadAdblockList(file, [&](const std::wstring& text) {
            FilterRule* rule = nullptr;
            if (ParseFilter(text.c_str(), &rule))
                records.emplace_back(rule);
        });
    } catch (int code) {
        if (code != kMissingAdblockHeader)
            throw;
        WriteErr(L"QuellanCtl: " + path +
                 L" is not an Adblock filter list (its first line must be a header such as "
                 L"\"[Adblock Plus 2.0]\"); nothing was imported\n");
        return kExitFailure;
    }
    AppendToStore(records);
    WriteOut(L"imported " + std::to_wstring(records.size()) + L" filters; skipped " +
             std::to_wstring(result.ignored + result.skipped) + L" lines (" + std::to_wstring(result.ignored) +
             L" empty or comments, " + std::to_wstring(result.skipped) +
             L" with options, too long or holding a NUL byte)\n");
    return kExitSuccess;
}

int ExportCommand(const std::wstring& path)
{
    std::vector<std::wstring> texts = ReadFilterTexts();
    CFile file(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    const CAdblockExportResult result = WriteAdblockList(file, texts);
    file.flush();
    if (!file)
        ThrowHResult(HResultFromWin32(ERROR_WRITE_FAULT));
    WriteOut(L"exported " + std::to_wstring(result.written) + L" filters\n");
    if (result.leftOut.empty())
        return kExitSuccess;
    // Written as they are, they would come back as other filters.
    std::wstring message = L"QuellanCtl: left out " + std::to_wstring(result.leftOut.size()) +
                           L" filters that the Adblock format cannot hold (a \"$\" in a wildcard, or \"/$\" in a "
                           L"regular expression):\n";
    for (const auto& text : result.leftOut)
        message += L"  " + text + L"\n";
    WriteErr(message);
    return kExitFailure;
}

std::vector<std::wstring> SplitUrlLines(const std::wstring& text)
{
    std::vector<std::wstring> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos)
            end = text.size();
        std::wstring line = text.substr(start, end - start);
        if (!line.empty() && line.back() == L'\r')
            line.pop_back();
        if (!line.empty())
            lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

bool ParseCheckLine(const std::wstring& line, const CCheckRequest& defaults, CCheckRequest* request,
                    std::wstring* reason)
{
    std::vector<std::wstring> fields;
    std::wistringstream words(line);
    for (std::wstring word; words >> word;)
        fields.push_back(word);
    if (fields.empty() || fields.size() > 3) {
        *reason = L"a line holds \"URL [TYPE [PAGEURL]]\"";
        return false;
    }
    *request = defaults;
    request->url = fields[0];
    if (fields.size() > 1)
        request->type = fields[1];
    if (fields.size() > 2)
        request->page = fields[2];
    return true;
}

int CheckCommand(const std::vector<CCheckRequest>& requests, bool explain)
{
    int status = kExitSuccess;
    std::wstring out;
    auto refuse = [&](const std::wstring& url, const std::wstring& reason) {
        WriteOut(out);
        out.clear();
        WriteErr(L"QuellanCtl: cannot judge " + Echo(url) + L": " + reason + L"\n");
        status = kExitFailure;
    };
    for (const auto& check : requests) {
        // The verdict would see the text only up to a NUL, and the answer
        // would name the whole line: such a line is no request.
        if ((check.url + check.type + check.page).find(L'\0') != std::wstring::npos) {
            refuse(check.url, L"the line holds a NUL character");
            continue;
        }
        RequestContext request;
        request.url = check.url.c_str();
        request.pageUrl = check.page.empty() ? nullptr : check.page.c_str();
        if (!check.type.empty()) {
            request.type = RequestTypeFromName(check.type);
            if (request.type == kRequestUnknown) {
                refuse(check.url, L"unknown type \"" + check.type + L"\"");
                continue;
            }
        }
        std::vector<std::wstring> deciding;
        bool allowed;
        try {
            allowed = IsRequestAllowed(GetFilterListStore(), request, explain ? &deciding : nullptr);
        } catch (const CHResultException& e) {
            refuse(check.url, DescribeFailure(e.GetHResult()));
            continue;
        }
        const std::wstring& url = check.url;
        out += (allowed ? L"allowed " : L"blocked ") + url + L"\n";
        for (const auto& filter : deciding)
            out += (allowed ? L"  allowed by " : L"  blocked by ") + filter + L"\n";
        // Long inputs come out as they are judged.
        if (out.size() > 65536) {
            WriteOut(out);
            out.clear();
        }
    }
    WriteOut(out);
    return status;
}

int ClearCommand()
{
    CStoreWriter writer(GetFilterListStore());
    ReplaceAllRecords(writer, nullptr, nullptr);
    return kExitSuccess;
}

int OptionCommand(const std::vector<std::wstring>& args)
{
    const std::wstring removeName = L"remove-blocked-items";
    const std::wstring httpsName = L"filter-https";
    if (args.empty()) {
        bool remove;
        bool https;
        {
            CStoreReader reader(GetSettingsStore());
            remove = GetRemoveBlockedItems(reader);
            https = GetFilterHttps(reader);
        }
        WriteOut(removeName + (remove ? L" on\n" : L" off\n") + httpsName + (https ? L" on\n" : L" off\n"));
        return kExitSuccess;
    }
    if (args.size() != 2 || (args[0] != removeName && args[0] != httpsName) ||
        (args[1] != L"on" && args[1] != L"off")) {
        WriteErr(L"QuellanCtl: option takes no arguments, or \"remove-blocked-items on|off\" or "
                 L"\"filter-https on|off\"\n");
        return kExitUsage;
    }
    CStoreWriter writer(GetSettingsStore());
    if (args[0] == removeName)
        SetRemoveBlockedItems(writer, args[1] == L"on");
    else
        SetFilterHttps(writer, args[1] == L"on");
    return kExitSuccess;
}

namespace {

std::wstring CountsText(const CAdblockCounts& counts)
{
    std::wstring text = std::to_wstring(counts.network) + L" network filters, " + std::to_wstring(counts.cosmetic) +
                        L" cosmetic lines, " + std::to_wstring(counts.skipped) + L" skipped";
    if (!counts.skippedOptions.empty()) {
        text += L" (";
        bool first = true;
        for (const auto& [option, count] : counts.skippedOptions) {
            text += (first ? L"" : L", ") + Echo(std::wstring(option.begin(), option.end())) + L" " +
                    std::to_wstring(count);
            first = false;
        }
        text += L")";
    }
    if (counts.invalid != 0)
        text += L", " + std::to_wstring(counts.invalid) + L" unreadable";
    return text;
}

void WarnLeftOut(const std::vector<std::wstring>& leftOut)
{
    for (const auto& name : leftOut)
        WriteErr(L"QuellanCtl: the stored text of list " + Quoted(name) +
                 L" is damaged; it is left out until it is removed and added again\n");
}


std::wstring ResultText(HRESULT hr)
{
    const std::wstring known = DescribeListFailure(hr);
    return known.empty() ? DescribeFailure(hr) : known;
}

int UpdateLists(CAdblockListStore& store, const std::wstring& name, bool ifDue)
{
    std::vector<std::wstring> leftOut;
    const std::vector<CListUpdateResult> results = UpdateAdblockLists(store, name, ifDue, &leftOut);
    WarnLeftOut(leftOut);
    int status = kExitSuccess;
    std::wstring out;
    for (const CListUpdateResult& result : results) {
        switch (result.outcome) {
        case CListUpdateResult::Updated:
            out += L"updated " + Quoted(result.name) + L": " + CountsText(result.entry.counts) + L"\n";
            break;
        case CListUpdateResult::NotModified: out += L"not modified " + Quoted(result.name) + L"\n"; break;
        case CListUpdateResult::NotDue:
            out += L"not due " + Quoted(result.name) + L" (next check " + DescribeListTime(result.entry.nextDue) + L")\n";
            break;
        case CListUpdateResult::Failed:
            WriteErr(L"QuellanCtl: list " + Quoted(result.name) + L" not updated: " + ResultText(result.result) +
                     L"; it stays as it was\n");
            status = kExitFailure;
            break;
        }
    }
    WriteOut(out);
    return status;
}

}  // namespace

int ListsCommand(const std::vector<std::wstring>& args)
{
    CAdblockListStore& store = GetAdblockListStore();
    // The machine's lists join the user's before anything is shown or
    // changed; without them the command still does its work.
    (void)CallAtBoundary([&] {
        OfferMachineLists(store, ParseMachineLists(ReadMachineListsValue()), kWriterWaitMs);
    });
    std::vector<std::wstring> leftOut;
    std::wstring name;
    try {
        if (args.empty()) {
            std::wstring out;
            for (const CAdblockListEntry& entry : store.ReadCatalog().lists)
                out += entry.name + L"\t" + entry.source + L"\t" + CountsText(entry.counts) + L"\tupdated " +
                       DescribeListTime(entry.lastUpdate) + L"\tnext check " + DescribeListTime(entry.nextDue) + L"\t" +
                       (entry.lastCheck.dwLowDateTime || entry.lastCheck.dwHighDateTime
                            ? ResultText(entry.lastResult)
                            : std::wstring(L"not checked")) +
                       (entry.enabled ? L"\n" : L"\toff\n");
            WriteOut(out);
            return kExitSuccess;
        }
        const std::wstring& verb = args[0];
        if (verb == L"update") {
            bool ifDue = false;
            for (std::size_t i = 1; i < args.size(); ++i) {
                if (args[i] == L"--if-due")
                    ifDue = true;
                else
                    name = args[i];
            }
            return UpdateLists(store, name, ifDue);
        }
        const std::wstring& argument = args[1];
        name = argument;
        if (verb == L"add") {
            const CAdblockListEntry entry = AddAdblockListFromSource(store, argument, &leftOut);
            WarnLeftOut(leftOut);
            WriteOut(L"added " + Quoted(entry.name) + L": " + CountsText(entry.counts) + L"\n");
        } else if (verb == L"remove") {
            store.Remove(argument, &leftOut);
            WarnLeftOut(leftOut);
        } else {
            store.SetEnabled(argument, verb == L"on", &leftOut);
            WarnLeftOut(leftOut);
        }
        return kExitSuccess;
    } catch (const CHResultException& e) {
        std::wstring message;
        const HRESULT hr = e.GetHResult();
        switch (hr) {
        case kAdblockListNameTaken:
            message = L"a list of that name (its title) is stored already; nothing was added";
            break;
        case kAdblockListNotFound:
            message = L"no list is named " + Quoted(Echo(name));
            break;
        case kAdblockListsDamaged:
            message = L"the stored Adblock lists are damaged (another program changed their files); the next "
                      L"\"lists add\" or \"lists remove\" starts from the last whole copy";
            break;
        default:
            if (args[0] == L"add") {
                message = Echo(name) + L": " + ResultText(hr) + L"; nothing was added";
            } else if (!DescribeListFailure(hr).empty()) {
                message = DescribeListFailure(hr);
            } else {
                throw;
            }
            break;
        }
        WriteErr(L"QuellanCtl: " + message + L"\n");
        return kExitFailure;
    }
}

int AllowSiteCommand(const std::wstring& site, bool remove)
{
    const std::optional<std::string> host = NormalizeAllowedSite(site);
    if (!host) {
        WriteErr(L"QuellanCtl: " + Quoted(Echo(site)) + L" is not a site's host name\n");
        return kExitUsage;
    }
    const std::wstring wideHost(host->begin(), host->end());
    bool found = !remove;
    std::vector<std::wstring> leftOut;
    try {
        const bool changed = EditAllowedSite(GetAdblockListStore(), *host, remove, &leftOut);
        found = !remove || changed;
    } catch (const CHResultException& e) {
        if (e.GetHResult() != kAdblockListsDamaged)
            throw;
        WriteErr(L"QuellanCtl: the stored Adblock lists are damaged (another program changed their files); "
                 L"nothing was changed\n");
        return kExitFailure;
    }
    WarnLeftOut(leftOut);
    if (!found) {
        WriteErr(L"QuellanCtl: " + wideHost + L" was not an allowed site\n");
        return kExitFailure;
    }
    WriteOut((remove ? L"removed " : L"allowed ") + wideHost + L"\n");
    return kExitSuccess;
}

int AllowedSitesCommand()
{
    CAdblockListStore& store = GetAdblockListStore();
    for (const CAdblockListEntry& entry : store.ReadCatalog().lists) {
        if (_wcsicmp(entry.name.c_str(), kAllowedSitesListName) != 0)
            continue;
        std::wstring out;
        for (const std::string& host : AllowedSitesOf(store.ReadText(entry)))
            out += std::wstring(host.begin(), host.end()) + (entry.enabled ? L"\n" : L"\t(list off)\n");
        WriteOut(out);
    }
    return kExitSuccess;
}

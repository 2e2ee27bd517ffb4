// QuellanCtl: manages the user's filter list from the command line, sharing
// the store live with running browser processes, and shows the verdict the
// request filter would reach on any URL.

#include <windows.h>

#include <string>
#include <vector>

#include "com/Error.h"
#include "ctl/Commands.h"
#include "ctl/Console.h"
#include "engine/RequestContext.h"

namespace {

constexpr wchar_t kUsage[] =
    L"Usage: QuellanCtl COMMAND [ARGUMENTS]\n"
    L"Manages the Quellan filter list of the current user.\n"
    L"\n"
    L"  list                     print every filter, one per line, in list order\n"
    L"  add TEXT...              validate each filter and append the valid ones\n"
    L"  import FILE              append the filters of an Adblock filter list file\n"
    L"  export FILE              write the list as an Adblock filter list file\n"
    L"  check [--explain] [--type TYPE] [--page URL] URL...\n"
    L"                           print \"blocked URL\" or \"allowed URL\" for each URL;\n"
    L"                           --explain also prints the filters that decided it;\n"
    L"                           --type judges it as that kind of request (an Adblock\n"
    L"                           type option: script, image, stylesheet, subdocument,\n"
    L"                           xmlhttprequest, ...), --page as made by that page;\n"
    L"                           a single URL \"-\" reads standard input, one request a\n"
    L"                           line: \"URL [TYPE [PAGEURL]]\" (empty lines are skipped)\n"
    L"  clear                    remove every filter\n"
    L"  lists                    print every Adblock list: name, source, counts,\n"
    L"                           last update, next check, result of the last check\n"
    L"  lists add SOURCE         fetch an Adblock list (EasyList and the like) from a\n"
    L"                           file, a UNC path, or an http, https or file address,\n"
    L"                           store it beside the filter list and print what it holds\n"
    L"  lists update [NAME] [--if-due]\n"
    L"                           fetch the list NAME (or every list) again from its\n"
    L"                           source and replace it if it changed; --if-due only\n"
    L"                           the lists whose time has come (for scheduled tasks)\n"
    L"  lists remove NAME        remove an Adblock list\n"
    L"  lists on|off NAME        switch an Adblock list on or off, keeping it\n"
    L"  allow-site [--remove] SITE\n"
    L"                           allow a site (a host name or a URL): nothing on its\n"
    L"                           pages is blocked or hidden; --remove blocks it again;\n"
    L"                           kept in the Adblock list \"Allowed sites\"\n"
    L"  allowed-sites            print the allowed sites\n"
    L"  option [remove-blocked-items on|off] [filter-https on|off]\n"
    L"                           show the options, or set one: whether the browser\n"
    L"                           hides the page elements whose resources are blocked,\n"
    L"                           whether it filters secure (https) requests too\n"
    L"  --help                   show this text\n"
    L"\n"
    L"The filter list decides first: its exceptions allow and its filters block;\n"
    L"what it leaves open, the Adblock lists that are on decide.\n"
    L"\n"
    L"Filters are written in Quellan's syntax: a wildcard pattern matched against\n"
    L"the whole URL (\"*\" any run, \"?\" one character, \"\\\" escapes), or a regular\n"
    L"expression between slashes; a leading \"%\" makes an exception.\n";

int Usage(const std::wstring& reason)
{
    WriteErr(L"QuellanCtl: " + reason + L"\n\n" + kUsage);
    return kExitUsage;
}

int Check(std::vector<std::wstring> args)
{
    bool explain = false;
    CCheckRequest defaults;
    while (!args.empty() && args[0].size() > 2 && args[0].compare(0, 2, L"--") == 0) {
        const std::wstring option = args[0];
        args.erase(args.begin());
        if (option == L"--explain") {
            explain = true;
            continue;
        }
        if (option != L"--type" && option != L"--page")
            return Usage(L"check: unknown option \"" + option + L"\"");
        if (args.empty())
            return Usage(L"check: " + option + L" needs a value");
        if (option == L"--type" && RequestTypeFromName(args[0]) == kRequestUnknown)
            return Usage(L"check: unknown type \"" + args[0] + L"\"");
        (option == L"--type" ? defaults.type : defaults.page) = args[0];
        args.erase(args.begin());
    }
    std::vector<CCheckRequest> requests;
    if (args.size() == 1 && args[0] == L"-") {
        int status = kExitSuccess;
        for (const auto& line : SplitUrlLines(ReadIn())) {
            CCheckRequest request;
            std::wstring reason;
            if (ParseCheckLine(line, defaults, &request, &reason)) {
                requests.push_back(std::move(request));
            } else {
                WriteErr(L"QuellanCtl: cannot judge " + Echo(line) + L": " + reason + L"\n");
                status = kExitFailure;
            }
        }
        if (requests.empty())
            return status == kExitSuccess ? Usage(L"check needs at least one URL") : status;
        int judged = CheckCommand(requests, explain);
        return judged == kExitSuccess ? status : judged;
    }
    for (const auto& url : args) {
        CCheckRequest request = defaults;
        request.url = url;
        requests.push_back(std::move(request));
    }
    return requests.empty() ? Usage(L"check needs at least one URL") : CheckCommand(requests, explain);
}

int Run(const std::vector<std::wstring>& args)
{
    if (args.empty())
        return Usage(L"no command given");
    const std::wstring& command = args[0];
    std::vector<std::wstring> rest(args.begin() + 1, args.end());
    if (command == L"--help" || command == L"-h" || command == L"/?" || command == L"help") {
        WriteOut(kUsage);
        return kExitSuccess;
    }
    if (command == L"list")
        return rest.empty() ? ListCommand() : Usage(L"list takes no arguments");
    if (command == L"add")
        return rest.empty() ? Usage(L"add needs at least one filter") : AddCommand(rest);
    if (command == L"import")
        return rest.size() == 1 ? ImportCommand(rest[0]) : Usage(L"import needs exactly one file");
    if (command == L"export")
        return rest.size() == 1 ? ExportCommand(rest[0]) : Usage(L"export needs exactly one file");
    if (command == L"check")
        return Check(rest);
    if (command == L"clear")
        return rest.empty() ? ClearCommand() : Usage(L"clear takes no arguments");
    if (command == L"lists") {
        if (rest.empty())
            return ListsCommand(rest);
        if (rest[0] == L"add" || rest[0] == L"remove" || rest[0] == L"on" || rest[0] == L"off")
            return rest.size() == 2 ? ListsCommand(rest) : Usage(L"lists " + rest[0] + L" needs exactly one " +
                                                                 (rest[0] == L"add" ? L"source" : L"list name"));
        if (rest[0] == L"update") {
            std::size_t names = 0;
            for (std::size_t i = 1; i < rest.size(); ++i) {
                if (rest[i] != L"--if-due" && (rest[i].compare(0, 2, L"--") == 0 || ++names > 1))
                    return Usage(L"lists update takes at most one list name and --if-due");
            }
            return ListsCommand(rest);
        }
        return Usage(L"lists: unknown command \"" + rest[0] + L"\"");
    }
    if (command == L"option")
        return OptionCommand(rest);
    if (command == L"allow-site") {
        const bool remove = !rest.empty() && rest[0] == L"--remove";
        if (rest.size() != (remove ? 2u : 1u))
            return Usage(L"allow-site needs exactly one site");
        return AllowSiteCommand(rest.back(), remove);
    }
    if (command == L"allowed-sites")
        return rest.empty() ? AllowedSitesCommand() : Usage(L"allowed-sites takes no arguments");
    return Usage(L"unknown command \"" + command + L"\"");
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    try {
        return Run(std::vector<std::wstring>(argv + 1, argv + argc));
    } catch (...) {
        WriteErr(L"QuellanCtl: " + DescribeFailure(HResultFromCurrentException()) + L"\n");
        return kExitFailure;
    }
}

// QuellanCtl: manages the user's filter list from the command line, sharing
// the store live with running browser processes, and shows the verdict the
// request filter would reach on any URL.

#include <windows.h>

#include <string>
#include <vector>

#include "com/Error.h"
#include "ctl/Commands.h"
#include "ctl/Console.h"

namespace {

constexpr wchar_t kUsage[] =
    L"Usage: QuellanCtl COMMAND [ARGUMENTS]\n"
    L"Manages the Quellan filter list of the current user.\n"
    L"\n"
    L"  list                     print every filter, one per line, in list order\n"
    L"  add TEXT...              validate each filter and append the valid ones\n"
    L"  import FILE              append the filters of an Adblock filter list file\n"
    L"  export FILE              write the list as an Adblock filter list file\n"
    L"  check [--explain] URL... print \"blocked URL\" or \"allowed URL\" for each URL;\n"
    L"                           --explain also prints the filters that decided it;\n"
    L"                           a single URL \"-\" reads the URLs from standard\n"
    L"                           input, one per line (empty lines are skipped)\n"
    L"  clear                    remove every filter\n"
    L"  option [remove-blocked-items on|off]\n"
    L"                           show, or set, whether the browser hides the page\n"
    L"                           elements whose resources are blocked\n"
    L"  --help                   show this text\n"
    L"\n"
    L"Filters are written in Quellan's syntax: a wildcard pattern matched against\n"
    L"the whole URL (\"*\" any run, \"?\" one character, \"\\\" escapes), or a regular\n"
    L"expression between slashes; a leading \"%\" makes an exception.\n";

int Usage(const std::wstring& reason)
{
    WriteErr(L"QuellanCtl: " + reason + L"\n\n" + kUsage);
    return kExitUsage;
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
    if (command == L"check") {
        bool explain = !rest.empty() && rest[0] == L"--explain";
        if (explain)
            rest.erase(rest.begin());
        if (rest.size() == 1 && rest[0] == L"-")
            rest = SplitUrlLines(ReadIn());
        return rest.empty() ? Usage(L"check needs at least one URL") : CheckCommand(rest, explain);
    }
    if (command == L"clear")
        return rest.empty() ? ClearCommand() : Usage(L"clear takes no arguments");
    if (command == L"option")
        return OptionCommand(rest);
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

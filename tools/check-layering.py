#!/usr/bin/env python3
"""Checks the tree's layering: which folder may use which.

Every folder that holds source files is a unit (tools/ and tests/ are split
one level further: tools/standin, tests/support). ALLOWED below lists, for
each unit, the units it may use; a unit may always use itself. The check
reads

  - every #include of every source file, in every form ("a/b.h", <a/b.h>,
    spaces after the #, the %: digraph, a comment before it); an include
    whose first folder is a unit's is a use of that unit, an include without
    a folder names a file beside the includer (or a header generated from
    one, Version.h from Version.h.in) or a system header; an include it
    cannot read (a macro), one that climbs ("../x.h") and one that reaches
    a file of the tree by any other path than from the source root (through
    an include directory: "Store.h", <sub/Store.h>) are refused;
  - every target_link_libraries and quellan_add_test(... LIBS ...) of every
    CMakeLists.txt, where a project target links another: a use of the unit
    that defines it; and every source file a CMakeLists.txt names in another
    folder ("../x.cpp", "${CMAKE_SOURCE_DIR}/x/y.cpp"): a use of its unit;

and fails on a use that ALLOWED does not list, on a source file outside a
folder or in a folder that ALLOWED does not know, and on a circle of files
that include each other (X.h and X.cpp count as one component), within a
folder as well as across folders.

  tools/check-layering.py SOURCE_ROOT     check the tree; exit 1 on a violation
  tools/check-layering.py --self-test     plant each kind of violation in a tiny tree
"""

import os
import re
import sys
import tempfile

# Unit: the units it may use. Keep it acyclic: the check proves it is.
ALLOWED = {
    "com": [],
    "engine": ["com"],
    "storage": ["engine", "com"],
    "verdict": ["storage", "engine", "com"],
    "resources": [],
    "broker": ["com", "resources"],
    "browser": ["broker", "verdict", "storage", "engine", "com", "resources"],
    "ui": ["browser", "broker", "verdict", "storage", "engine", "com", "resources"],
    "module": ["ui", "browser", "broker", "verdict", "storage", "engine", "com", "resources"],
    "host": ["com", "resources"],
    "ctl": ["verdict", "storage", "engine", "com", "resources"],
    # The settings dialog's benchmark drives the shipped dialog by its
    # control identifiers and reaches the library through its type library.
    "bench": ["verdict", "storage", "engine", "com", "resources"],
    "tools/installer": ["com", "resources"],
    # The stand-in browser serves its pages with the tests' HTTP server and
    # loads them through the tests' urlmon helper.
    "tools/standin": ["browser", "verdict", "storage", "engine", "com", "resources", "tests/support"],
    "tests/support": ["com"],
}
# A test folder (tests/engine, ...) may use anything, other test folders'
# helpers too; nothing outside tests/ may use a test folder but
# tests/support, where ALLOWED says so.

SOURCE_EXTENSIONS = (".h", ".hpp", ".c", ".cc", ".cpp", ".rc", ".idl", ".h.in", ".idl.in", ".rc.in")
# Folders that hold no source of the product: build output and downloaded
# benchmark data (from the source root), other people's packages (anywhere).
SKIPPED_PATHS = {"build", "bench/data"}
SKIPPED_NAMES = {"node_modules"}
INCLUDE = re.compile(r"^\s*(?:/\*.*?\*/\s*)*(?:#|%:)\s*include\b\s*(.*)$")
INCLUDE_PATH = re.compile(r'^(?:"([^"]+)"|<([^>]+)>)')


def unit_of(relative):
    """The unit of a path from the source root, or None for a file at the root."""
    parts = relative.split("/")
    if len(parts) < 2:
        return None
    if parts[0] in ("tools", "tests"):
        return "/".join(parts[:2]) if len(parts) > 2 else parts[0]
    return parts[0]


def is_test_folder(unit):
    return unit.startswith("tests/") and unit.count("/") == 1 and unit != "tests/support"


def may_use(unit, to):
    return to == unit or is_test_folder(unit) or to in ALLOWED.get(unit, [])


def known(unit):
    return unit in ALLOWED or is_test_folder(unit)


def component(relative):
    for ext in sorted(SOURCE_EXTENSIONS, key=len, reverse=True):
        if relative.endswith(ext):
            return relative[: -len(ext)]
    return relative


def walk(root, wanted):
    """Paths from the root of the files for which wanted(name) holds."""
    for folder, dirs, files in os.walk(root):
        relative = os.path.relpath(folder, root).replace(os.sep, "/")
        prefix = "" if relative == "." else relative + "/"
        dirs[:] = sorted(d for d in dirs if prefix + d not in SKIPPED_PATHS and d not in SKIPPED_NAMES
                         and not d.startswith("."))
        yield from (prefix + name for name in sorted(files) if wanted(name))


def source_files(root):
    return walk(root, lambda name: name.endswith(SOURCE_EXTENSIONS))


def cmake_files(root):
    return walk(root, lambda name: name == "CMakeLists.txt")


def top_folders(root):
    return {name for name in os.listdir(root) if os.path.isdir(os.path.join(root, name))}


def check_includes(root, problems, edges):
    folders = top_folders(root)
    files = list(source_files(root))
    # Every tail of every file's path ("Store.h", "sub/Store.h"): an include
    # that names one reaches that file through some include directory.
    tails = {"/".join(f.split("/")[i:]) for f in files for i in range(1, f.count("/") + 1)}
    for relative in files:
        unit = unit_of(relative)
        if unit is None:
            problems.append(f"{relative}: a source file outside every folder")
            continue
        if not known(unit):
            problems.append(f"{relative}: {unit}/ is a folder the layering does not know")
            continue
        with open(os.path.join(root, relative), encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                where = f"{relative}:{number}"
                path_match = INCLUDE_PATH.match(match.group(1).strip())
                if not path_match:
                    problems.append(f"{where}: an include the check cannot read: {line.strip()}")
                    continue
                quoted, angled = path_match.group(1), path_match.group(2)
                target = quoted if quoted is not None else angled
                if "\\" in target or target.startswith("/") or ".." in target.split("/"):
                    problems.append(f"{where}: include by a path from the source root, not {target}")
                    continue
                beside = os.path.dirname(relative) + "/" + target
                if quoted is not None and "/" not in target and (beside in files or beside + ".in" in files):
                    edges.setdefault(component(relative), set()).add(component(beside))
                    continue
                first = target.split("/")[0]
                if first not in folders:
                    if target in tails:
                        problems.append(f"{where}: include by a path from the source root, not {target}")
                    elif quoted is not None and "/" in target:
                        problems.append(f"{where}: {target} is in no folder of the tree")
                    continue  # a system header such as <gtest/gtest.h> or a generated one
                to = unit_of(target)
                if to is None or not known(to):
                    problems.append(f"{where}: {target} is in a folder the layering does not know")
                    continue
                if not may_use(unit, to):
                    problems.append(f"{where}: {unit}/ may not use {to}/ ({target})")
                edges.setdefault(component(relative), set()).add(component(target))


def check_links(root, problems):
    defined = {}
    links = []
    define = re.compile(r"\b(?:add_library|add_executable|quellan_add_test)\s*\(\s*([A-Za-z0-9_.:-]+)")
    link = re.compile(r"\btarget_link_libraries\s*\(([^)]*)\)", re.S)
    test = re.compile(r"\bquellan_add_test\s*\(([^)]*)\)", re.S)
    source = re.compile(r"(?:\$\{(?:CMAKE|PROJECT)_SOURCE_DIR\}/|(?<![\w/$}])(?=\.\./))([\w./-]+)")
    for relative in cmake_files(root):
        folder = os.path.dirname(relative)
        unit = unit_of(folder + "/CMakeLists.txt") if folder else None
        with open(os.path.join(root, relative), encoding="utf-8") as f:
            text = re.sub(r"#[^\n]*", "", f.read())
        for path in source.findall(text):
            if not path.endswith(SOURCE_EXTENSIONS) or unit is None:
                continue
            if path.startswith("../"):
                path = os.path.normpath(os.path.join(folder, path)).replace(os.sep, "/")
            to = unit_of(path)
            if to is None or not known(to) or not may_use(unit, to):
                problems.append(f"{relative}: {unit}/ may not build {path}")
        for name in define.findall(text):
            if unit is not None:
                defined[name] = unit
        for body in link.findall(text):
            words = body.split()
            links += [(relative, words[0], lib) for lib in words[1:]]
        for body in test.findall(text):
            words = body.split()
            if "LIBS" in words:
                rest = words[words.index("LIBS") + 1:]
                for lib in rest:
                    if lib.isupper():
                        break
                    links.append((relative, words[0], lib))
    for relative, target, lib in links:
        if target not in defined or lib not in defined:
            continue
        unit, to = defined[target], defined[lib]
        if not known(unit):
            problems.append(f"{relative}: {unit}/ is a folder the layering does not know")
        elif not may_use(unit, to):
            problems.append(f"{relative}: {target} ({unit}/) may not link {lib} ({to}/)")


def circles(edges):
    """Strongly connected components of more than one file component (Tarjan)."""
    index, low, stack, on_stack, found = {}, {}, [], set(), []
    counter = [0]

    def visit(node):
        index[node] = low[node] = counter[0]
        counter[0] += 1
        stack.append(node)
        on_stack.add(node)
        for nxt in sorted(edges.get(node, ())):
            if nxt == node:
                continue
            if nxt not in index:
                visit(nxt)
                low[node] = min(low[node], low[nxt])
            elif nxt in on_stack:
                low[node] = min(low[node], index[nxt])
        if low[node] == index[node]:
            members = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                members.append(member)
                if member == node:
                    break
            if len(members) > 1:
                found.append(sorted(members))

    sys.setrecursionlimit(10000)
    for node in sorted(edges):
        if node not in index:
            visit(node)
    return found


def check_table(problems):
    graph = {unit: set(uses) for unit, uses in ALLOWED.items()}
    for unit, uses in graph.items():
        for used in uses:
            if used not in ALLOWED:
                problems.append(f"layering table: {unit} uses {used}, which it does not list")
    for members in circles(graph):
        problems.append("layering table: a circle of folders: " + " -> ".join(members))


def check(root):
    problems, edges = [], {}
    check_table(problems)
    check_includes(root, problems, edges)
    check_links(root, problems)
    for members in circles(edges):
        problems.append("files that include each other: " + ", ".join(members))
    return problems


def self_test():
    def make(tree, files):
        for relative, text in files.items():
            path = os.path.join(tree, relative)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)

    clean = {
        "com/Error.h": "#pragma once\n#include <windows.h>\n",
        "engine/Rule.cpp": '#include "engine/Rule.h"\n#include "com/Error.h"\n#include "Local.h"\n'
                           '#include "Generated.h"\n',
        "engine/Local.h": "#pragma once\n",
        "resources/Version.h.in": "#define V 1\n",
        "resources/Main.rc": '#include "Version.h"\n',
        "host/Host.h": '#include "com/Error.h"\n',
        "ctl/Ctl.h": '#include "com/Error.h"\n',
        "engine/Rule.h": '#include "com/Error.h"\n',
        "storage/Store.cpp": '#include "storage/Store.h"\n#include <engine/Rule.h>\n',
        "storage/Store.h": "#pragma once\n",
        "ui/Dialog.cpp": '#include "browser/Page.h"\n#include "broker/Broker.h"\n',
        "browser/Page.h": '#include "broker/Broker.h"\n',
        "broker/Broker.h": '#include "com/Error.h"\n',
        "module/Module.h": '#include "ui/Dialog.h"\n',
        "tests/engine/RuleTest.cpp": '#include "module/Module.h"\n#include "tests/support/Roles.h"\n'
                                     "#include <gtest/gtest.h>\n",
        "tests/support/Roles.h": "#pragma once\n",
        "engine/CMakeLists.txt": "add_library(lib_engine STATIC Rule.cpp)\n",
        "storage/CMakeLists.txt": "add_library(lib_storage STATIC Store.cpp)\n"
                                  "target_link_libraries(lib_storage PUBLIC lib_engine ole32)\n",
        "tests/engine/CMakeLists.txt": "quellan_add_test(engine_tests SOURCES RuleTest.cpp LIBS lib_storage\n"
                                       "  lib_engine PROPERTIES X 1)\n"
                                       "quellan_add_test(more_tests SOURCES ../storage/StoreTest.cpp\n"
                                       "  ${CMAKE_SOURCE_DIR}/tests/support/Roles.cpp)\n",
    }
    # Each planted violation, and a text that the problem it causes must
    # hold (so that it is caught for itself, not for some other problem).
    bad = [
        ("an include of a higher folder", {"engine/Bad.cpp": '#include "storage/Store.h"\n'}, "engine/Bad.cpp"),
        ("an include with spaces after #", {"com/Bad.h": '  # include "engine/Rule.h"\n'}, "com/Bad.h"),
        ("an include behind a comment", {"com/Bad.h": '/* x */ #include "engine/Rule.h"\n'}, "com/Bad.h"),
        ("an include by digraph", {"com/Bad.h": '%:include "engine/Rule.h"\n'}, "com/Bad.h"),
        ("folders of one rank, one way", {"ctl/Bad.cpp": '#include "host/Host.h"\n'}, "ctl/Bad.cpp"),
        ("folders of one rank, the other way", {"host/Bad.cpp": '#include "ctl/Ctl.h"\n'}, "host/Bad.cpp"),
        ("a lower folder including a higher one", {"browser/Bad.cpp": '#include "ui/Dialog.h"\n'},
         "browser/Bad.cpp"),
        ("an angled include of a project path", {"storage/Bad.cpp": "#include <ui/Dialog.h>\n"},
         "storage/Bad.cpp"),
        ("a climbing include", {"engine/Up.cpp": '#include "../storage/Store.h"\n'}, "engine/Up.cpp"),
        ("a file reached through an include directory", {"engine/Bad.cpp": '#include "Store.h"\n'},
         "engine/Bad.cpp"),
        ("an angled file reached through an include directory", {"engine/Bad.cpp": "#include <Local.h>\n"},
         "engine/Bad.cpp"),
        ("a product folder using the tests", {"ctl/Bad.cpp": '#include "tests/support/Roles.h"\n'},
         "ctl/Bad.cpp"),
        ("an include by macro", {"engine/Macro.cpp": "#include ENGINE_HEADER\n"}, "engine/Macro.cpp"),
        ("a folder nobody listed", {"plugins/Thing.cpp": '#include "com/Error.h"\n'}, "plugins/"),
        ("an include of a folder nobody listed", {"com/Bad.cpp": '#include "plugins/Thing.h"\n',
                                                  "plugins/Thing.h": ""}, "com/Bad.cpp"),
        ("a source file hidden in a data folder", {"engine/data/Bad.cpp": '#include "ui/Dialog.h"\n'},
         "engine/data/Bad.cpp"),
        ("a source file outside every folder", {"Loose.cpp": '#include "ui/Dialog.h"\n'}, "Loose.cpp"),
        ("files that include each other", {"storage/Store.h": '#include "storage/Other.h"\n',
                                           "storage/Other.h": '#include "storage/Store.h"\n'}, "storage/Other"),
        ("a header and a source that close a circle",
         {"engine/Rule.h": '#include "engine/Format.h"\n', "engine/Format.h": '#include "engine/Rule.h"\n'},
         "engine/Format"),
        ("a link against the layering", {"engine/CMakeLists.txt": "add_library(lib_engine STATIC Rule.cpp)\n"
                                         "target_link_libraries(lib_engine\n  PUBLIC lib_storage)\n"},
         "lib_engine (engine/) may not link lib_storage"),
        ("a link of a test target", {"ctl/CMakeLists.txt": "add_executable(Ctl Main.cpp)\n"
                                     "target_link_libraries(Ctl PRIVATE engine_tests)\n"}, "may not link engine_tests"),
        ("a link from a folder nobody listed", {"plugins/CMakeLists.txt": "add_library(lib_plug STATIC P.cpp)\n"
                                                "target_link_libraries(lib_plug PRIVATE lib_engine)\n"},
         "plugins/CMakeLists.txt"),
        ("another folder's source built in", {"engine/CMakeLists.txt": "add_library(lib_engine STATIC Rule.cpp\n"
                                              "  ../storage/Store.cpp)\n"}, "may not build storage/Store.cpp"),
        ("another folder's source by root path", {"com/CMakeLists.txt": "add_library(lib_com STATIC\n"
                                                  "  ${CMAKE_SOURCE_DIR}/engine/Rule.cpp)\n"},
         "may not build engine/Rule.cpp"),
    ]
    with tempfile.TemporaryDirectory() as tree:
        make(tree, clean)
        problems = check(tree)
        if problems:
            print("self-test: a clean tree was refused:\n  " + "\n  ".join(problems))
            return 1
    for what, files, expected in bad:
        with tempfile.TemporaryDirectory() as tree:
            make(tree, {**clean, **files})
            if not any(expected in problem for problem in check(tree)):
                print(f"self-test: not refused: {what}")
                return 1
    print("self-test passed")
    return 0


def main(argv):
    if len(argv) == 2 and argv[1] == "--self-test":
        return self_test()
    if len(argv) != 2:
        print("usage: check-layering.py SOURCE_ROOT | --self-test", file=sys.stderr)
        return 2
    problems = check(os.path.abspath(argv[1]))
    for problem in problems:
        print(problem)
    if problems:
        print(f"{len(problems)} use(s) against the layering")
        return 1
    print("every include and link follows the layering")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

#!/usr/bin/env python3
"""The layers of the house, and the check that the code keeps to them.

A source file may include headers of its own unit and of units in lower
layers; never one of a higher layer, nor one of another unit of its own layer
(siblings stay apart: the simulated printer knows nothing of the service
package, the module nothing of either). The libraries' links, recorded by the
configuration, must go the same way and hold no cycle.

Usage: check_layers.py --source DIR [--links FILE]
       check_layers.py --self-test
Exits 1, listing every offence with file and line, when the code breaks a rule.
"""
import argparse
import os
import re
import sys

# The layers, lowest first: each unit is a set of folders (relative to the
# source tree) and the libraries built from them. This table is the one place
# the order is declared.
LAYERS = [
    {"platform": (["src/platform", "src/platform/dataset"], ["zel_platform"])},
    {"db": (["src/platform/db"], ["zel_db"])},
    {"external": (["src/external"], ["zel_external"])},
    {"utility": (["src/external/utility"], ["zel_utility"])},
    {
        "module": (["src/service", "src/data", "src/sale", "src/fiscal"], ["zel_module"]),
        "printer": (["src/external/printer"], ["zel_printer"]),
        "service_db": (["src/external/service_db"], ["zel_service_db"]),
    },
    {
        "export": (["src/export"], ["geracupom_service"]),
        "station": (["src/station"], ["zel_station"]),
    },
    {"app": (["app", "app/tools"], ["zel_app", "geracupom"])},
]

# Folders of interfaces only: a source file there would be built by no library.
HEADERS_ONLY = ["src/external"]

# Where a quoted include is looked for after the including file's own folder.
INCLUDE_ROOTS = ["src", "app"]

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def unit_tables():
    folder_unit, target_unit, rank = {}, {}, {}
    for level, units in enumerate(LAYERS):
        for name, (folders, targets) in units.items():
            rank[name] = level
            for f in folders:
                folder_unit[f] = name
            for t in targets:
                target_unit[t] = name
    return folder_unit, target_unit, rank


def unit_of(path, folder_unit):
    return folder_unit.get(os.path.dirname(path))


def check_includes(source, folder_unit, rank):
    offences = []
    for folder in sorted(folder_unit):
        full = os.path.join(source, folder)
        if not os.path.isdir(full):
            offences.append(f"{folder}: a folder of the layer table that does not exist")
            continue
        for name in sorted(os.listdir(full)):
            if not name.endswith((".h", ".cpp")):
                continue
            rel = os.path.join(folder, name)
            own = folder_unit[folder]
            if folder in HEADERS_ONLY and name.endswith(".cpp"):
                offences.append(f"{rel}: a source file in a folder of interfaces only; it belongs with its stand-in")
            with open(os.path.join(source, rel), encoding="utf-8", errors="replace") as f:
                for lineno, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    target = resolve(source, folder, m.group(1))
                    if target is None:
                        continue  # a generated header
                    their = unit_of(target, folder_unit)
                    if their is None:
                        offences.append(f"{rel}:{lineno}: includes {target}, which belongs to no layer")
                    elif their != own and rank[their] >= rank[own]:
                        where = "above" if rank[their] > rank[own] else "beside"
                        offences.append(
                            f"{rel}:{lineno}: includes {target}: layer '{their}' is {where} '{own}', not below it"
                        )
    for root in INCLUDE_ROOTS:
        for dirpath, _, names in os.walk(os.path.join(source, root)):
            folder = os.path.relpath(dirpath, source)
            if folder not in folder_unit and any(n.endswith((".h", ".cpp")) for n in names):
                offences.append(f"{folder}: a folder of sources missing from the layer table")
    return offences


def resolve(source, folder, included):
    for base in [folder] + INCLUDE_ROOTS:
        candidate = os.path.normpath(os.path.join(base, included))
        if os.path.isfile(os.path.join(source, candidate)):
            return candidate
    return None


def read_links(path):
    links = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            if ":" not in line:
                continue
            target, deps = line.split(":", 1)
            links[target.strip()] = deps.split()
    return links


def find_cycle(links):
    state = {}  # 1 on the current path, 2 done

    def visit(node, path):
        state[node] = 1
        for dep in links.get(node, []):
            if state.get(dep) == 1:
                return path[path.index(dep) :] + [dep] if dep in path else [node, dep]
            if state.get(dep) is None:
                found = visit(dep, path + [dep])
                if found:
                    return found
        state[node] = 2
        return None

    for node in sorted(links):
        if state.get(node) is None:
            found = visit(node, [node])
            if found:
                return found
    return None


def check_links(links, target_unit, rank):
    offences = []
    cycle = find_cycle(links)
    if cycle:
        offences.append("the libraries link in a cycle: " + " -> ".join(cycle))
    for target, deps in sorted(links.items()):
        own = target_unit.get(target)
        if own is None:
            offences.append(f"library {target}: in no layer of the table")
            continue
        for dep in deps:
            their = target_unit.get(dep)
            if their is None:
                continue  # a library from outside the project
            if their != own and rank[their] >= rank[own]:
                offences.append(f"library {target} links {dep}: layer '{their}' is not below '{own}'")
    return offences


def self_test():
    """The check itself: a tree with one planted fault of each kind must give
    exactly those offences, and the same tree without them none."""
    import tempfile

    folder_unit, target_unit, rank = unit_tables()
    with tempfile.TemporaryDirectory() as root:
        for folder in folder_unit:
            os.makedirs(os.path.join(root, folder), exist_ok=True)

        def write(rel, *includes):
            with open(os.path.join(root, rel), "w", encoding="utf-8") as f:
                f.writelines(f'#include "{i}"\n' for i in includes)

        write("src/platform/variant.h", "platform/dataset/packet.h")
        write("src/platform/dataset/packet.h", "platform/variant.h")  # one unit: allowed
        write("src/external/printer/printer.h", "external/utility/args.h", "platform/variant.h")
        write("src/external/utility/args.h", "../../platform/variant.h")
        write("src/service/module.h", "external/utility/args.h", "data/tables.h")
        write("src/data/tables.h", "service/module.h", "zel/schema_files.h")  # a generated header
        write("src/station/host.h", "service/module.h", "external/printer/printer.h")
        write("app/tools/tool.h", "station/host.h")
        links = {
            "zel_module": ["zel_utility", "zel_platform", "fmt::fmt"],
            "zel_printer": ["zel_utility"],
            "zel_station": ["zel_module", "zel_printer"],
        }
        clean = check_includes(root, folder_unit, rank) + check_links(links, target_unit, rank)
        if clean:
            return ["a clean tree gave offences:"] + clean

        write("src/platform/db/connection.h", "station/host.h")  # upward
        write("src/external/printer/printer.h", "external/service_db/sql.h")  # a sibling
        write("src/external/service_db/sql.h")
        write("src/external/utility/args.h", "../../service/module.h")  # upward, by a relative path
        write("src/external/device.cpp")  # a source among the interfaces
        os.makedirs(os.path.join(root, "src/extra"))
        write("src/extra/x.h")  # a folder the table does not know
        links["zel_utility"] = ["zel_module"]  # upward, and a cycle
        got = check_includes(root, folder_unit, rank) + check_links(links, target_unit, rank)
        expected = [
            "src/external/printer/printer.h:1: includes src/external/service_db/sql.h",
            "src/external/utility/args.h:1: includes src/service/module.h",
            "src/platform/db/connection.h:1: includes src/station/host.h",
            "src/external/device.cpp: a source file in a folder of interfaces only",
            "src/extra: a folder of sources missing from the layer table",
            "the libraries link in a cycle",
            "library zel_utility links zel_module",
        ]
        missing = [e for e in expected if not any(g.startswith(e) for g in got)]
        if missing or len(got) != len(expected):
            return ["planted faults not reported as expected; missing:"] + missing + ["got:"] + got
    return []


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source")
    parser.add_argument("--links")
    parser.add_argument("--self-test", action="store_true", help="check the check on planted faults")
    args = parser.parse_args()
    if args.self_test:
        problems = self_test()
        for p in problems:
            print(p)
        print("the check finds every planted fault" if not problems else "the check is broken")
        return 1 if problems else 0
    if not args.source:
        parser.error("--source is required")
    folder_unit, target_unit, rank = unit_tables()
    offences = check_includes(args.source, folder_unit, rank)
    if args.links:
        offences += check_links(read_links(args.links), target_unit, rank)
    for o in offences:
        print(o)
    if offences:
        print(f"{len(offences)} offence(s) against the layers")
        return 1
    print("the includes and the links keep to the layers")
    return 0


if __name__ == "__main__":
    sys.exit(main())

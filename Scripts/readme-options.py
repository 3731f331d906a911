#!/usr/bin/python3
"""Writes the README's option table from the tool's own list (`oxretarget options`).

    Scripts/readme-options.py TOOL [README]           rewrite the table in place
    Scripts/readme-options.py --check TOOL [README]   exit 1, with a diff, when the table is not the tool's

From a build folder, `cmake --build BUILD --target readme-options` runs the first with the tool just
built; the test Docs.ReadmeOptionTable runs the second.

The table sits between the two marker comments. The first three columns (the option with its short
form and values, the commands that take it, its default) come from the tool; the last two (what it
does, an example) are the README's own and are kept per option. An option the tool gained gets its
help text and no example; an option it lost goes. `plan` is left out of the commands: it takes
retarget's options, for programs.
"""

import argparse
import difflib
import json
import subprocess
import sys

BEGIN = "<!-- options: written by Scripts/readme-options.py from `oxretarget options`; edit the last two columns only -->"
END = "<!-- end of options -->"
HEADER = ["| Option | Commands | Default | What it does | Example |", "|---|---|---|---|---|"]
HIDDEN_COMMANDS = {"plan"}


def tool_options(tool):
    run = subprocess.run([tool, "options"], capture_output=True, text=True, check=True)
    return json.loads(run.stdout)


def cells(line):
    """The cells of a table row "| a | b |"; '\\|' stays inside its cell."""
    parts, cell, i = [], "", 1
    while i < len(line):
        if line.startswith("\\|", i):
            cell += "\\|"
            i += 2
        elif line[i] == "|":
            parts.append(cell.strip())
            cell = ""
            i += 1
        else:
            cell += line[i]
            i += 1
    return parts


def option_cell(spec):
    value = "|".join(spec["choices"]) if spec["choices"] else spec["value_name"]
    value = value.replace("|", "\\|")  # a bar inside a cell
    long = f"`--{spec['name']}{' ' + value if value else ''}`"
    return ", ".join([f"`-{short}`" for short in spec["short"]] + [long])


def name_of(option_cell_text):
    """The long name a row's first cell gives ("units" for `--units cm\\|m`)."""
    for word in option_cell_text.replace("`", " ").split():
        if word.startswith("--"):
            return word[2:]
    return None


def table(specs, old_rows):
    lines = list(HEADER)
    for spec in specs:
        commands = [c for c in spec["commands"] if c not in HIDDEN_COMMANDS]
        if not commands:
            continue
        prose, example = old_rows.get(spec["name"], (spec["help"], ""))
        default = f"`{spec['default']}`" if spec["default"] else ""
        lines.append(f"| {option_cell(spec)} | {', '.join(commands)} | {default} | {prose} | {example} |")
    return lines


def rewrite(text, specs):
    lines = text.split("\n")
    try:
        begin, end = lines.index(BEGIN), lines.index(END)
    except ValueError:
        sys.exit(f"readme-options: the README lacks the markers {BEGIN!r} and {END!r}")
    old_rows = {}
    for line in lines[begin + 1:end]:
        row = cells(line)
        if len(row) == 5 and name_of(row[0]):
            old_rows[name_of(row[0])] = (row[3], row[4])
    return "\n".join(lines[:begin + 1] + table(specs, old_rows) + lines[end:])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--check", action="store_true", help="compare only; exit 1 when the table differs")
    parser.add_argument("--regenerate", default="Scripts/readme-options.py TOOL README.md",
                        help="the command that regenerates the table, for --check's message")
    parser.add_argument("tool")
    parser.add_argument("readme", nargs="?", default="README.md")
    args = parser.parse_args()
    with open(args.readme, encoding="utf-8") as file:
        text = file.read()
    written = rewrite(text, tool_options(args.tool))
    if args.check:
        if written != text:
            sys.stdout.writelines(difflib.unified_diff(text.splitlines(True), written.splitlines(True),
                                                       "README.md", "from oxretarget options"))
            print("readme-options: the README's option table is not the tool's `oxretarget options` (diff above); "
                  f"regenerate it with: {args.regenerate}", file=sys.stderr)
            return 1
        return 0
    if written != text:
        with open(args.readme, "w", encoding="utf-8") as file:
            file.write(written)
    return 0


if __name__ == "__main__":
    sys.exit(main())

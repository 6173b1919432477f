#!/usr/bin/env python3
"""Holds the Declare statements of Quel2Cln.bas against quel2cln.h.

    check_declarations.py HEADER BAS [--table] [--self-test]

The table of what VB must declare is derived from the header's prototypes:
for every function its arguments in order, each with its name, VB type and
ByVal or ByRef, and its result type. The .bas must declare exactly these
functions, from quel2cln.dll, and nothing else from it. --table prints the
table. --self-test also checks that a result As Boolean, or any argument
with ByVal and ByRef swapped, is caught. Exits 1 when a check fails.
"""
import re
import sys

# C type in the header -> (passing, VB type). Anything else is an error, so
# that a new type in the header makes this table grow on purpose.
C_TO_VB = {
    "const char*": ("ByVal", "String"),  # a text the library reads
    "char*": ("ByVal", "String"),        # a buffer the library writes
    "bool*": ("ByRef", "Byte"),          # one byte written
    "unsigned int*": ("ByRef", "Long"),  # four bytes written
    "int": ("ByVal", "Long"),
    "unsigned int": ("ByVal", "Long"),
}
# A one-byte bool: VB's Boolean is not 1 when true.
RESULT_VB = {"bool": "Byte"}


def header_table(text):
    """[(name, result VB type, [(arg, passing, VB type)])] from the header."""
    table = []
    for m in re.finditer(r"QM2_API\s+(\w+)\s+QM2_CALL\s+(\w+)\s*\(([^)]*)\)\s*;", text):
        result, name, params = m.group(1), m.group(2), " ".join(m.group(3).split())
        if result not in RESULT_VB:
            raise ValueError(f"{name}: no VB type for result {result}")
        args = []
        if params not in ("", "void"):
            for param in params.split(","):
                pm = re.fullmatch(r"\s*(.*?)\s*(\w+)\s*", param)
                ctype = pm.group(1).replace(" *", "*")
                if ctype not in C_TO_VB:
                    raise ValueError(f"{name}: no VB type for {ctype} {pm.group(2)}")
                args.append((pm.group(2),) + C_TO_VB[ctype])
        table.append((name, RESULT_VB[result], args))
    return table


def bas_declarations(text):
    """{name: (result type, [(arg, passing, type)])} of the Declares from
    quel2cln.dll; a declaration that cannot be read raises ValueError."""
    text = re.sub(r" _\r?\n\s*", " ", text)
    found = {}
    for line in text.splitlines():
        if not re.match(r"\s*(Public\s+|Private\s+)?Declare\s", line, re.I):
            continue
        m = re.fullmatch(r'\s*(?:Public\s+|Private\s+)?Declare\s+Function\s+(\w+)\s+Lib\s+"([^"]+)"'
                         r'(?:\s+Alias\s+"(\w+)")?\s*\((.*)\)\s+As\s+(\w+)\s*', line, re.I)
        if not m:
            raise ValueError(f"cannot read: {line.strip()}")
        name, lib, alias, params, result = m.groups()
        if lib.lower() != "quel2cln.dll":
            continue
        args = []
        for param in filter(None, (p.strip() for p in params.split(","))):
            pm = re.fullmatch(r"(ByVal|ByRef)\s+(\w+)\s+As\s+(\w+)", param)
            if not pm:
                raise ValueError(f"{name}: argument without ByVal or ByRef, or unreadable: {param}")
            passing, arg, vb_type = pm.groups()
            args.append((arg, passing, vb_type))
        found[alias or name] = (result, args)
    return found


def problems(table, declared):
    out = []
    for name, result, args in table:
        if name not in declared:
            out.append(f"{name}: not declared")
            continue
        got_result, got_args = declared[name]
        if got_result != result:
            out.append(f"{name}: result As {got_result}, expected As {result}")
        if len(got_args) != len(args):
            out.append(f"{name}: {len(got_args)} arguments, expected {len(args)}")
        for i, (want, got) in enumerate(zip(args, got_args), 1):
            if tuple(got) != want:
                out.append(f"{name}: argument {i} is '{got[1]} {got[0]} As {got[2]}', "
                           f"expected '{want[1]} {want[0]} As {want[2]}'")
    for name in sorted(set(declared) - {t[0] for t in table}):
        out.append(f"{name}: declared, but not in the header")
    return out


def check(table, bas_text):
    try:
        return problems(table, bas_declarations(bas_text))
    except ValueError as e:
        return [str(e)]


def self_test(table, bas_text):
    """Every declaration with its result As Boolean, and every argument with
    ByVal and ByRef swapped, must fail the check. Returns (count, missed)."""
    lines = bas_text.split("\n")
    declaration_lines, inside = [], False
    for i, line in enumerate(lines):
        inside = inside or re.match(r"\s*(Public\s+|Private\s+)?Declare\s", line, re.I) is not None
        if inside:
            declaration_lines.append(i)
            inside = line.rstrip().endswith(" _")
    mutations = []
    for i in declaration_lines:
        line = lines[i]
        changed = []
        if re.search(r"\)\s+As\s+Byte\s*$", line):
            changed.append(("As Boolean", re.sub(r"As\s+Byte\s*$", "As Boolean", line)))
        for m in re.finditer(r"\b(ByVal|ByRef)\b", line):
            swapped = "ByRef" if m.group(1) == "ByVal" else "ByVal"
            changed.append((f"{m.group(1)} as {swapped}", line[:m.start()] + swapped + line[m.end():]))
        for what, new_line in changed:
            mutations.append((f"line {i + 1}: {what}", "\n".join(lines[:i] + [new_line] + lines[i + 1:])))
    missed = [what for what, text in mutations if not check(table, text)]
    return len(mutations), missed


def main(argv):
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    with open(argv[1], encoding="utf-8") as f:
        table = header_table(f.read())
    with open(argv[2], encoding="latin-1") as f:
        bas_text = f.read().replace("\r\n", "\n")
    if len(table) != 8:
        print(f"expected the eight functions in the header, found {len(table)}", file=sys.stderr)
        return 1
    if "--table" in argv:
        for name, result, args in table:
            print(f"{name} As {result}: " + ", ".join(f"{p} {a} As {t}" for a, p, t in args))
    failed = check(table, bas_text)
    for text in failed:
        print(text, file=sys.stderr)
    if "--self-test" in argv:
        count, missed = self_test(table, bas_text)
        for what in missed:
            print(f"self-test: not caught: {what}", file=sys.stderr)
        if count < 2 or missed:
            failed.append("self-test")
        else:
            print(f"self-test: {count} wrong declarations caught")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

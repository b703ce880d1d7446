#!/usr/bin/env python3
"""The installer's Registry table for the COM registration of one or more DLLs, made from the
same registry script and type library source the DLL registers itself with, so that an install
writes what regsvr32 would write, in the registry view of each DLL's bitness.

  msi_registry.py --rgs FILE --idl FILE --component ID:BITS:FILEKEY:DIRPROP [...] > Registry.idt

The first component also writes the type library's shared keys (one key for both views); every
component writes the class, its ProgIDs and the interfaces in its own view. As the registrar does on
unregistration, every key the script does not mark NoRemove is deleted with its contents on
uninstall (the Registry table's "*" name, which also creates the empty ones), and so are our type
library and interface keys."""
import argparse
import re
import sys

HKLM = 2
CLASSES = "Software\\Classes\\"
PROXY_DISPATCH = "{00020420-0000-0000-C000-000000000046}"   # IDispatch-only interfaces
PROXY_OLEAUT = "{00020424-0000-0000-C000-000000000046}"     # dual and oleautomation interfaces


class Key:
    def __init__(self, name, flag):
        self.name, self.flag = name, flag
        self.default = None
        self.values = []          # (name, value)
        self.children = []


def tokens(text):
    for m in re.finditer(r"'((?:[^']|'')*)'|(\{[0-9A-Fa-f-]+\}|[^\s{}=']+)|([{}=])", text):
        if m.group(1) is not None:
            yield ("str", m.group(1).replace("''", "'"))
        elif m.group(2):
            yield ("word", m.group(2))
        else:
            yield (m.group(3), m.group(3))


def parse_rgs(text):
    toks = list(tokens(text))
    pos = 0

    def peek():
        return toks[pos] if pos < len(toks) else (None, None)

    def take(kind=None):
        nonlocal pos
        t = peek()
        if t[0] is None or (kind and t[0] != kind):
            raise SystemExit("registry script: expected %s at token %d, found %r" % (kind, pos, t[1]))
        pos += 1
        return t

    def value():
        kind = take("word")[1].lower()
        v = take()[1]
        if kind == "s":
            return v
        if kind == "d":
            return "#%d" % int(v, 0)
        raise SystemExit("registry script: value type '%s' is not supported here" % kind)

    def body(key):
        take("{")
        while peek()[0] != "}":
            if peek() == ("word", "val"):
                take()
                name = take()[1]
                take("=")
                key.values.append((name, value()))
                continue
            flag = None
            if peek()[0] == "word" and peek()[1] in ("NoRemove", "ForceRemove", "Delete"):
                flag = take()[1]
            child = Key(take()[1], flag)
            if peek()[0] == "=":
                take()
                child.default = value()
            if peek()[0] == "{":
                body(child)
            key.children.append(child)
        take("}")

    roots = []
    while peek()[0] is not None:
        root = Key(take("word")[1], "NoRemove")
        if root.name.upper() != "HKCR":
            raise SystemExit("registry script: only HKCR is supported, found %s" % root.name)
        body(root)
        roots.append(root)
    return roots


def parse_idl(text):
    lib = re.search(r"\[([^\]]*)\]\s*library\s+(\w+)", text, re.S)
    if not lib:
        raise SystemExit("IDL: no library")
    attrs = lib.group(1)
    info = {
        "libid": "{%s}" % re.search(r"uuid\(([^)]+)\)", attrs).group(1).upper(),
        "version": re.search(r"version\(([^)]+)\)", attrs).group(1),
        "help": re.search(r'helpstring\("([^"]*)"\)', attrs).group(1),
        "interfaces": [],
    }
    body = text[lib.end():]
    for m in re.finditer(r"\[([^\]]*)\]\s*(dispinterface|interface)\s+(\w+)", body, re.S):
        a, kind, name = m.group(1), m.group(2), m.group(3)
        iid = re.search(r"uuid\(([^)]+)\)", a)
        if not iid:
            continue
        if kind == "dispinterface":
            proxy = PROXY_DISPATCH
        elif re.search(r"\b(dual|oleautomation)\b", a):
            proxy = PROXY_OLEAUT
        else:
            continue
        info["interfaces"].append((name, "{%s}" % iid.group(1).upper(), proxy))
    return info


class Table:
    def __init__(self):
        self.rows = []
        self.seen = set()

    def add(self, comp, key, name, value):
        ident = "reg_%s_%d" % (comp, len(self.rows))
        self.rows.append((ident, HKLM, CLASSES + key, name, value, comp))

    def idt(self):
        out = ["Registry\tRoot\tKey\tName\tValue\tComponent_", "s72\ti2\tl255\tL255\tL0\ts72",
               "Registry\tRegistry"]
        for r in self.rows:
            out.append("\t".join("" if v is None else str(v) for v in r))
        return "\r\n".join(out) + "\r\n"


def emit_script(table, comp, key, path, module, parent_kept=True):
    full = key.name if not path else path + "\\" + key.name
    subst = (lambda v: v.replace("%MODULE%", module)) if module else (lambda v: v)
    if path is not None:
        removable = key.flag != "NoRemove"
        empty = key.default is None and not key.values and not key.children
        if removable and (key.flag == "ForceRemove" or empty or parent_kept):
            table.add(comp, full, "*", None)
        if key.default is not None:
            table.add(comp, full, None, subst(key.default))
        for name, v in key.values:
            table.add(comp, full, name, subst(v))
    for child in key.children:
        emit_script(table, comp, child, full, module, key.flag == "NoRemove")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rgs", required=True)
    ap.add_argument("--idl", help="the type library's source (none for a DLL without one)")
    ap.add_argument("--component", action="append", required=True,
                    help="ID:BITS:FILEKEY:DIRPROP (BITS 32 or 64)")
    a = ap.parse_args()
    with open(a.rgs, encoding="utf-8-sig") as f:
        roots = parse_rgs(f.read())
    idl = None
    if a.idl:
        with open(a.idl, encoding="utf-8") as f:
            idl = parse_idl(f.read())
    table = Table()
    for n, given in enumerate(a.component):
        comp, bits, filekey, dirprop = given.split(":")
        module = "[#%s]" % filekey
        for root in roots:
            for child in root.children:
                emit_script(table, comp, child, "", module)
        if idl is None:
            continue
        tlb = "TypeLib\\%s" % idl["libid"]
        ver = tlb + "\\" + idl["version"]
        if n == 0:
            table.add(comp, tlb, "*", None)
            table.add(comp, ver, None, idl["help"])
            table.add(comp, ver + "\\FLAGS", None, "0")
            table.add(comp, ver + "\\HELPDIR", None, "[%s]" % dirprop)
        table.add(comp, ver + "\\0\\win%s" % bits, None, module)
        for name, iid, proxy in idl["interfaces"]:
            key = "Interface\\" + iid
            table.add(comp, key, "*", None)
            table.add(comp, key, None, name)
            table.add(comp, key + "\\ProxyStubClsid", None, proxy)
            table.add(comp, key + "\\ProxyStubClsid32", None, proxy)
            table.add(comp, key + "\\TypeLib", None, idl["libid"])
            table.add(comp, key + "\\TypeLib", "Version", idl["version"])
    sys.stdout.write(table.idt())


if __name__ == "__main__":
    main()

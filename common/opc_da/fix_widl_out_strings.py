#!/usr/bin/env python3
"""fix_widl_out_strings.py IDL IN OUT: copies a proxy file that widl made with -Oicf from IDL, re-pointing the
type offset of every top-level [out] string parameter (LPWSTR *, LPSTR *) from the inner string pointer (FC_OP)
to the enclosing "FC_RP [allocated_on_stack] [pointer_deref]" descriptor just before it. widl 7 and 8 point at
the inner one, and such a parameter then reaches the client as NULL; MIDL and widl's own inline proxies use the
enclosing one. Every such parameter of the IDL must be found, re-pointed or already right: a widl that writes
its proxies otherwise fails the build here instead of making a proxy that loses those strings."""
import re
import sys

FC_RP, FC_OP = 0x11, 0x13
ALLOCATED_ON_STACK_DEREF = 0x14
STRINGS = (0x22, 0x25)  # FC_C_CSTRING, FC_C_WSTRING
TOKEN = re.compile(r"NdrFcShort\(\s*(0x[0-9a-fA-F]+|\d+)\s*\)|NdrFcLong\(\s*(0x[0-9a-fA-F]+|\d+)\s*\)|"
                   r"(0x[0-9a-fA-F]+|\d+)")


def initializer(text, name):
    """The span of the byte list of the format string called name."""
    start = text.index("static const MIDL_%s_FORMAT_STRING __MIDL_%sFormatString =" % (name.upper(), name))
    begin = text.index("{", text.index("{", start) + 1) + 1
    return begin, text.index("\n    }\n};", begin)


def format_bytes(body):
    """The bytes of a format string's C initializer, comments left out."""
    data = bytearray()
    for match in TOKEN.finditer(re.sub(r"/\*.*?\*/", "", body, flags=re.S)):
        short, long_, byte = match.groups()
        if short is not None:
            data += (int(short, 0) & 0xFFFF).to_bytes(2, "little")
        elif long_ is not None:
            data += (int(long_, 0) & 0xFFFFFFFF).to_bytes(4, "little")
        else:
            data.append(int(byte, 0) & 0xFF)
    return data


def misdirected(types):
    """Inner string pointer offset -> its enclosing [out] descriptor's offset."""
    found = {}
    for outer in range(len(types) - 5):
        if types[outer] != FC_RP or types[outer + 1] != ALLOCATED_ON_STACK_DEREF:
            continue
        inner = outer + 2 + int.from_bytes(types[outer + 2:outer + 4], "little", signed=True)
        if 0 <= inner < len(types) - 2 and types[inner] == FC_OP and types[inner + 2] in STRINGS:
            found[inner] = outer
    return found


def out_strings(idl):
    """How many top-level [out, string] LPWSTR * / LPSTR * parameters the IDL declares."""
    text = re.sub(r"//[^\n]*|/\*.*?\*/", "", open(idl).read(), flags=re.S)
    count = 0
    for match in re.finditer(r"\[([^\]]*)\]\s*(?:LPWSTR|LPSTR)\s*\*\s*\w+\s*[,)]", text):
        attributes = {attribute.strip().split("(")[0] for attribute in match.group(1).split(",")}
        count += {"out", "string"} <= attributes
    return count


def main():
    idl, source, target = sys.argv[1:4]
    expected = out_strings(idl)
    text = open(source).read()
    begin, end = initializer(text, "Type")
    remap = misdirected(format_bytes(text[begin:end]))
    proc_begin, proc_end = initializer(text, "Proc")
    lines = text[proc_begin:proc_end].split("\n")
    fixed = right = 0
    # A parameter record is three shorts: flags, stack offset, type offset; an [out] one has flag 0x10 and,
    # not being a base type, no 0x40.
    for i in range(2, len(lines)):
        flags = re.match(r"\s*NdrFcShort\((0x[0-9a-fA-F]+)\),\s*/\* flags:", lines[i - 2])
        offset = re.match(r"(\s*)NdrFcShort\((0x[0-9a-fA-F]+)\),(\s*)/\* type offset = \d+ \*/", lines[i])
        if not flags or not offset or int(flags.group(1), 16) & 0x50 != 0x10:
            continue
        inner = int(offset.group(2), 16)
        right += inner in remap.values()
        if inner in remap:
            lines[i] = "%sNdrFcShort(0x%x),%s/* type offset = %d (re-pointed from %d) */" % (
                offset.group(1), remap[inner], offset.group(3), remap[inner], inner)
            fixed += 1
    if fixed + right != expected:
        sys.exit("fix_widl_out_strings: %s declares %d [out] string parameter(s), %d found in %s (%d to re-point, "
                 "%d already right): this widl writes its proxies in a way this step does not know" %
                 (idl, expected, fixed + right, source, fixed, right))
    with open(target, "w") as out:
        out.write(text[:proc_begin] + "\n".join(lines) + text[proc_end:])
    print("fix_widl_out_strings: %d [out] string parameter(s) re-pointed" % fixed)


if __name__ == "__main__":
    main()

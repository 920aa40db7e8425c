#!/usr/bin/env python3
"""test_fix_widl_out_strings.py SCRIPT: the widl fix re-points an [out] string parameter, and fails (writing
nothing) on a proxy whose parameters it cannot find, rather than let a proxy that loses those strings through."""
import pathlib
import subprocess
import sys
import tempfile
import unittest

SCRIPT = sys.argv[1]
IDL = """interface IProbe : IUnknown
{
    HRESULT Text([in] DWORD dwCode, [out, string] LPWSTR *ppText);
    HRESULT Names([out] DWORD *pdwCount, [out, string, size_is(, *pdwCount)] LPWSTR **ppNames);
}
"""
# The shape of widl 7's -Oicf output, reduced to one [out] string parameter whose type offset is TYPE_OFFSET.
PROXY = """static const MIDL_PROC_FORMAT_STRING __MIDL_ProcFormatString =
{
    0,
    {
/* 0 (parameter ppText) */
        NdrFcShort(0x2013),\t/* flags: must size, must free, out, srv size=8 */
        NdrFcShort(0x10),\t/* stack offset = 16 */
        NdrFcShort(TYPE_OFFSET),\tTYPE_COMMENT
        0x0
    }
};

static const MIDL_TYPE_FORMAT_STRING __MIDL_TypeFormatString =
{
    0,
    {
        NdrFcShort(0x0),
/* 2 (LPWSTR *) */
        0x11, 0x14,\t\t/* FC_RP [allocated_on_stack] [pointer_deref] */
        NdrFcShort(0x2),\t/* Offset= 2 (6) */
/* 6 (LPWSTR) */
        0x13, 0x8,\t/* FC_OP [simple_pointer] */
/* 8 */
        0x25,\t/* FC_C_WSTRING */
        0x5c,\t/* FC_PAD */
        0x0
    }
};
"""


def proxy(offset, comment="/* type offset = %d */"):
    return PROXY.replace("TYPE_OFFSET", hex(offset)).replace("TYPE_COMMENT", comment % offset)


REFUSED = "declares 1 [out] string parameter(s), 0 found"
CASES = [  # the proxy widl wrote, the one the step writes (None: it fails and writes nothing), what it says
    (proxy(6), proxy(6).replace("NdrFcShort(0x6),\t/* type offset = 6 */",
                                "NdrFcShort(0x2),\t/* type offset = 2 (re-pointed from 6) */"),
     "1 [out] string parameter(s) re-pointed"),
    (proxy(6, "/* type offset: %d */"), None, REFUSED),  # written otherwise: the build fails
]


class FixWidl(unittest.TestCase):
    def test_out_strings_re_pointed_or_refused(self):
        for given, expected, says in CASES:
            with self.subTest(given=given, says=says), tempfile.TemporaryDirectory() as folder:
                paths = [pathlib.Path(folder, name) for name in ("probe.idl", "in.c", "out.c")]
                for path, content in zip(paths, (IDL, given)):
                    path.write_text(content)
                done = subprocess.run([sys.executable, SCRIPT, *paths], capture_output=True, text=True)
                self.assertEqual(done.returncode != 0, expected is None, done.stdout + done.stderr)
                self.assertIn(says, done.stdout + done.stderr)
                self.assertEqual(paths[2].read_text() if paths[2].exists() else None, expected)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])

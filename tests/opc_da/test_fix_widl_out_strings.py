#!/usr/bin/env python3
"""test_fix_widl_out_strings.py SCRIPT: the widl fix re-points an [out] string parameter, leaves a proxy that
widl made right as it is, and fails (writing nothing) on a proxy whose parameters it cannot find, rather than
let a proxy that loses those strings through."""
import os
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


class FixWidl(unittest.TestCase):
    def fix(self, text):
        with tempfile.TemporaryDirectory() as folder:
            paths = [os.path.join(folder, name) for name in ("probe.idl", "in.c", "out.c")]
            for path, content in zip(paths, (IDL, text)):
                with open(path, "w") as out:
                    out.write(content)
            done = subprocess.run([sys.executable, SCRIPT, *paths], capture_output=True, text=True)
            written = None
            if os.path.exists(paths[2]):
                with open(paths[2]) as result:
                    written = result.read()
            return done.returncode, written, done.stdout + done.stderr

    def test_the_inner_string_pointer_is_re_pointed_to_its_enclosing_descriptor(self):
        code, written, output = self.fix(proxy(6))
        self.assertEqual(code, 0, output)
        self.assertIn("NdrFcShort(0x2),\t/* type offset = 2 (re-pointed from 6) */", written)
        self.assertIn("1 [out] string parameter(s) re-pointed", output)

    def test_a_proxy_made_right_is_left_as_it_is(self):
        code, written, output = self.fix(proxy(2))
        self.assertEqual(code, 0, output)
        self.assertEqual(written, proxy(2))

    def test_a_proxy_written_otherwise_fails_the_build_and_leaves_nothing(self):
        for comment in ("/* type offset: %d */", "/* offset = %d */"):
            with self.subTest(comment):
                code, written, output = self.fix(proxy(6, comment))
                self.assertNotEqual(code, 0)
                self.assertIsNone(written)
                self.assertIn("declares 1 [out] string parameter(s), 0 found", output)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])

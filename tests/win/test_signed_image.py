"""The test-signed driver image differs from the unsigned one by its
signature only, and its checksum is right; the checksum pefile computes is
the loader's.

usage: test_signed_image.py UNSIGNED_IMAGE SIGNED_IMAGE"""

import os
import struct
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
WIN = os.path.join(HERE, "..", "..", "win")
sys.dont_write_bytecode = True  # keep the source folder clean
sys.path.insert(0, WIN)
import pe_image  # noqa: E402

DIRECTORY_SECURITY = 4
UNSIGNED = SIGNED = None


def loader_checksum(data, checksum_offset):
    """The image checksum as the loader computes it, written out here
    independently of pefile: the file summed as 16-bit words with end-around
    carry, the checksum field taken as 0, plus the file's length."""
    length = len(data)
    if length % 2:
        data += b"\0"
    total = 0
    skip = checksum_offset // 2
    for index, (word,) in enumerate(struct.iter_unpack("<H", data)):
        if index in (skip, skip + 1):
            continue
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + length) & 0xFFFFFFFF


class SignedImage(unittest.TestCase):
    def setUp(self):
        self.unsigned = pe_image.Image.load(UNSIGNED)
        self.signed = pe_image.Image.load(SIGNED)

    def test_the_signature_is_appended_and_named_by_the_security_directory(self):
        self.assertEqual(self.unsigned.directory(DIRECTORY_SECURITY), (0, 0))
        offset, size = self.signed.directory(DIRECTORY_SECURITY)
        # The security directory holds a file offset, not an address; the
        # certificate table starts on 8 bytes after the unsigned image.
        self.assertEqual(offset, (len(self.unsigned.data) + 7) & ~7)
        self.assertEqual(offset + size, len(self.signed.data))
        length, revision, kind = struct.unpack_from("<IHH", self.signed.data, offset)
        self.assertEqual((length, revision, kind), (size, 0x0200, 0x0002))  # PKCS#7 signed data

    def test_nothing_but_the_signature_differs(self):
        signed, unsigned = bytearray(self.signed.data), bytearray(self.unsigned.data)
        offset, _ = self.signed.directory(DIRECTORY_SECURITY)
        entry = self.signed.pe.OPTIONAL_HEADER.DATA_DIRECTORY[DIRECTORY_SECURITY].get_file_offset()
        for copy in (signed, unsigned):
            struct.pack_into("<I", copy, self.signed.checksum_offset, 0)
            struct.pack_into("<II", copy, entry, 0, 0)
        self.assertEqual(bytes(signed[:offset]), bytes(unsigned.ljust(offset, b"\0")))

    def test_both_checksums_are_right_and_pefile_agrees_with_the_loader(self):
        for name, image in (("unsigned", self.unsigned), ("signed", self.signed)):
            with self.subTest(name):
                self.assertEqual(image.checksum, image.compute_checksum())
                self.assertEqual(image.compute_checksum(),
                                 loader_checksum(bytes(image.data), image.checksum_offset))
        # And where they would differ first: an odd length, a carry out of
        # the top, and a changed byte.
        data = bytearray(self.unsigned.data)
        for change in (lambda d: d.append(0x5A), lambda d: d.extend(b"\xff" * 4097),
                       lambda d: d.__setitem__(len(d) // 2, d[len(d) // 2] ^ 0x80)):
            changed = bytearray(data)
            change(changed)
            with self.subTest(length=len(changed)):
                ours = loader_checksum(bytes(changed), self.unsigned.checksum_offset)
                self.assertEqual(pe_image.Image(changed).compute_checksum(), ours)


if __name__ == "__main__":
    if len(sys.argv) < 3:
        raise SystemExit(__doc__)
    SIGNED = os.path.abspath(sys.argv.pop(2))
    UNSIGNED = os.path.abspath(sys.argv.pop(1))
    unittest.main()

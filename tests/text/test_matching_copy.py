#!/usr/bin/env python3
"""test_matching_copy.py TOOL SHARED

The matching copy that TOOL (matching_copy_tool) makes of UTF-8 text must be
byte for byte what SHARED/corpus/to-latin1 makes of the text, however the
input is cut into pieces; the origin of each matching byte must be the first
byte of the character it comes from; and the text decoded and escaped for
output must read back as the text.  Bytes that are not valid UTF-8 are read
one by one as Windows-1252 (ISO-8859-1 where Windows-1252 has no character).
"""
import codecs
import importlib.machinery
import importlib.util
import json
import os
import random
import re
import subprocess
import sys
import unicodedata
import xml.etree.ElementTree as ElementTree

sys.dont_write_bytecode = True  # the shared folder stays as it is
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
from ptseg_test import check, same, summary  # noqa: E402


def windows1252(byte):
    try:
        return bytes([byte]).decode('cp1252')
    except UnicodeDecodeError:
        return chr(byte)


codecs.register_error('byte-by-byte', lambda e: (windows1252(e.object[e.start]), e.start + 1))


def decode(data):
    return data.decode('utf-8', 'byte-by-byte')


# Characters to draw from: Portuguese letters, composed and decomposed;
# quotes, dashes, spaces and symbols of the conversion table; zero-width and
# direction marks; C1 controls; ligatures; letters ISO-8859-1 lacks; Hangul
# syllables and jamo; vowel signs that compose; emoji; CJK.
ALPHABET = list(
    'aeoucAEOUC xz.,;:!?-\'"()[]\n\r\t09'
    '\u00e1\u00e9\u00e7\u00e3\u00f5\u00c9\u00ab\u00bb\u00aa\u00ba\u00a0\u00ad'
    '\u0300\u0301\u0302\u0303\u0308\u0327\u0323\u0316\u034f\u0344\u0f73'
    '\u201c\u201d\u2018\u2019\u201e\u2014\u2013\u2015\u2010\u2212\u2026\u2022'
    '\u200b\u200c\u200d\u2060\ufeff\u200e\u202e\u2028\u2029\u2003\u202f'
    '\x80\x81\x85\x8a\x8d\x9c\x9f\u20ac\u2122\u2030\u0152\u0153\u02dc'
    '\ufb01\ufb03\u00bd\u00b2\u33a1\u2177\u2126\u212b\u1d52\u1d43\u0103\u015e'
    '\u1e63\u01c5\uac00\ud55c\u1100\u1161\u11a8\u0b15\u0b47\u0b3e\u0dd9\u0dcf'
    '\u0dca\u05d0\u0416\u4e2d\u3000\u2764\ufe0f\U0001f600\U0001f3fd')
# Bytes that are not valid UTF-8: stray continuations, a lead cut short,
# overlong forms, a surrogate, past U+10FFFF, ISO-8859-1 letters.
INVALID = [b'\x80', b'\x9d', b'\xc3', b'\xe2\x80', b'\xc0\xaf', b'\xe0\x80\xaf',
           b'\xf0\x80\x80\xaf', b'\xed\xa0\x80', b'\xf4\x90\x80\x80', b'\xff', b'\xe9',
           b'\xe7\xe3o']


def random_text(rng, length):
    return ''.join(rng.choice(ALPHABET) for _ in range(length))


def random_bytes(rng, length):
    return b''.join(rng.choice(INVALID) if rng.random() < 0.1 else
                    rng.choice(ALPHABET).encode() for _ in range(length))


# Pieces that are each one character for the origins: a character that
# nothing joins to what is before it, with the marks that join it; or
# characters that become nothing, which the next matching byte skips.
TOKENS = ['a', 'E', ' ', '.', '\n', '\r', '\u00e9', '\u00c3', '\u00aa', '\u00a0',
          'e\u0301', 'c\u0327', 'a\u0301\u0301', 'o\u0323\u0302', 'x\u0301',
          '\u2014\u0301', '\u2026', '\u20ac', '\u2122', '\ufb03', '\u2030', '\x85',
          '\x80', '\u0152', '\u2014', '\u201c', '\u2019', '\u1d52', '\u2126', '\u4e2d',
          '\U0001f600', '\uac00', '\u0103', '\u2028', '\u200b', '\ufeff', '\u2060',
          '\u200e', '\x81', '\u200d', '\u1100\u1161\u11a8', '\u2764\ufe0f',
          '\u0b15\u0b47\u0b3e', '\u200b\u1161', '\u2060\ufe0f\u0301']


class Tool:
    def __init__(self, path, *options):
        self.path = path
        self.options = options

    def __call__(self, data, *args):
        return subprocess.run([self.path, *self.options, *args], input=data,
                              capture_output=True, check=True, timeout=120).stdout

    def origins(self, data, *args):
        return [int(x) for x in self(data, '--origins', *args).split()]


def typographic(text):
    """Dialogue hyphens as em dashes, ellipses as one character, straight
    double quotes as curly ones."""
    text = re.sub(r'(?m)^([ \t]*)- ', '\\1\u2014 ', text).replace(' - ', ' \u2014 ')
    text = text.replace('...', '\u2026')
    quotes = iter(['\u201c', '\u201d'] * text.count('"'))
    return re.sub('"', lambda _: next(quotes), text)


def check_corpus(tool, convert, texts):
    files = sorted(os.path.join(root, f) for root, _, fs in os.walk(texts)
                   for f in fs if f.endswith('.txt'))
    for i, path in enumerate(files[::max(1, len(files) // 6)]):
        with open(path, 'rb') as f:
            latin1 = f.read()
        text = typographic(latin1.decode('latin-1'))
        if i % 2:
            text = unicodedata.normalize('NFD', text)
        want = convert(text)[0].encode('latin-1')
        name = os.path.relpath(path, texts) + (' in NFD' if i % 2 else '')
        same('corpus %s' % name, tool(text.encode()), want)
        same('corpus %s in pieces' % name, tool(text.encode(), '--chunks', str(i)), want)
        same('corpus %s as ISO-8859-1' % name, tool(latin1),
             convert(decode(latin1))[0].encode('latin-1'))


def check_random(tool, convert):
    rng = random.Random(2)
    for i in range(40):
        data = random_bytes(rng, 2000) if i % 2 else random_text(rng, 2000).encode()
        want = convert(decode(data))[0].encode('latin-1')
        name = 'random %d%s' % (i, ' with invalid bytes' if i % 2 else '')
        same(name, tool(data), want)
        same(name + ' in pieces', tool(data, '--chunks', str(i)), want)
        same(name + ' origins in pieces', tool.origins(data, '--chunks', str(i)),
             tool.origins(data))
    # Clusters long enough to be cut where nothing changes by it.
    for text in ['e' + '\u0301' * 5000 + 'x', '\u1161' * 3000, '\u4e2d' * 3000 + '\u0301']:
        want = convert(text)[0].encode('latin-1')
        same('long cluster %r' % text[:2], tool(text.encode()), want)
        same('long cluster %r in pieces' % text[:2], tool(text.encode(), '--chunks', '7'), want)


def check_letter_runs(tool, convert):
    # Text of ASCII and two-byte letters, which is converted 64 bytes at a
    # time: letters at every place in a block and across its end, and, in
    # every other text, now and then a byte the blocks leave to the
    # character reader (a combining mark after a letter or after ASCII, a
    # C1 control, a letter of ISO-8859-1 alone, a lead byte cut short).
    rng = random.Random(5)
    letters = [c.encode() for c in '\u00e7\u00e3\u00c9\u00aa\u00ab\u00a0\u00ff']
    odd = [b'\x80', b'\xc3', b'\xe9', b'\xcc\x81', b'\xe2\x80\x94', b'\xc2\x85', b'\xc3\xa9\xcc\x81']
    for i in range(40):
        pieces = []
        for _ in range(rng.randrange(50, 1500)):
            r = rng.random()
            pieces.append(rng.choice(odd) if i % 2 and r < 0.02 else
                          rng.choice(letters) if r < 0.3 else b'a e'[:rng.randrange(1, 4)])
        data = b''.join(pieces)
        name = 'letter runs %d' % i
        same(name, tool(data), convert(decode(data))[0].encode('latin-1'))
        origins = tool.origins(data)
        if i % 2 == 0:  # each character gives one byte
            same(name + ' origins', origins,
                 [k for k in range(len(data)) if data[k] & 0xC0 != 0x80] + [len(data)])
        same(name + ' origins in pieces', tool.origins(data, '--chunks', str(i)), origins)
    # A combining mark after a letter or an ASCII character at and around
    # the end of the first block, and with a letter across it.
    for at in range(56, 72):
        for first in (b'a', b'\xc3\xa2'):  # both compose with U+0301
            data = b'a' * at + first + b'\xcc\x81' + b'a' * 200
            same('mark after %r at %d' % (first, at), tool(data),
                 convert(decode(data))[0].encode('latin-1'))


def check_every_character(tool, convert):
    ours = tool(b'', '--unicode-version').decode().strip()
    version = tuple(int(x) for x in ours.split('.'))
    if tuple(int(x) for x in unicodedata.unidata_version.split('.')) > version:
        print('skipped: every character (Python has Unicode %s, utf8proc %s)'
              % (unicodedata.unidata_version, ours))
        return
    chars = [chr(c) for c in range(0x110000)
             if unicodedata.category(chr(c)) not in ('Cn', 'Cs', 'Co')]
    def differs(part):
        text = '\n'.join(part)
        return tool(text.encode()) != convert(text)[0].encode('latin-1')

    if not check('every character alone', not differs(chars)):
        while len(chars) > 1:  # halve the search until one character is left
            half = len(chars) // 2
            chars = chars[:half] if differs(chars[:half]) else chars[half:]
        print('     for instance U+%04X' % ord(chars[0]))


def check_origins(tool, convert):
    rng = random.Random(3)
    for i in range(30):
        tokens = [rng.choice(TOKENS) for _ in range(300)]
        data, want, offset = b'', [], 0
        for token in tokens:
            skip = len(token) - len(token.lstrip('\u200b\u2060'))
            want += [offset + 3 * skip] * len(convert(token)[0])
            data += token.encode()
            offset = len(data)
        want.append(len(data))
        same('origins %d' % i, tool.origins(data), want)


def accented_bytes(rng, length):
    # Long runs of ASCII and two-byte letters, which are checked 16 bytes at
    # a time, now and then broken by a byte out of place.
    pieces = [b'a', b' ', b'E', '\u00e7'.encode(), '\u00e3'.encode(), '\u00c9'.encode()]
    return b''.join(rng.choice(INVALID[:3] + [b'\xe2\x80\x94']) if rng.random() < 0.02 else
                    rng.choice(pieces) for _ in range(length))


def check_output_text(tool):
    rng = random.Random(4)
    for i in range(30):
        # Short ones too: the vector scans end in a partial block.
        data = random_bytes(rng, 500 if i % 2 else rng.randrange(1, 40))
        if i >= 20:
            data = accented_bytes(rng, rng.randrange(1, 400))
        text = decode(data)
        utf8 = text.encode()
        for mode in ('--utf8', '--as-utf8'):
            same('utf-8 decoded %d %s' % (i, mode), tool(data, mode, 'utf8'), utf8)
            same('ISO-8859-1 decoded %d %s' % (i, mode), tool(data, mode, 'latin1'),
                 data.decode('latin-1').encode())
            same('valid utf-8 kept %d %s' % (i, mode), tool(utf8, mode, 'utf8'), utf8)
        xml_text = re.sub('[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]', '\ufffd', text)
        same('XML characters %d' % i, tool(utf8, '--xml', 'chars'), xml_text.encode())
        element = ElementTree.fromstring(b'<a>' + tool(utf8, '--xml', 'text') + b'</a>')
        check('XML text %d' % i, (element.text or '') == xml_text)
        element = ElementTree.fromstring(b'<a v="' + tool(utf8, '--xml', 'attribute') + b'"/>')
        check('XML attribute %d' % i, element.get('v') == xml_text)
        check('JSON %d' % i, json.loads(b'"' + tool(utf8, '--json') + b'"') == text)
        # Decoded and escaped in one pass, as in two.
        same('JSON of utf-8 %d' % i, tool(data, '--json-of', 'utf8'), tool(utf8, '--json'))
        same('JSON of ISO-8859-1 %d' % i, tool(data, '--json-of', 'latin1'),
             tool(data.decode('latin-1').encode(), '--json'))


def check_one_line(tool):
    # Whitespace of every kind in runs, among letters and bytes out of
    # place, in texts of up to a few blocks.
    rng = random.Random(6)
    pieces = [b' ', b' ', b'\t', b'\n', b'\r\n', b'a', b'E', '\u00e9'.encode(), '\u2003'.encode(),
              '\u3000'.encode(), '\u2014'.encode(), b'\xc3', b'\xa9', b'\x01', b'\xff']
    blanks = '[ \t\n\v\f\r\u2000-\u200a\u2028\u2029\u202f\u205f\u3000]+'
    for i in range(300):
        data = b''.join(rng.choice(pieces) for _ in range(rng.randrange(1, 200)))
        for name, text in (('utf-8', decode(data)), ('ISO-8859-1', data.decode('latin-1'))):
            want = re.sub(blanks, ' ', text).strip(' ').encode()
            encoding = 'utf8' if name == 'utf-8' else 'latin1'
            same('one line of %s %d' % (name, i), tool(data, '--line-of', encoding), want)


def check_json_block_ends(tool):
    # A lead byte left alone at each place in the first 64 bytes, with a
    # continuation byte just after them, which only the last place takes.
    for at in range(64):
        data = b'a' * at + b'\xc3' + b'a' * (63 - at) + b'\xa9' + b'a' * 64
        same('JSON with a lone lead at %d' % at, tool(data, '--json-of', 'utf8'),
             tool(decode(data).encode(), '--json'))


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    script = os.path.join(sys.argv[2], 'corpus', 'to-latin1')
    if not os.path.isfile(script):
        print('skipped: no corpus/to-latin1 in %s' % sys.argv[2])
        return 77
    loader = importlib.machinery.SourceFileLoader('to_latin1', script)
    module = importlib.util.module_from_spec(
        importlib.util.spec_from_file_location('to_latin1', script, loader=loader))
    loader.exec_module(module)
    tool = Tool(sys.argv[1])
    # The copy and the JSON as processors with vector blocks make them, and
    # as others do.
    for copier in (tool, Tool(sys.argv[1], '--no-blocks')):
        check_corpus(copier, module.convert, os.path.join(sys.argv[2], 'corpus', 'texts'))
        check_random(copier, module.convert)
        check_letter_runs(copier, module.convert)
        check_json_block_ends(copier)
        check_one_line(copier)
    check_every_character(tool, module.convert)
    check_origins(tool, module.convert)
    check_output_text(tool)
    return summary()


if __name__ == '__main__':
    sys.exit(main())

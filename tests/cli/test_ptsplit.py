#!/usr/bin/env python3
"""test_ptsplit.py PTSPLIT PTSEG SHARED

ptsplit against ptseg and against itself: its markup in ISO-8859-1 is
ptseg's; its other formats give back the same sentences, offsets and text
on awkward inputs; bad usage, unreadable inputs and write errors end with
the right status and message; -o writes, resumes, refuses and survives a
kill as it should, and shows progress on a terminal only.  SHARED is the
shared folder (its corpus files are skipped when it is absent).
"""
import codecs
import errno
import fcntl
import gzip
import json
import os
import pty
import random
import re
import resource
import select
import signal
import subprocess
import sys
import tempfile
import termios
import threading
import time
import xml.etree.ElementTree as ElementTree
import zlib

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
from ptseg_test import (CLOSE, OPEN, PB, SB, check, same, stderr_ok, strip_markup,  # noqa: E402
                        summary)

INPUTS = {
    'typographic': ('\u201cOl\u00e1\u201d, disse o Dr. Silva\u2026 \u2014 Vou embora! '
                    '\u2014 gritou.\nA \ufb01m do cafe\u0301.\u2003Fim.\u2028Outro?\n').encode(),
    'invalid bytes': b'Caf\xe9 \xe2\x80 e ch\xe1. Ol\x81a \x93sim\x94. \xff\xfe Fim. \xc3',
    # Wide spaces, broken sequences and bytes that are not UTF-8 beside
    # whitespace, at every place in a block of 16 bytes.
    'whitespace': b''.join(b'x' * i + piece for i in range(17) for piece in (
        b'  \t.', b'\xe2\x80\x83 \xc3', b'\xc3\xa1\xe2\x80 ', b'\x93 \xe3\x80\x80', b'\xc2\xa0\r\n')),
    'CR LF': b'Primeira linha.\r\nSegunda linha.\r\n\r\nOutro par\xc3\xa1grafo.\r\nFim\r',
    'NUL': b'Um\x00 dois. Tr\x00\x01es.\x0b\x0c Quatro.\n\nCinco\xa0seis.',
    'empty': b'',
    'BOM': b'\xef\xbb\xbfO Dr. Silva chegou. Ele disse:\n- Vou embora! - gritou ela.\n1. Fim.',
    'blanks': b'Fim.   \n\n \t \n\nOutro.\n  \n',
    # One sentence longer than the pieces jsonl writes it in, with
    # characters of every length (and a broken one) at each cut.
    'long sentence': ('Ol\u00e1 ' + 'a\u00e7\u2014\U0001f600\u00e3b ' * 8000).encode() + b'\xe2\x80 fim.',
    # One whose line goes in pieces, cut inside words, with runs of
    # whitespace and characters of two and three bytes near every cut.
    'long line': ('In\u00edcio ' + ''.join('ab'[:i % 3] + ('\u00e7', ' ', '\u2003 ', '\t\n ', 'x')[i % 5]
                                          for i in range(60000))).encode() + b' fim.',
}
FORMATS = ('markup', 'jsonl', 'xml', 'lines')
# Whitespace in the lines format, and characters XML 1.0 cannot hold.
WHITESPACE = re.compile('[ \t\n\v\f\r\u2000-\u200a\u2028\u2029\u202f\u205f\u3000]+')
XML_INVALID = re.compile('[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]')
XML_HEAD = b'<?xml version="1.0" encoding="UTF-8"?>\n'
BINARY_WARNING = b'ptsplit: %s: warning: NUL bytes at the start: not text?\n'


def windows1252(error):
    """Reads a byte that is not valid UTF-8 as ptsplit does."""
    byte = error.object[error.start]
    try:
        return bytes([byte]).decode('cp1252'), error.start + 1
    except UnicodeDecodeError:
        return chr(byte), error.start + 1


codecs.register_error('byte-by-byte', windows1252)
DECODE = {'utf-8': lambda data: data.decode('utf-8', 'byte-by-byte'),
          'latin-1': lambda data: data.decode('latin-1')}


def run(args, data=b'', cwd=None):
    p = subprocess.run([PTSPLIT] + args, input=data, capture_output=True, cwd=cwd, timeout=300)
    return p.stdout, p.stderr, p.returncode


def write(path, data, stamp=None):
    os.makedirs(os.path.dirname(path) or '.', exist_ok=True)
    with open(path, 'wb') as f:
        f.write(data)
    if stamp:
        os.utime(path, (stamp, stamp))


def markup_sentences(out):
    """[(start, end, paragraph)] of the markup of an input without markup in it."""
    result, offset = [], 0
    for paragraph, text in enumerate(out[len(OPEN):-len(CLOSE)].split(PB)):
        for sentence in text.split(SB):
            result.append((offset, offset + len(sentence), paragraph))
            offset += len(sentence)
    return result if offset else []


def xml_sentences(text):
    return [(p, ''.join(s.itertext())) for p, paragraph in enumerate(text) for s in paragraph]


def expected_lines(objects):
    lines, last = [], None
    for o in objects:
        line = ' '.join(word for word in WHITESPACE.split(o['text']) if word)
        if line:
            if last is not None and o['paragraph'] != last:
                lines.append('')
            lines.append(line)
            last = o['paragraph']
    return ''.join(line + '\n' for line in lines).encode()


def check_formats():
    for name, data in INPUTS.items():
        for encoding, decode in DECODE.items():
            label = '%s, %s' % (name, encoding)
            out = {f: run(['-e', encoding, '-f', f], data) for f in FORMATS}
            # Text with NUL bytes is segmented all the same, with a warning.
            err = BINARY_WARNING % b'-' if b'\0' in data else b''
            if not check(label + ': status 0, only a warning for NUL bytes on stderr',
                         all(o[1:] == (err, 0) for o in out.values()), repr(out)):
                continue
            markup = out['markup'][0]
            if encoding == 'latin-1':
                same(label + ': markup is ptseg\'s', markup,
                     subprocess.run([PTSEG], input=data, capture_output=True).stdout)
            check(label + ': markup keeps the input', strip_markup(markup) == data)
            objects = [json.loads(line) for line in out['jsonl'][0].splitlines()]
            want = [{'start': s, 'end': e, 'paragraph': p, 'text': decode(data[s:e])}
                    for s, e, p in markup_sentences(markup)]
            check(label + ': jsonl objects are the markup\'s sentences', objects == want,
                  '%r\n%r' % (objects, want))
            check(label + ': jsonl tiles the input',
                  b''.join(data[o['start']:o['end']] for o in objects) == data)
            same(label + ': xml declaration', out['xml'][0][:len(XML_HEAD)], XML_HEAD)
            root = ElementTree.fromstring(out['xml'][0])
            want = [(o['paragraph'], XML_INVALID.sub('\ufffd', o['text'])) for o in objects]
            check(label + ': xml paragraphs and sentences',
                  root.tag == 'text' and xml_sentences(root) == want, out['xml'][0])
            same(label + ': lines', out['lines'][0], expected_lines(objects))


def check_several_inputs(folder):
    # The second name is not UTF-8: its byte 0xE9 is shown as \xE9.
    names = ['a.txt', os.fsdecode(b'caf\xe9.txt')]
    write(os.path.join(folder, names[0]), INPUTS['CR LF'])
    write(os.path.join(folder, names[1]), INPUTS['typographic'])
    decoded = ['a.txt', 'caf\\xE9.txt']
    single = {f: [run(['-f', f, name], cwd=folder)[0] for name in names] for f in FORMATS}
    several = {f: run(['-f', f] + names, cwd=folder)[0] for f in FORMATS}
    same('several inputs: markup outputs follow each other', several['markup'],
         b''.join(single['markup']))
    same('several inputs: lines with an empty line between files', several['lines'],
         b'\n'.join(single['lines']))
    same('several inputs: jsonl objects name the file first', several['jsonl'],
         b''.join(line.replace(b'{', b'{"file": %s, ' % json.dumps(name).encode(), 1) + b'\n'
                  for name, out in zip(decoded, single['jsonl']) for line in out.splitlines()))
    root = ElementTree.fromstring(several['xml'])
    check('several inputs: xml has a <text file=...> per file in <corpus>',
          root.tag == 'corpus' and [t.get('file') for t in root] == decoded and
          [xml_sentences(t) for t in root] ==
          [xml_sentences(ElementTree.fromstring(x)) for x in single['xml']], several['xml'])


def check_fifo_after_output(folder):
    # ptsplit waits in open() for the FIFO's writer, the first input's
    # output written already.
    fifo = os.path.join(folder, 'fifo')
    os.mkfifo(fifo)
    p = subprocess.Popen([PTSPLIT, '-', fifo], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    p.stdin.write(b'Um. Dois.')
    p.stdin.close()
    want = OPEN + b'Um. ' + SB + b'Dois.' + CLOSE
    first = b''
    while len(first) < len(want) and select.select([p.stdout], [], [], 10)[0]:
        first += os.read(p.stdout.fileno(), 4096)
    # Opened without waiting, once ptsplit waits as the reader (it flushes
    # just before): with ptsplit gone, the check fails instead of hanging.
    writer = None
    for _ in range(1000):
        try:
            writer = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
            break
        except OSError as error:
            if error.errno != errno.ENXIO or p.poll() is not None:
                break
            time.sleep(0.01)
    if writer is None:
        first += b' (no reader)'
    else:
        os.write(writer, b'Tr\xc3\xaas.')
        os.close(writer)
    rest = p.stdout.read()
    p.wait()
    same('several inputs: the output before a FIFO goes out before its writer comes',
         (first, rest), (want, OPEN + b'Tr\xc3\xaas.' + CLOSE))


def check_errors(folder):
    for args, message in (
            (['--bogus'], "unrecognized option '--bogus'"),
            (['-e', 'utf-16'],
             "invalid encoding 'utf-16' (use utf-8, latin-1, utf-16le or utf-16be)"),
            (['--format=html'], "invalid format 'html' (use markup, lines, jsonl or xml)"),
            (['-j', '0', '-o', 'out'], "invalid number of jobs '0' (use 1 to 1024)"),
            (['--force'], '--force needs --output-dir')):
        read_end, write_end = os.pipe()
        os.write(write_end, b'Ola.')
        os.close(write_end)
        p = subprocess.run([PTSPLIT] + args, stdin=read_end, capture_output=True, cwd=folder,
                           timeout=60)
        left = os.read(read_end, 10)
        os.close(read_end)
        same('bad usage %s: message' % args[0], p.stderr,
             b"ptsplit: %s\nTry 'ptsplit --help'.\n" % message.encode())
        check('bad usage %s: status 2, standard input not read' % args[0],
              (p.returncode, p.stdout, left) == (2, b'', b'Ola.'), repr((p.returncode, left)))
    out, err, status = run(['missing', '.', 'a.txt'], cwd=folder)
    same('unreadable inputs: messages', err, b'ptsplit: missing: No such file or directory\n'
         b'ptsplit: .: is a directory (use -o DIR)\n')
    check('unreadable inputs: status 1, the others split',
          (out, status) == (run(['a.txt'], cwd=folder)[0], 1))
    same('a name with a line feed and an escape sequence: escaped on one line',
         run(['no\n\x1b[2Jpe'], cwd=folder)[1],
         b'ptsplit: no\\x0A\\x1B[2Jpe: No such file or directory\n')
    # -o is no remedy for standard input, which it refuses.
    directory = os.open(folder, os.O_RDONLY)
    p = subprocess.run([PTSPLIT], stdin=directory, capture_output=True, timeout=60)
    os.close(directory)
    same('standard input a folder: message', p.stderr, b'ptsplit: -: is a directory\n')
    # Both streams to one file: a message follows the output before it.
    for jobs in ('1', '2'):
        p = subprocess.run([PTSPLIT, '-j', jobs, 'a.txt', 'missing'], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, cwd=folder, timeout=60)
        same('-j %s, standard error on standard output: in order' % jobs, p.stdout,
             out + b'ptsplit: missing: No such file or directory\n')
    with open('/dev/full', 'wb') as full:
        p = subprocess.run([PTSPLIT, 'a.txt'], stdout=full, stderr=subprocess.PIPE, cwd=folder,
                           timeout=60)
    same('write error: message', p.stderr,
         b'ptsplit: error writing standard output: No space left on device\n')
    check('write error: status 2', p.returncode == 2)
    for args, stdout, reason in ((['-h'], '/dev/full', b'No space left on device'),
                                 (['-V'], '/dev/full', b'No space left on device'),
                                 (['-V'], None, b'Bad file descriptor'),
                                 (['a.txt'], None, b'Bad file descriptor')):
        with open(stdout or os.devnull, 'wb') as out:
            p = subprocess.run([PTSPLIT] + args, stdout=out, stderr=subprocess.PIPE, timeout=60,
                               cwd=folder, preexec_fn=None if stdout else lambda: os.close(1))
        same('%s, %s: write error' % (args[0], stdout or 'closed standard output'),
             (p.stderr, p.returncode), (b'ptsplit: error writing standard output: %s\n' % reason, 2))
    # With the standard descriptors closed, no file the run opens takes
    # their numbers: the warning for NUL bytes must not land in the output.
    write(os.path.join(folder, 'nul.txt'), INPUTS['NUL'])
    p = subprocess.run([PTSPLIT, '-o', 'out', 'nul.txt'], cwd=folder, timeout=60,
                       preexec_fn=lambda: os.closerange(0, 3))
    same('closed standard descriptors: the output file', (p.returncode, output(folder, 'out/nul.txt')),
         (0, run(['nul.txt'], cwd=folder)[0]))
    check_input_is_output(folder)


def check_input_is_output(folder):
    """An input that is the file standard output writes to is refused at once,
    before the output could feed the input until the disk is full."""
    path = os.path.join(folder, 'a.txt')
    with open(path, 'rb') as f:
        data = f.read()
    limit = 1 << 20  # an output that loops stops here
    for binary, args, mode in ((PTSPLIT, ['a.txt'], 'ab'), (PTSPLIT, ['-'], 'ab'),
                               (PTSEG, [], 'ab'), (PTSEG, [], 'wb')):
        write(path, data)
        with open(path, 'rb') as stdin, open(path, mode) as stdout:
            p = subprocess.run([binary] + args, stdin=stdin, stdout=stdout, stderr=subprocess.PIPE,
                               cwd=folder, timeout=60, preexec_fn=lambda: resource.setrlimit(
                                   resource.RLIMIT_FSIZE, (limit, limit)))
        label = '%s %s %s a.txt: ' % (os.path.basename(binary), ' '.join(args),
                                      {'ab': '>>', 'wb': '>'}[mode])
        if binary == PTSEG:
            check(label + 'refused', stderr_ok(p.stderr, b'ptseg: input file is output file\n')
                  and p.returncode == 2, repr((p.stderr, p.returncode)))
        else:
            same(label + 'refused', (p.stderr, p.returncode),
                 (b'ptsplit: %s: input file is output file\n' % args[-1].encode(), 2))
        same(label + 'the file as the shell left it', open(path, 'rb').read(),
             data if mode == 'ab' else b'')
    write(path, data)


def check_corpus(root):
    stamp = time.time() - 100
    for path, data in (('tree/a/x.txt', INPUTS['typographic']), ('tree/a/b/y.txt', INPUTS['CR LF']),
                       ('tree/z.txt', INPUTS['NUL']), ('tree/empty.txt', b''),
                       ('tree/.hidden.txt', b'x'), ('tree/.hid/w.txt', b'y'),
                       ('solo/solo.txt', INPUTS['BOM'])):
        write(os.path.join(root, path), data, stamp)
    os.symlink('a/x.txt', os.path.join(root, 'tree/link.txt'))
    os.symlink('a', os.path.join(root, 'tree/linkdir'))
    outputs = {'a/x.txt.jsonl': 'tree/a/x.txt', 'a/b/y.txt.jsonl': 'tree/a/b/y.txt',
               'z.txt.jsonl': 'tree/z.txt', 'empty.txt.jsonl': 'tree/empty.txt',
               'solo.txt.jsonl': 'solo/solo.txt'}
    args = ['-f', 'jsonl', '-o', 'out', 'tree', 'solo/solo.txt']
    os.chmod(os.path.join(root, 'tree/a/x.txt'), 0o600)  # a private text
    old_mask = os.umask(0o027)
    result = run(args, cwd=root)
    os.umask(old_mask)
    check('-o: status 0, only the warning for NUL bytes on stderr',
          result == (b'', BINARY_WARNING % b'tree/z.txt', 0), repr(result))
    same('-o: the outputs', sorted(os.path.relpath(os.path.join(d, f), root + '/out')
                                   for d, _, files in os.walk(root + '/out') for f in files),
         sorted(outputs))
    for made, source in outputs.items():
        with open(os.path.join(root, 'out', made), 'rb') as f:
            same('-o: %s is ptsplit %s' % (made, source), f.read(),
                 run(['-f', 'jsonl', source], cwd=root)[0])
    same('-o: modes under umask 027',
         sorted({oct(os.stat(os.path.join(root, 'out', p)).st_mode & 0o7777)
                 for p in ('a', 'a/b', 'z.txt.jsonl', 'a/b/y.txt.jsonl')}), ['0o640', '0o750'])
    same('-o: the output of a private input is private too',
         oct(os.stat(os.path.join(root, 'out/a/x.txt.jsonl')).st_mode & 0o7777), '0o600')

    def inodes():  # an output rewritten is a new file renamed over the old one
        return {p: os.stat(os.path.join(root, 'out', p)).st_ino for p in outputs}

    same('-o: each output carries its input\'s time',
         [os.stat(os.path.join(root, 'out', p)).st_mtime_ns for p in outputs],
         [os.stat(os.path.join(root, s)).st_mtime_ns for s in outputs.values()])
    old = inodes()
    result = run(args, cwd=root)
    check('resume: status 0, nothing rewritten', result == (b'', b'', 0) and inodes() == old,
          repr(result))
    os.utime(os.path.join(root, 'tree/z.txt'), (stamp - 90, stamp - 90))
    run(args, cwd=root)
    same('resume: only the input whose time changed, even to older, is split again',
         [p for p, t in inodes().items() if t != old[p]], ['z.txt.jsonl'])
    # An output that is its input, as a hard link or a symbolic link, has its
    # time (the link given it), but is not done.
    for link in (os.link, os.symlink):
        made, source = os.path.join(root, 'out/z.txt.jsonl'), os.path.join(root, 'tree/z.txt')
        os.unlink(made)
        link(source, made)
        os.utime(made, ns=(0, os.stat(source).st_mtime_ns), follow_symlinks=False)
        run(args, cwd=root)
        linked = []
        for path in (made, source):
            with open(path, 'rb') as f:
                linked.append(f.read())
        same('resume: an output that is its input (%s) is redone, the input left' % link.__name__,
             linked, [run(['-f', 'jsonl', 'tree/z.txt'], cwd=root)[0], INPUTS['NUL']])
    # UTF-16 and latin-1 are told apart, and so are the paragraphs.
    for other in (['-e', 'latin-1'], ['-e', 'utf-16le'], ['-e', 'latin-1'],
                  ['-e', 'latin-1', '--paragraphs=blank-lines']):
        old = inodes()
        run(other + args, cwd=root)
        same('other options %s rewrite everything' % ' '.join(other),
             [p for p, t in inodes().items() if t == old[p]], [])
    with open(os.path.join(root, 'out/a/b/y.txt.jsonl'), 'rb') as f:
        same('other options: the output is made with them', f.read(),
             run(other + ['-f', 'jsonl', 'tree/a/b/y.txt'], cwd=root)[0])
    old = inodes()
    run(['--force', '-e', 'latin-1'] + args, cwd=root)
    same('--force rewrites everything', [p for p, t in inodes().items() if t == old[p]], [])

    # An output folder that leads into an input folder through a symbolic link.
    os.makedirs(os.path.join(root, 'links'))
    os.symlink('../tree/a', os.path.join(root, 'links/a'))
    for refused, message in (
            (['tree/new', 'tree'], 'output folder tree/new is inside the input folder tree'),
            (['links', 'tree'], 'output folder links/a is inside the input folder tree'),
            (['tree', 'tree/a'], 'input tree/a is inside the output folder tree'),
            (['new', '-'], 'standard input cannot be split into an output folder (-o)'),
            (['new', 'tree/a/x.txt', 'tree/linkdir/x.txt'],
             'tree/a/x.txt and tree/linkdir/x.txt would both be written to new/x.txt'),
            (['/dev/null/new', 'tree'], '/dev/null/new: Not a directory')):
        same('-o refused: ' + message, run(['-o'] + refused, cwd=root),
             (b'', b'ptsplit: %s\n' % message.encode(), 2))
    check('-o refused: nothing created',
          not os.path.exists(root + '/new') and not os.path.exists(root + '/tree/new'))
    same('-o: an unreadable input is named, the others split, status 1',
         run(['-o', 'out', 'missing', 'tree'], cwd=root),
         (b'', b'ptsplit: missing: No such file or directory\n' +
          BINARY_WARNING % b'tree/z.txt', 1))
    # A folder that cannot be listed to its end: named, status 1.
    if os.environ.get('PTSPLIT_READDIR_FAILS'):
        env = dict(os.environ, LD_PRELOAD=os.environ['PTSPLIT_READDIR_FAILS'],
                   READDIR_FAILS_AFTER='0')
        p = subprocess.run([PTSPLIT, '-o', 'listed', 'tree'], capture_output=True, cwd=root,
                           env=env, timeout=60)
        same('-o: a listing cut short by an error', (p.stderr, p.returncode),
             (b'ptsplit: tree: Input/output error\n', 1))
    # No thread can be made: the run's own thread does the work.
    if os.environ.get('PTSPLIT_THREADS_FAIL'):
        env = dict(os.environ, LD_PRELOAD=os.environ['PTSPLIT_THREADS_FAIL'])
        p = subprocess.run([PTSPLIT, '-j', '4', '-f', 'jsonl', '-o', 'unthreaded', 'solo'],
                           capture_output=True, cwd=root, env=env, timeout=60)
        same('-o: no threads to be had',
             (p.stderr, p.returncode, output(root, 'unthreaded/solo.txt.jsonl')),
             (b'', 0, run(['-f', 'jsonl', 'solo/solo.txt'], cwd=root)[0]))
    check_progress(args, root)


def check_progress(args, root):
    master, slave = pty.openpty()
    attrs = termios.tcgetattr(slave)
    attrs[1] &= ~termios.OPOST  # no LF -> CR LF
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    for quiet in ([], ['-q']):
        p = subprocess.Popen([PTSPLIT, '--force'] + quiet + args, stdout=subprocess.DEVNULL,
                             stderr=slave, cwd=root)
        got, deadline = b'', time.monotonic() + 60
        while p.poll() is None or select.select([master], [], [], 0)[0]:
            if select.select([master], [], [], 0.1)[0]:
                got += os.read(master, 4096)
            if time.monotonic() > deadline:
                p.kill()
        if quiet:
            same('progress: none with -q', got, BINARY_WARNING % b'tree/z.txt')
            continue
        line = rb'\rptsplit: \d/5 files, 0\.0/0\.0 MB(, [\d.]+ MB/s, \d+:\d\d left)?\x1b\[K'
        # The warning on the file with NUL bytes clears the line first.
        warning = rb'(\r\x1b\[K)?' + re.escape(BINARY_WARNING % b'tree/z.txt')
        check('progress: redrawn on a terminal, ends with 5/5 files and a line feed',
              re.fullmatch(rb'(%s|%s)*\rptsplit: 5/5 files, 0\.0/0\.0 MB.*\x1b\[K\n'
                           % (line, warning), got), repr(got))
    # A pipe split to standard output: the line comes after a few seconds;
    # the warning on the next input clears it first.
    data = b'Ola. Tudo bem. ' * 1000
    read_end, write_end = os.pipe()
    p = subprocess.Popen([PTSPLIT, '-', 'tree/z.txt'], stdin=read_end, stdout=subprocess.PIPE,
                         stderr=slave, cwd=root)
    os.close(read_end)
    os.write(write_end, data)
    got, deadline = b'', time.monotonic() + 60
    while b'\x1b[K' not in got and time.monotonic() < deadline:
        if select.select([master], [], [], 0.1)[0]:
            got += os.read(master, 4096)
    os.close(write_end)
    out = p.communicate(timeout=60)[0]
    while select.select([master], [], [], 0.2)[0]:
        got += os.read(master, 4096)
    check('progress: a pipe to standard output, after a while',
          re.fullmatch(rb'(\rptsplit: 0\.0 MB(, [\d.]+ MB/s)?\x1b\[K)+\r\x1b\[K%s'
                       rb'(\rptsplit: [^\r\n]*\x1b\[K)*\n'
                       % re.escape(BINARY_WARNING % b'tree/z.txt'), got) and
          (out, p.returncode) == (run([], data)[0] + run(['tree/z.txt'], cwd=root)[0], 0),
          repr(got))
    # Standard input opened into the middle of a file: the progress is of
    # what is left of it, all of it at the end.  Standard output is a pipe
    # read only once the line has been drawn.
    with open(os.path.join(root, 'half.txt'), 'wb') as f:
        f.write(b'Ola. Tudo bem. ' * 140000)
    with open(os.path.join(root, 'half.txt'), 'rb') as f:
        f.seek(1100000)
        p = subprocess.Popen([PTSPLIT], stdin=f, stdout=subprocess.PIPE, stderr=slave)
        time.sleep(2.5)
        p.communicate(timeout=60)
    got = b''
    while select.select([master], [], [], 0.2)[0]:
        got += os.read(master, 4096)
    same('progress: standard input from the middle of a file ends at 100%',
         got.split(b'\r')[-1][:27], b'ptsplit: 1.0/1.0 MB (100%),')
    os.close(slave)
    os.close(master)
    same('progress: none when standard error is a pipe', run(['--force'] + args, cwd=root),
         (b'', BINARY_WARNING % b'tree/z.txt', 0))


def check_compressed_progress(root):
    """With -o, a compressed file's progress counts its compressed bytes, as its
    size does: one that decompresses to more than the whole run is not all of
    it once done."""
    words = random.Random(1)
    text = b''.join(b'Frase %d de %d. ' % (words.randrange(10 ** 6), words.randrange(10 ** 6))
                    for _ in range(150000))
    write(os.path.join(root, 'in/a.gz'), gzip.compress(text, mtime=0))  # 1.2 MB
    write(os.path.join(root, 'in/b.txt'), text[:1000000])
    master, slave = pty.openpty()
    fifo = os.path.join(root, 'pause')
    os.mkfifo(fifo)
    p = subprocess.Popen([PTSPLIT, '-j', '1', '-o', 'out', 'in'], cwd=root, stderr=slave,
                         env=dict(os.environ, PTSPLIT_TEST_PAUSE=fifo))
    got, waiting, opened, waits = b'', b'', 0, True
    deadline = time.monotonic() + 60
    while p.poll() is None and time.monotonic() < deadline:
        if select.select([master], [], [], 0.01)[0]:
            got += os.read(master, 4096)
        try:  # each input waits until the FIFO is opened and closed
            fifo_end = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        except OSError as e:  # ENXIO while ptsplit does not have it open
            if e.errno != errno.ENXIO:
                raise
            waits = True
            continue
        opened += waits  # else the input let go has not closed it yet
        if waits and opened == 2:  # b.txt waits: the line is drawn again meanwhile
            shown = len(got)
            while got.count(b'\r', shown) < 2 and time.monotonic() < deadline:
                if select.select([master], [], [], 0.1)[0]:
                    got += os.read(master, 4096)
            waiting = got[shown:].split(b'\r')[-2]
        os.close(fifo_end)
        waits = False
    p.wait()
    os.close(slave)
    os.close(master)
    want = b'ptsplit: 1/2 files, 1.2/2.2 MB'
    same('-o progress: a compressed file counts as its size', waiting[:len(want)], want)


def check_kill(root):
    data = b'O Dr. Silva chegou. Ele disse:\n- Vou embora! - gritou ela.\n' * 700000
    write(os.path.join(root, 'big/huge.txt'), data)
    write(os.path.join(root, 'big/small.txt'), data[:1000])
    out = os.path.join(root, 'out')
    p = subprocess.Popen([PTSPLIT, '-j', '1', '-o', out, root + '/big'])
    deadline = time.monotonic() + 60
    while p.poll() is None and time.monotonic() < deadline:  # until the output grows
        temps = os.listdir(out) if os.path.isdir(out) else []
        if temps and os.path.getsize(os.path.join(out, temps[0])) > 0:
            break
        time.sleep(0.001)
    running = p.poll() is None
    p.send_signal(signal.SIGKILL)
    p.wait()
    if not check('kill -9: the run was killed while writing', running):
        return
    same('kill -9: no output but a hidden temporary file', [f[:9] for f in os.listdir(out)],
         ['.ptsplit-'])
    write(os.path.join(out, '.ptsplit-x'), b'')  # not a name ptsplit makes
    check('kill -9: the next run completes', run(['-o', out, root + '/big']) == (b'', b'', 0))
    same('kill -9: temporary file removed', sorted(os.listdir(out)),
         ['.ptsplit-x', 'huge.txt', 'small.txt'])
    with open(os.path.join(out, 'huge.txt'), 'rb') as f:
        check('kill -9: the output is whole', strip_markup(f.read()) == data)


def start_paused(args, root):
    """Starts ptsplit ARGS, which stops after opening its first input and making
    its temporary file; returns it and a FIFO end to close to let it go on."""
    fifo = os.path.join(root, 'pause')
    os.mkfifo(fifo)
    p = subprocess.Popen([PTSPLIT] + args, cwd=root, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, env=dict(os.environ, PTSPLIT_TEST_PAUSE=fifo))
    deadline = time.monotonic() + 60
    while p.poll() is None and time.monotonic() < deadline:
        try:
            return p, os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        except OSError as e:  # ENXIO until ptsplit opens it
            if e.errno != errno.ENXIO:
                raise
            time.sleep(0.01)
    return p, None


def go_on(p, fifo_end, root):
    if fifo_end is not None:
        os.close(fifo_end)
    out, err = p.communicate(timeout=60)
    os.unlink(os.path.join(root, 'pause'))
    return out, err, p.returncode


def output(root, path):
    try:
        with open(os.path.join(root, path), 'rb') as f:
            return f.read()
    except FileNotFoundError:
        return None


def check_runs_meeting(root):
    text, other = INPUTS['typographic'], INPUTS['CR LF']
    for path, data in (('tree/sub/a.txt', text), ('other/b.txt', other),
                       ('d/big.txt', text)):
        write(os.path.join(root, path), data, time.time() - 100)
    # A run into out/sub while another run writes there through out.
    p, paused = start_paused(['-o', 'out', 'tree'], root)
    inner = run(['-o', 'out/sub', 'other'], cwd=root)
    same('nested runs: both complete, neither removes the other\'s files',
         (go_on(p, paused, root), inner, output(root, 'out/sub/a.txt'),
          output(root, 'out/sub/b.txt')),
         ((b'', b'', 0), (b'', b'', 0), run(['tree/sub/a.txt'], cwd=root)[0],
          run(['other/b.txt'], cwd=root)[0]))
    # An input replaced while it is read: no output, and the next run makes it.
    p, paused = start_paused(['-o', 'o', 'd'], root)
    write(os.path.join(root, 'd/new'), other)
    os.rename(os.path.join(root, 'd/new'), os.path.join(root, 'd/big.txt'))
    same('input changed while read: no output, then split by the next run',
         (go_on(p, paused, root), run(['-o', 'o', 'd'], cwd=root), output(root, 'o/big.txt')),
         ((b'', b'ptsplit: d/big.txt: changed while being read; no output written\n', 1),
          (b'', b'', 0), run(['d/big.txt'], cwd=root)[0]))
    # A file of a folder replaced by a symbolic link once found: not followed.
    for path, data in (('sw/big.txt', text), ('sw/small.txt', b'Oi.'), ('secret', other)):
        write(os.path.join(root, path), data)
    p, paused = start_paused(['-j', '1', '-o', 'so', 'sw'], root)
    os.unlink(os.path.join(root, 'sw/small.txt'))
    os.symlink('../secret', os.path.join(root, 'sw/small.txt'))
    same('a file replaced by a symbolic link after the walk: no output',
         (go_on(p, paused, root), output(root, 'so/small.txt')),
         ((b'', b'ptsplit: sw/small.txt: changed while being read; no output written\n', 1),
          None))
    # What stopped runs left anywhere under the output folder goes, what a live
    # run holds stays, whatever the inputs of the run.
    for name in ('out/sub/deep/.ptsplit-abcdef', 'out/sub/.ptsplit-ghijkl.old',
                 'out/sub/.ptsplit-mnopqr', 'out/sub/.ptsplit-x'):
        write(os.path.join(root, name), b'x')
    with open(os.path.join(root, 'out/sub/.ptsplit-mnopqr'), 'rb') as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        run(['-o', 'out', 'other/b.txt'], cwd=root)
    same('left over temporary files removed in the whole tree, live ones kept',
         sorted(f for f in os.listdir(root + '/out/sub') + os.listdir(root + '/out/sub/deep')
                if f.startswith('.')), ['.ptsplit-mnopqr', '.ptsplit-x'])
    # A FIFO is split at every run.
    os.mkfifo(os.path.join(root, 'fifo'))
    for data in (text, other):
        feeder = threading.Thread(target=feed, args=(os.path.join(root, 'fifo'), data),
                                  daemon=True)
        feeder.start()
        result = run(['-o', 'fo', 'fifo'], cwd=root)
        if feeder.is_alive():  # not opened: let the feeder go
            os.close(os.open(os.path.join(root, 'fifo'), os.O_RDONLY | os.O_NONBLOCK))
        feeder.join(60)
    same('a FIFO is split again at the next run', (result, output(root, 'fo/fifo')),
         ((b'', b'', 0), run([], other)[0]))


def feed(fifo, data):
    try:
        with open(fifo, 'wb') as f:
            f.write(data)
    except OSError:  # nobody read it
        pass


def check_corpus_files():
    texts = os.path.join(SHARED, 'corpus', 'texts')
    if not os.path.isdir(texts):
        print('skipped: %s is absent (set PTSEG_SHARED_DIR)' % texts)
        return
    for name in ('machado/romance/domCasmurro.txt', 'camilo/Amor_de_Perdicao.txt'):
        with open(os.path.join(texts, name), 'rb') as f:
            ptseg = subprocess.run([PTSEG], stdin=f, capture_output=True).stdout
        same('corpus %s: markup is ptseg\'s' % name,
             run(['--encoding=latin-1', os.path.join(texts, name)])[0], ptseg)


def check_wrapped():
    """--paragraphs=blank-lines: a single line break inside a paragraph
    reads as a blank, however the input is cut into reads; a paragraph
    starts after a blank line or at an indented line."""
    data = (b'O Dr.\nSilva chegou.\r\nEle saiu.\n \r\n\nNovo par\xc3\xa1grafo, e\n'
            b'Fim.\n   Recuado.\rE mais.\n')
    want = (OPEN + b'O Dr.\nSilva chegou.\r\n' + SB + b'Ele saiu.\n \r\n\n' + PB +
            b'Novo par\xc3\xa1grafo, e\nFim.\n   ' + PB + b'Recuado.\rE mais.\n' + CLOSE)
    same('blank-lines: markup', run(['--paragraphs=blank-lines'], data)[0], want)
    # CRs after a line break, in runs longer than the joiner writes at once:
    # kept before a blank line, blanks before the text that continues.
    crs = b'\r' * 65537
    long_runs = b'Ola\n' + crs * 2 + b'\nAna. Fim.\n' + crs + b'Sim.\n' + crs
    for encoding in ('utf-8', 'latin-1'):
        same('blank-lines: long runs of CRs, ' + encoding,
             run(['--paragraphs=blank-lines', '-e', encoding], long_runs)[0],
             OPEN + b'Ola\n' + crs * 2 + b'\n' + PB + b'Ana. ' + SB + b'Fim.\n' + crs + SB +
             b'Sim.\n' + crs + CLOSE)
    with tempfile.TemporaryDirectory() as folder:
        fifo = os.path.join(folder, 'fifo')
        os.mkfifo(fifo)
        reader = subprocess.Popen([PTSPLIT, '--paragraphs=blank-lines', fifo],
                                  stdout=subprocess.PIPE)
        with open(fifo, 'wb', buffering=0) as f:
            for i in range(len(data)):
                f.write(data[i:i + 1])
                time.sleep(0.001)
        same('blank-lines: markup of reads of one byte', reader.communicate()[0], want)
    same('lines: every line break before a sentence opens a paragraph',
         run(['--paragraphs=lines'], data)[0], run([], data)[0])
    check('blank-lines: a bad value is a usage error', run(['--paragraphs=blank'])[2] == 2)


def check_compressed_and_utf16(folder):
    """Compressed input reads as its text; a stream cut short is an error
    after the output so far; UTF-16 with a byte-order mark has offsets into
    its own bytes and markup in its own encoding."""
    text = INPUTS['typographic'] + INPUTS['CR LF']
    plain = os.path.join(folder, 'a.txt')
    write(plain, text)
    want = run(['-f', 'jsonl', plain])[0]
    for command in (['gzip'], ['xz'], ['bzip2'], ['zstd', '-q']):
        try:
            packed = subprocess.run(command + ['-c', plain], capture_output=True).stdout
        except FileNotFoundError:
            print('skipped: no %s' % command[0])
            continue
        path = plain + '.' + command[0]
        write(path, packed)
        same('%s: the text\'s sentences' % command[0], run(['-f', 'jsonl', path]),
             (want, b'', 0))
        if command[0] == 'gzip':
            write(path, packed[:len(packed) // 2])
            out, err, status = run(['-f', 'jsonl', path])
            same('gzip cut short: an error naming the file', (err, status),
                 (b'ptsplit: %s: unexpected end of compressed data\n' % path.encode(), 1))
            # The output is that of the text decompressed up to the cut.
            before = zlib.decompressobj(16 + zlib.MAX_WBITS).decompress(packed[:len(packed) // 2])
            same('gzip cut short: the sentences before the cut', out,
                 run(['-f', 'jsonl'], before)[0])
            write(path, packed + b'lixo')
            same('gzip and garbage: the whole text, then an error', run(['-f', 'jsonl', path]),
                 (want, b'ptsplit: %s: trailing garbage after compressed data\n' % path.encode(), 1))
    for codec, bom in (('utf-16-le', b'\xff\xfe'), ('utf-16-be', b'\xfe\xff')):
        data = bom + text.decode('utf-8', 'byte-by-byte').encode(codec)
        objects = [json.loads(line) for line in run(['-f', 'jsonl'], data)[0].splitlines()]
        check(codec + ': offsets into the UTF-16 bytes',
              [data[o['start']:o['end']].decode(codec) for o in objects] ==
              [o['text'] for o in objects] and objects[-1]['end'] == len(data))
        utf8_markup = run([], bom.decode(codec).encode() + text)[0]
        same(codec + ': markup in UTF-16', run([], data)[0].decode(codec).encode(), utf8_markup)
        # A last lone byte is no code unit: it follows the closing markup,
        # which stays in step with the units before it.
        for jobs in ('1', '2'):
            same(codec + ': a last lone byte after the markup, -j ' + jobs,
                 run(['-j', jobs], data + b'X')[0], run([], data)[0] + b'X')
        # Asked for, UTF-16 needs no mark, and its NUL bytes are no sign of binary input.
        bare = data[len(bom):]
        out, err, status = run(['-e', codec.replace('-le', 'le').replace('-be', 'be'),
                                '-f', 'lines'], bare)
        same(codec + ': asked for, no warning', (out, err, status),
             (run(['-f', 'lines'], text)[0], b'', 0))


def check_memory():
    """Sentences decided all at once, at the end of one long look-ahead, go
    out as they come: ptsplit holds no more than ptseg and the input."""
    if os.environ.get('PTSEG_SANITIZED'):
        print('skipped: memory: the sanitizers keep memory of their own')
        return
    data = b': 1) A' * 1000000 + b'.'
    probe = ('import resource, subprocess, sys\n'
             'subprocess.run(sys.argv[1:], input=sys.stdin.buffer.read(), '
             'stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)\n'
             'print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)')
    def peak_kb(*command):
        return int(subprocess.run([sys.executable, '-c', probe] + list(command), input=data,
                                  capture_output=True, check=True).stdout)
    ptseg, ptsplit = peak_kb(PTSEG), peak_kb(PTSPLIT, '-f', 'jsonl')
    check('memory: ptsplit -f jsonl on %d sentences decided at once' % 1000000,
          ptsplit < ptseg + len(data) // 1024 + 8192, '%d KB against ptseg\'s %d KB'
          % (ptsplit, ptseg))


def check_out_of_memory(folder):
    """With -o, a file that runs out of memory leaves nothing of itself in
    the next file's output on the same thread."""
    if os.environ.get('PTSEG_SANITIZED'):
        print('skipped: out of memory: the sanitizers keep memory of their own')
        return
    # Some 150 MB of text with no sentence end, in 450 KB of gzip members.
    member = gzip.compress(b'abc def, ghij klmno pqr, stuv xyz ' * 30000, mtime=0)
    write(os.path.join(folder, 'in/a.txt'),
          gzip.compress(b'Ola. Tudo bem. ', mtime=0) + member * 150)
    write(os.path.join(folder, 'in/b.txt'), INPUTS['CR LF'])
    limit = 256 << 20
    for form in ('jsonl', 'xml', 'lines'):
        p = subprocess.run([PTSPLIT, '-j', '1', '-f', form, '-o', 'out', 'in'], cwd=folder,
                           capture_output=True, timeout=60, preexec_fn=lambda: resource.setrlimit(
                               resource.RLIMIT_AS, (limit, limit)))
        suffix = {'lines': 'txt'}.get(form, form)
        same('-o, %s: out of memory on one file, the next one whole' % form,
             (p.stderr, p.returncode, output(folder, 'out/b.txt.' + suffix)),
             (b'ptsplit: in/a.txt: out of memory\n', 2,
              run(['-f', form, 'in/b.txt'], cwd=folder)[0]))


def main():
    check_formats()
    check_wrapped()
    check_memory()
    check_corpus_files()
    for group in (check_several_inputs, check_fifo_after_output, check_errors, check_corpus,
                  check_runs_meeting, check_kill, check_compressed_and_utf16, check_compressed_progress,
                  check_out_of_memory):
        with tempfile.TemporaryDirectory() as folder:
            if group == check_errors:
                write(os.path.join(folder, 'a.txt'), INPUTS['CR LF'])
            group(folder)
    return summary()


if __name__ == '__main__':
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    PTSPLIT, PTSEG, SHARED = (os.path.abspath(arg) for arg in sys.argv[1:])
    sys.exit(main())

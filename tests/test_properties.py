#!/usr/bin/env python3
"""test_properties.py BINARY [--reference REF] [--seed N] [--count N]

Random and adversarial inputs: each must give status 0, the notice line
alone on standard error, the framing, no empty sentence (but for empty
input), the input back once the markup is removed, and with --reference
the same output from REF.  Inputs holding '<' may hold markup, so for
them only the framing, the status and the reference count.  generate(s, i)
rebuilds input i of seed s on its own.
"""
import argparse
import random
import sys
from concurrent.futures import ThreadPoolExecutor

sys.dont_write_bytecode = True  # keep the source tree clean
from ptseg_test import CLOSE, OPEN, escape, report, run, stderr_ok, strip_markup  # noqa: E402

WORDS = ('ele ela disse casa vou embora fim mais sa\xed n\xe3o \xe1gua Ola Ana Silva Vou Ele '
         '\xc9lio \xc1vila \xc7a ANA E.U.A. CE.E. a.C. \xd1andu \xf1u \xc3o \xc5s x y z 3 12 1990 3.5'
         ).split()
ABBREVIATIONS = ('Dr. Sr. Exm\xaa. Sr\xaa. S. Ex. Rev. S. Exa. D. s. Cap. cap. p\xe1g. Jan. Dez. '
                 'n. N. Sub-sec. SUB-SEC. Sub-Sec. Av. av. cf. Cf. e.g. E.G. i.e. vs. J. \xc9. '
                 '\xc3. M. MC.').split()
ENUMERATORS = '1. 2) 12. 100. IV. iv) (b) b) m) (iii) XIV. IIII. IC. MCMXCIX. M. mm) (12)'.split()
PUNCTUATION = ['.', '!', '?', '...', '!?', '?!...', '..', '....', '(...)', '[...]', ' (...)', ':',
               ';', ',', '-', '--', '---', '----', '"', "'", '\xab', '\xbb', '(', ')', '[', ']',
               '\xaa', '\xba']
SPACES = [' ', ' ', ' ', '  ', '\t', '\n', '\n', '\r\n', '\r', '\n\n', '\n  ', '\x0b', '\x0c',
          '\x00', '\xa0', '']
MARKUP = '< > </s> <s> </s></p><p><s> </s><s> <p> </p> << </'.split()


def random_bytes(rng):
    """Any byte value, NUL included; sometimes from a small alphabet."""
    n = rng.choice((0, 1, 2, 5, 20, 60, 200))
    if rng.random() < 0.5:
        return bytes(rng.randrange(256) for _ in range(n))
    alphabet = rng.sample(range(256), rng.randint(2, 8)) + list(b'. \n-A')
    return bytes(rng.choice(alphabet) for _ in range(n))


def random_text(rng, markup=False):
    """Portuguese-looking text: words, punctuation, dashes, quotes,
    enumerators, abbreviations and line breaks in biased mixtures."""
    pools = [WORDS, ABBREVIATIONS, ENUMERATORS, PUNCTUATION, SPACES]
    weights = [rng.randint(1, 8) for _ in pools]
    if markup:
        pools.append(MARKUP)
        weights.append(3)
    tokens = []
    for _ in range(rng.choice((1, 3, 8, 20, 40, 120))):
        tokens.append(rng.choice(rng.choices(pools, weights)[0]))
        if rng.random() < 0.6:
            tokens.append(rng.choice(SPACES[:5]))
    return ''.join(tokens).encode('latin-1')


def dialogue(rng):
    """One to three dialogue or list skeletons, each slot varied."""
    pick = lambda *xs: rng.choice(xs)
    turns = []
    for _ in range(rng.randint(1, 3)):
        turns += [pick('Ele disse', 'Fim', 'Ok', 'fim'),
                  pick('.', ':', '!', '?', '...', ' (...)', ''),
                  pick(' ', '\n', '\r\n', '\n  ', ': ', '\t', '\n\n'),
                  pick('- ', '-- ', '--- ', '---- ', '-', '1) ', 'iv. ', '(b) ', ''),
                  pick('Vou', 'vou', '... Vou', '(...) vou', '\xabVou', '3 dias',
                       'Sr. Silva', 'Vou-me', 'Vou -a-'),
                  pick(' embora', '\nembora', '', ' ao Dr. Ana'),
                  pick('!', '.', '?', '...', '!\xbb', ';', ''),
                  pick(' ', '  ', '\t', ''),
                  pick('- ', '-- ', '-', '---- ', ''),
                  pick('disse ela.', 'Disse ela.', '... e saiu.', '...e saiu.',
                       '...\nEle.', '(...) Ele.', '\xabEle.', '1990.', '\nEle.', '')]
    return ''.join(turns).encode('latin-1')


def long_lookahead(rng):
    """An utterance of up to 14 KB before its closing dash: the
    look-ahead crosses the 8 KB read size but stays below the 16 KB buffer."""
    filler = ''.join(rng.choice((' x', ' casa', '\n', ' 3', ' Ana', '-me'))
                     for _ in range(rng.randint(10, 3000)))[:14000]
    return (random_text(rng) + b' Ok. Vou' + filler.encode('latin-1')
            + rng.choice((b'! - Disse.', b'! - disse.', b'. Fim.', b'')))


def generate(seed, i):
    rng = random.Random('%d:%d' % (seed, i))
    if i % 10 == 9:
        return random_text(rng, markup=True)
    if i % 50 == 48:
        return long_lookahead(rng)
    return rng.choice((random_bytes, random_text, random_text, dialogue))(rng)


def problems(data, out, err, status, ref_out):
    found = []
    if status != 0:
        found.append('exit status %s' % status)
    if not stderr_ok(err):
        found.append('stderr is not the notice line alone')
    if not (out.startswith(OPEN) and out.endswith(CLOSE)):
        found.append('framing')
    if b'<' not in data:
        if b'<s></s>' in out and data:
            found.append('empty sentence')
        if strip_markup(out) != data:
            found.append('output minus markup differs from the input')
    if ref_out is not None and ref_out != out:
        found.append('reference differs: %s' % escape(ref_out))
    return found


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('binary')
    ap.add_argument('--reference')
    ap.add_argument('--seed', type=int, default=20240607)
    ap.add_argument('--count', type=int, default=1500)
    args = ap.parse_args()

    def check(i):
        data = generate(args.seed, i)
        out, err, status = run(args.binary, data)
        ref = run(args.reference, data)[0] if args.reference else None
        return i, data, out, problems(data, out, err, status, ref)

    failed = 0
    with ThreadPoolExecutor(max_workers=4) as pool:
        for i, data, out, found in pool.map(check, range(args.count)):
            if found:
                failed += 1
                if failed <= 10:
                    print('FAIL seed %d input %d: %s\n    in:  %s\n    out: %s'
                          % (args.seed, i, '; '.join(found), escape(data), escape(out)))
    return report(args.count, failed)


if __name__ == '__main__':
    sys.exit(main())

#!/usr/bin/env python3
"""Write a hostile benchmark input: text on which match attempts look far ahead.

Usage: hostile.py KIND SIZE OUT   (SIZE in bytes; the output is ASCII)

  colon      "Veja: 1) Ana foi, " repeated, with no . ! ? or ;.  Every colon
             before an enumerator starts a look-ahead for the end of the
             item's sentence, which never comes.
  nopunct    "Ok. " and one capitalised sentence without final punctuation
             or free-standing hyphen: a dialogue utterance is sought to the end.
  blanks     "Fim.", about SIZE bytes of blanks, tabs and line breaks, then "Ana.".
  dialogue   "Ok. " and "- Vou embora, disse " repeated, no final punctuation.
  listturns  "Ele disse: 1) Vou\\n- Abc def, " repeated: dialogue turns at line
             starts inside an enumeration item that never ends, so the
             look-aheads of both kinds overlap.
"""
import sys

# kind: (head, unit repeated to SIZE bytes, tail)
KINDS = {
    "colon": ("", "Veja: 1) Ana foi, ", ""),
    "nopunct": ("Ok. Abc ", "def ghi, jkl mno pqr stu vwx yz ", ""),
    "blanks": ("Fim.", "  \n \t\n", "Ana.\n"),
    "dialogue": ("Ok. ", "- Vou embora, disse ", ""),
    "listturns": ("", "Ele disse: 1) Vou\n- Abc def, ", ""),
}


def main(argv):
    if len(argv) != 3 or argv[0] not in KINDS or not argv[1].isdigit():
        sys.stderr.write(__doc__)
        return 2
    kind, size, out = argv[0], int(argv[1]), argv[2]
    head, unit, tail = KINDS[kind]
    body = head + (unit * (size // len(unit) + 1))[:size - len(head)] + tail
    with open(out, "w", encoding="ascii", newline="") as f:
        f.write(body)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

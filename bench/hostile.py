#!/usr/bin/env python3
r"""Write a hostile benchmark input: text where match attempts look far ahead.

Usage: hostile.py KIND SIZE OUT   (SIZE in bytes; the output is ASCII, or
                                   ISO-8859-1 where marked latin-1)
       hostile.py --list          (the kinds, one a line)

  colon          "Veja: 1) Ana foi, " repeated, no . ! ? or ;.  Every colon
                 before an enumerator looks ahead for the end of the item's
                 sentence, which never comes.
  nopunct        "Ok. " and one capitalised sentence without final punctuation
                 or free-standing hyphen: an utterance is sought to the end.
  blanks         "Fim.", about SIZE bytes of blanks, tabs and line breaks,
                 then "Ana.".
  dialogue       "Ok. " and "- Vou embora, disse " repeated, no final stop.
  listturns      "Ele disse: 1) Vou\n- Abc def, " repeated: dialogue turns at
                 line starts inside an enumeration item that never ends, so
                 the look-aheads of both kinds overlap.
  colonenum      ": 1) A" repeated, then ".": each colon looks ahead to it.
  itemlines      "Itens: a) Arroz e feij\xe3o,\n" lines, then "Fim." (latin-1).
  itemlinescrlf  The same with CR LF line breaks (latin-1).
  romanlist      ": IV) A: iv) A: (b) A" repeated, then ".".
  quotes         ': 1) \xc1gua" \xc9 \xbb' repeated, then ".\xbb" (latin-1).
  dialogue2      "Ok. - Vou, disse ... " repeated, then "- Fim. - ".
  blanksstop     "Fim. \n \t\n" repeated, then "Ana.".
"""
import sys

# kind: (head, unit repeated to about SIZE bytes, tail); written as ISO-8859-1
KINDS = {
    "colon": ("", "Veja: 1) Ana foi, ", ""),
    "nopunct": ("Ok. Abc ", "def ghi, jkl mno pqr stu vwx yz ", ""),
    "blanks": ("Fim.", "  \n \t\n", "Ana.\n"),
    "dialogue": ("Ok. ", "- Vou embora, disse ", ""),
    "listturns": ("", "Ele disse: 1) Vou\n- Abc def, ", ""),
    "colonenum": ("", ": 1) A", "."),
    "itemlines": ("", "Itens: a) Arroz e feij\xe3o,\n", "Fim."),
    "itemlinescrlf": ("", "Itens: a) Arroz e feij\xe3o,\r\n", "Fim."),
    "romanlist": ("", ": IV) A: iv) A: (b) A", "."),
    "quotes": ("", ': 1) \xc1gua" \xc9 \xbb', ".\xbb"),
    "dialogue2": ("", "Ok. - Vou, disse ... ", "- Fim. - "),
    "blanksstop": ("", "Fim. \n \t\n", "Ana."),
}


def main(argv):
    if argv == ["--list"]:
        print("\n".join(KINDS))
        return 0
    if len(argv) != 3 or argv[0] not in KINDS or not argv[1].isdigit():
        sys.stderr.write(__doc__)
        return 2
    kind, size, out = argv[0], int(argv[1]), argv[2]
    head, unit, tail = KINDS[kind]
    # Whole units only, so that the tail follows a complete motif (a cut one
    # could leave a lone CR before it, or a colon with no enumerator).
    count = max(1, (size - len(head) - len(tail)) // len(unit))
    with open(out, "w", encoding="latin-1", newline="") as f:
        f.write(head + unit * count + tail)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

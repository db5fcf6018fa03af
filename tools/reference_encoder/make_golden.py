#!/usr/bin/python3
"""Writes the tiny random-weight test encoder and its golden outputs.

Output (tests/data/embeddings/):
  tiny_bert/config.json, tiny_bert/model.safetensors (F32), tiny_bert/vocab.txt
  tiny_bert_f16.safetensors, tiny_bert_bf16.safetensors (the same values as F16 / BF16)
  tiny_bert_golden.json: inputs and the reference embeddings (reference_encoder.py, float64)

Every weight is rounded to a value that BF16 and F16 both hold exactly, so the
three files describe the same network and share one set of golden outputs.

Usage: /usr/bin/python3 tools/reference_encoder/make_golden.py [--out DIR]
"""
import argparse
import json
import os
import struct

import numpy as np

import reference_encoder as ref

CONFIG = {
    "model_type": "bert",
    "architectures": ["BertModel"],
    "vocab_size": 100,
    "hidden_size": 32,
    "num_hidden_layers": 2,
    "num_attention_heads": 4,
    "intermediate_size": 64,
    "max_position_embeddings": 512,
    "type_vocab_size": 2,
    "layer_norm_eps": 1e-12,
    "hidden_act": "gelu",
    "pad_token_id": 0,
}

WORDS = ["the", "quick", "brown", "fox", "jump", "over", "lazy", "dog", "hello", "world", "un", "##believ",
         "##able", "##ed", "cafe", "naive", "中", "##文"]


def vocabulary():
    tokens = ["[PAD]", "[UNK]", "[CLS]", "[SEP]", "[MASK]"]
    tokens += [chr(c) for c in range(ord("a"), ord("z") + 1)]
    tokens += ["##" + chr(c) for c in range(ord("a"), ord("z") + 1)]
    tokens += list(".,!?'-") + [str(d) for d in range(10)]
    tokens += WORDS
    while len(tokens) < CONFIG["vocab_size"]:
        tokens.append("[unused%d]" % (len(tokens)))
    assert len(tokens) == CONFIG["vocab_size"], len(tokens)
    return tokens


def exact_in_half_and_bfloat(values):
    """Rounds to BF16 (nearest even), then zeroes what F16 could only hold as a subnormal."""
    bits = values.astype(np.float32).view(np.uint32).astype(np.uint64)
    bits = ((bits + 0x7FFF + ((bits >> 16) & 1)) >> 16) << 16
    out = bits.astype(np.uint32).view(np.float32).copy()
    out[np.abs(out) < 2.0 ** -14] = 0.0
    return out


def weights(rng):
    h, i, v = CONFIG["hidden_size"], CONFIG["intermediate_size"], CONFIG["vocab_size"]
    p, t = CONFIG["max_position_embeddings"], CONFIG["type_vocab_size"]
    w = {}

    def normal(name, shape, scale):
        w[name] = exact_in_half_and_bfloat(rng.normal(0.0, scale, size=shape))

    normal("embeddings.word_embeddings.weight", (v, h), 0.5)
    normal("embeddings.position_embeddings.weight", (p, h), 0.3)
    normal("embeddings.token_type_embeddings.weight", (t, h), 0.3)

    def norm(name):
        w[name + ".weight"] = exact_in_half_and_bfloat(1.0 + rng.normal(0.0, 0.1, size=(h,)))
        w[name + ".bias"] = exact_in_half_and_bfloat(rng.normal(0.0, 0.1, size=(h,)))

    norm("embeddings.LayerNorm")
    for layer in range(CONFIG["num_hidden_layers"]):
        q = "encoder.layer.%d." % layer
        for part in ("query", "key", "value"):
            normal(q + "attention.self." + part + ".weight", (h, h), 0.3)
            normal(q + "attention.self." + part + ".bias", (h,), 0.1)
        normal(q + "attention.output.dense.weight", (h, h), 0.2)
        normal(q + "attention.output.dense.bias", (h,), 0.1)
        norm(q + "attention.output.LayerNorm")
        normal(q + "intermediate.dense.weight", (i, h), 0.2)
        normal(q + "intermediate.dense.bias", (i,), 0.1)
        normal(q + "output.dense.weight", (h, i), 0.15)
        normal(q + "output.dense.bias", (h,), 0.1)
        norm(q + "output.LayerNorm")
    # A pooler, as real checkpoints have; the runtime ignores it.
    normal("pooler.dense.weight", (h, h), 0.1)
    normal("pooler.dense.bias", (h,), 0.1)
    return w


def write_safetensors(path, tensors, dtype):
    header, chunks, offset = {}, [], 0
    for name in sorted(tensors):
        values = tensors[name].astype(np.float32)
        if dtype == "F32":
            raw = values.astype("<f4").tobytes()
        elif dtype == "F16":
            raw = values.astype("<f2").tobytes()
        else:
            raw = (values.view(np.uint32) >> 16).astype("<u2").tobytes()
        header[name] = {"dtype": dtype, "shape": list(values.shape), "data_offsets": [offset, offset + len(raw)]}
        chunks.append(raw)
        offset += len(raw)
    header["__metadata__"] = {"format": "pt"}
    text = json.dumps(header, separators=(",", ":")).encode("utf-8")
    text += b" " * ((8 - len(text) % 8) % 8)
    with open(path, "wb") as f:
        f.write(struct.pack("<Q", len(text)))
        f.write(text)
        for raw in chunks:
            f.write(raw)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", default=os.path.normpath(os.path.join(here, "..", "..", "tests", "data", "embeddings")))
    args = parser.parse_args()
    rng = np.random.default_rng(20261205)
    model_dir = os.path.join(args.out, "tiny_bert")
    os.makedirs(model_dir, exist_ok=True)
    tokens = vocabulary()
    with open(os.path.join(model_dir, "vocab.txt"), "w", encoding="utf-8") as f:
        f.write("\n".join(tokens) + "\n")
    with open(os.path.join(model_dir, "config.json"), "w") as f:
        json.dump(CONFIG, f, indent=2)
        f.write("\n")
    w = weights(rng)
    write_safetensors(os.path.join(model_dir, "model.safetensors"), w, "F32")
    write_safetensors(os.path.join(args.out, "tiny_bert_f16.safetensors"), w, "F16")
    write_safetensors(os.path.join(args.out, "tiny_bert_bf16.safetensors"), w, "BF16")

    ids = {t: i for i, t in enumerate(tokens)}
    cls, sep = ids["[CLS]"], ids["[SEP]"]
    real_ids = list(range(5, CONFIG["vocab_size"]))
    cases = []

    def add(name, body, padded_length, hidden=False, text=None):
        row = [cls] + body + [sep]
        input_ids = row + [0] * (padded_length - len(row))
        mask = [1] * len(row) + [0] * (padded_length - len(row))
        embedding, states = ref.embed(CONFIG, {k: v.astype(np.float64) for k, v in w.items()}, input_ids, mask)
        case = {"name": name, "input_ids": row, "padded_length": padded_length,
                "embedding": [float(x) for x in embedding]}
        if hidden:
            case["hidden_states"] = [float(x) for x in states[:len(row)].reshape(-1)]
        if text is not None:
            case["text"] = text
        cases.append(case)

    add("empty", [], 512, hidden=True)
    add("short", [int(x) for x in rng.choice(real_ids, 5)], 512, hidden=True)
    add("medium", [int(x) for x in rng.choice(real_ids, 40)], 512)
    add("long", [int(x) for x in rng.choice(real_ids, 300)], 512)
    add("full", [int(x) for x in rng.choice(real_ids, 510)], 512)
    add("shortPadding", [int(x) for x in rng.choice(real_ids, 9)], 64, hidden=True)
    # "Héllo, WORLD! The quick brown foxes jumped." tokenized by hand with this vocabulary:
    # hello , world ! the quick brown fox ##e ##s jump ##ed .
    # (longest prefix first: "foxes" -> fox + ##e + ##s since "##es" is not in the vocabulary)
    text_tokens = ["hello", ",", "world", "!", "the", "quick", "brown", "fox", "##e", "##s", "jump", "##ed", "."]
    add("text", [ids[t] for t in text_tokens], 512, text="Héllo, WORLD! The quick brown foxes jumped.")
    with open(os.path.join(args.out, "tiny_bert_golden.json"), "w") as f:
        json.dump({"generator": "tools/reference_encoder/make_golden.py", "tolerance": 1e-4, "cases": cases}, f)
        f.write("\n")
    print("wrote %d golden cases to %s" % (len(cases), args.out))


if __name__ == "__main__":
    main()

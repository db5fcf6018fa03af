#!/usr/bin/python3
"""Independent NumPy reference of the BERT encoder forward pass (float64).

Reads a model directory (config.json, model.safetensors) with its own safetensors
parser and computes, the straightforward way, every one of the padded positions:
embeddings + layer norm, then per layer separate query/key/value projections,
softmax attention with an additive mask of the most negative float for padded
keys, output projection, residual + layer norm, erf-GELU feed-forward, residual +
layer norm. The embedding is the last layer's [CLS] row divided by its L2 norm.

Usage: /usr/bin/python3 tools/reference_encoder/reference_encoder.py MODEL_DIR 101,7,8,102 [--pad 512]
"""
import argparse
import json
import math
import struct
import sys

import numpy as np

_DTYPES = {"F32": np.dtype("<f4"), "F16": np.dtype("<f2"), "F64": np.dtype("<f8")}


def load_safetensors(path):
    with open(path, "rb") as f:
        data = f.read()
    (n,) = struct.unpack("<Q", data[:8])
    header = json.loads(data[8:8 + n].decode("utf-8"))
    body = data[8 + n:]
    tensors = {}
    for name, entry in header.items():
        if name == "__metadata__":
            continue
        begin, end = entry["data_offsets"]
        raw = body[begin:end]
        if entry["dtype"] == "BF16":
            bits = np.frombuffer(raw, dtype="<u2").astype(np.uint32) << 16
            values = bits.view(np.float32)
        else:
            values = np.frombuffer(raw, dtype=_DTYPES[entry["dtype"]])
        tensors[name] = values.astype(np.float64).reshape(entry["shape"])
    return tensors


def layer_norm(x, gamma, beta, eps):
    mean = x.mean(axis=-1, keepdims=True)
    var = ((x - mean) ** 2).mean(axis=-1, keepdims=True)
    return (x - mean) / np.sqrt(var + eps) * gamma + beta


_erf = np.vectorize(math.erf)


def gelu(x):
    return 0.5 * x * (1.0 + _erf(x / math.sqrt(2.0)))


def forward(config, w, input_ids, attention_mask):
    """Last hidden state [L, H] of one sequence, every position computed."""
    ids = np.asarray(input_ids, dtype=np.int64)
    mask = np.asarray(attention_mask, dtype=np.float64)
    length = ids.shape[0]
    hidden = config["hidden_size"]
    heads = config["num_attention_heads"]
    d = hidden // heads
    eps = config.get("layer_norm_eps", 1e-12)
    p = "bert." if "bert.embeddings.word_embeddings.weight" in w else ""

    def norm(name):
        if p + name + ".weight" in w:
            return w[p + name + ".weight"], w[p + name + ".bias"]
        return w[p + name + ".gamma"], w[p + name + ".beta"]

    x = (w[p + "embeddings.word_embeddings.weight"][ids] + w[p + "embeddings.position_embeddings.weight"][:length] +
         w[p + "embeddings.token_type_embeddings.weight"][0])
    x = layer_norm(x, *norm("embeddings.LayerNorm"), eps)
    key_bias = (1.0 - mask) * np.finfo(np.float32).min  # as the Hugging Face extended attention mask
    for i in range(config["num_hidden_layers"]):
        q_ = "%sencoder.layer.%d." % (p, i)

        def dense(name, inp):
            return inp @ w[q_ + name + ".weight"].T + w[q_ + name + ".bias"]

        q = dense("attention.self.query", x).reshape(length, heads, d).transpose(1, 0, 2)
        k = dense("attention.self.key", x).reshape(length, heads, d).transpose(1, 0, 2)
        v = dense("attention.self.value", x).reshape(length, heads, d).transpose(1, 0, 2)
        scores = q @ k.transpose(0, 2, 1) / math.sqrt(d) + key_bias[None, None, :]
        scores = scores - scores.max(axis=-1, keepdims=True)
        probs = np.exp(scores)
        probs = probs / probs.sum(axis=-1, keepdims=True)
        context = (probs @ v).transpose(1, 0, 2).reshape(length, hidden)
        attended = layer_norm(dense("attention.output.dense", context) + x, *norm(q_[len(p):] + "attention.output.LayerNorm"), eps)
        inter = gelu(dense("intermediate.dense", attended))
        x = layer_norm(dense("output.dense", inter) + attended, *norm(q_[len(p):] + "output.LayerNorm"), eps)
    return x


def embed(config, weights, input_ids, attention_mask):
    hidden = forward(config, weights, input_ids, attention_mask)
    cls = hidden[0]
    return cls / np.linalg.norm(cls), hidden


def load_model(directory):
    with open(directory + "/config.json") as f:
        config = json.load(f)
    return config, load_safetensors(directory + "/model.safetensors")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("model_dir")
    parser.add_argument("ids", help="comma-separated token identifiers, [CLS] ... [SEP]")
    parser.add_argument("--pad", type=int, default=512, help="pad with 0 to this many positions")
    args = parser.parse_args()
    config, weights = load_model(args.model_dir)
    ids = [int(t) for t in args.ids.split(",")]
    mask = [1] * len(ids) + [0] * max(0, args.pad - len(ids))
    ids = ids + [0] * max(0, args.pad - len(ids))
    embedding, _ = embed(config, weights, ids, mask)
    json.dump([float(v) for v in embedding], sys.stdout)
    print()


if __name__ == "__main__":
    main()

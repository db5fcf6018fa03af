#!/usr/bin/python3
"""PyTorch baseline for encoder_bench, and the ONNX export for the ONNX Runtime baseline.

Runs the same random-weight bge-small-shaped model (written by `encoder_bench --write-model DIR`)
on the same chunks (`--write-chunks FILE`) with PyTorch (Debian python3-torch, OpenBLAS), once on
the real tokens only and once on all 512 padded positions, and prints wall and CPU milliseconds
per chunk. With --onnx PATH it also exports the model to ONNX (dynamic sequence length) for
ort_bench.js. With --check FILE it compares its embeddings of the first chunks with the C++
runtime's (`encoder_bench --write-embeddings FILE`).

Usage: /usr/bin/python3 bench/encoder/torch_bench.py MODEL_DIR CHUNKS.json [--threads 2] [--onnx model.onnx]
                                                     [--check embeddings.json]
"""
import argparse
import json
import math
import os
import sys
import time

import torch

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "reference_encoder"))
import reference_encoder as ref  # noqa: E402  (its safetensors reader)


class Bert(torch.nn.Module):
    def __init__(self, config, w):
        super().__init__()
        t = lambda name: torch.nn.Parameter(torch.tensor(w[name], dtype=torch.float32), requires_grad=False)
        self.h = config["hidden_size"]
        self.heads = config["num_attention_heads"]
        self.eps = config.get("layer_norm_eps", 1e-12)
        self.word = t("embeddings.word_embeddings.weight")
        self.pos = t("embeddings.position_embeddings.weight")
        self.token_type = t("embeddings.token_type_embeddings.weight")
        self.ln = torch.nn.LayerNorm(self.h, eps=self.eps)
        self.ln.weight, self.ln.bias = t("embeddings.LayerNorm.weight"), t("embeddings.LayerNorm.bias")
        self.layers = torch.nn.ModuleList()
        for i in range(config["num_hidden_layers"]):
            p = "encoder.layer.%d." % i
            m = torch.nn.Module()

            def lin(name, m=m, p=p):
                weight = t(p + name + ".weight")
                layer = torch.nn.Linear(weight.shape[1], weight.shape[0])
                layer.weight, layer.bias = weight, t(p + name + ".bias")
                return layer

            def norm(name, p=p):
                layer = torch.nn.LayerNorm(self.h, eps=self.eps)
                layer.weight, layer.bias = t(p + name + ".weight"), t(p + name + ".bias")
                return layer

            m.q, m.k, m.v = lin("attention.self.query"), lin("attention.self.key"), lin("attention.self.value")
            m.o, m.ln1 = lin("attention.output.dense"), norm("attention.output.LayerNorm")
            m.i, m.out, m.ln2 = lin("intermediate.dense"), lin("output.dense"), norm("output.LayerNorm")
            self.layers.append(m)

    def forward(self, input_ids, attention_mask):
        n, length = input_ids.shape
        d = self.h // self.heads
        x = self.ln(self.word[input_ids] + self.pos[:length].unsqueeze(0) + self.token_type[0])
        bias = (1.0 - attention_mask.to(torch.float32))[:, None, None, :] * torch.finfo(torch.float32).min
        for m in self.layers:
            split = lambda y: y.view(n, length, self.heads, d).transpose(1, 2)
            q, k, v = split(m.q(x)), split(m.k(x)), split(m.v(x))
            probs = torch.softmax(q @ k.transpose(-1, -2) / math.sqrt(d) + bias, dim=-1)
            context = (probs @ v).transpose(1, 2).reshape(n, length, self.h)
            x = m.ln1(m.o(context) + x)
            x = m.ln2(m.out(torch.nn.functional.gelu(m.i(x))) + x)
        cls = x[:, 0]
        return cls / cls.norm(dim=-1, keepdim=True)


def timed(fn, items):
    wall, cpu = time.perf_counter(), time.process_time()
    fn()
    return (time.perf_counter() - wall) * 1e3 / items, (time.process_time() - cpu) * 1e3 / items


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("model_dir")
    parser.add_argument("chunks")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--onnx")
    parser.add_argument("--check")
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    config, weights = ref.load_model(args.model_dir)
    model = Bert(config, weights).eval()
    rows = json.load(open(args.chunks))
    full = [(torch.tensor([r["input_ids"]]), torch.tensor([r["attention_mask"]])) for r in rows]
    real = []
    for ids, mask in full:
        length = int(mask.sum())
        real.append((ids[:, :length], mask[:, :length]))
    with torch.inference_mode():
        model(*real[0])
        t_real = timed(lambda: [model(*r) for r in real], len(real))
        few = full[:8]
        t_full = timed(lambda: [model(*r) for r in few], len(few))
        diff = max(float((model(*real[i]) - model(*full[i])).abs().max()) for i in range(4))
    print("pytorch %s, %d threads (ms per chunk, wall / cpu):" % (torch.__version__, args.threads))
    print("  real tokens only, one chunk per call  %8.2f / %8.2f" % t_real)
    print("  all 512 positions, one chunk per call %8.2f / %8.2f" % t_full)
    print("  max |difference| real-only vs padded embedding: %.2e" % diff)
    if args.check:
        theirs = torch.tensor(json.load(open(args.check)))
        with torch.inference_mode():
            ours = torch.cat([model(*real[i]) for i in range(theirs.shape[0])])
        print("  max |difference| from the C++ runtime over %d chunks: %.2e" % (theirs.shape[0], float((ours - theirs).abs().max())))
    if args.onnx:
        ids, mask = real[0]
        torch.onnx.export(model, (ids, mask), args.onnx, input_names=["input_ids", "attention_mask"],
                          output_names=["embeddings"], opset_version=14,
                          dynamic_axes={"input_ids": {0: "batch", 1: "sequence"},
                                        "attention_mask": {0: "batch", 1: "sequence"}})
        print("exported", args.onnx)


if __name__ == "__main__":
    main()

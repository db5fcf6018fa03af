#!/usr/bin/python3
"""References for the multilingual (XLM-RoBERTa) model's tests, computed at
test time with Debian's python3-sentencepiece and python3-numpy.

  multilingual_reference.py tokenizer OUT
      trains a small unigram SentencePiece model on CORPUS into OUT/sentencepiece.bpe.model
      and writes OUT/tokens.json: the library's pieces and ids of every HELD text.
  multilingual_reference.py encoder OUT POOLING SEED PREFIX VOCAB POSITIONS
      writes a small XLM-RoBERTa model with random weights into OUT (config.json,
      model.safetensors, 1_Pooling/config.json when POOLING is "mean"; PREFIX
      "-" for none) and OUT/reference.json: identifier rows and their
      embeddings computed here in float64, and, when OUT holds a
      sentencepiece.bpe.model, texts tokenized by the library and theirs.
"""
import io
import json
import math
import os
import struct
import sys

CORPUS = [
    "The quick brown fox jumps over the lazy dog.",
    "Meeting notes from last week are in the shared folder.",
    "Le renard brun rapide saute par-dessus le chien paresseux.",
    "Les notes de la réunion de la semaine dernière sont dans le dossier partagé.",
    "Der schnelle braune Fuchs springt über den faulen Hund.",
    "Die Besprechungsnotizen der letzten Woche liegen im gemeinsamen Ordner.",
    "El rápido zorro marrón salta sobre el perro perezoso.",
    "Las notas de la reunión de la semana pasada están en la carpeta compartida.",
    "Быстрая коричневая лиса прыгает через ленивую собаку.",
    "Заметки со встречи на прошлой неделе лежат в общей папке.",
    "敏捷的棕色狐狸跳过了懒狗。",
    "上周的会议记录在共享文件夹里。",
    "素早い茶色の狐が怠け者の犬を飛び越える。",
    "先週の会議メモは共有フォルダにあります。",
    "Ο γρήγορος καφέ αλεπού πηδά πάνω από τον τεμπέλη σκύλο.",
    "Η γρήγορη αλεπού και ο σκύλος.",
    "الثعلب البني السريع يقفز فوق الكلب الكسول.",
    "ملاحظات الاجتماع في المجلد المشترك.",
    "तेज़ भूरी लोमड़ी आलसी कुत्ते के ऊपर कूदती है।",
    "Szybki brązowy lis przeskakuje nad leniwym psem.",
    "Hızlı kahverengi tilki tembel köpeğin üzerinden atlar.",
]

HELD = [
    "",
    "Notes from the meeting",
    "  leading and   repeated   spaces  ",
    "réunion partagée, semaine dernière",
    "ＦＵＬＬＷＩＤＴＨ letters and ｶﾀｶﾅ",
    "Übergrößenträger im Ordner",
    "Заметки о лисе",
    "会议记录和共享文件夹",
    "先週のメモ",
    "αλεπού σκύλος",
    "ملاحظات المجلد",
    "emoji 🦊🐕 and unseen ქართული letters",
    "tabs\tand\nnewlines",
    "Ça coûte 12,50 € — vraiment?",
]


def tokenizer(out):
    import sentencepiece as spm

    model = io.BytesIO()
    spm.SentencePieceTrainer.train(
        sentence_iterator=iter(CORPUS * 4), model_writer=model, vocab_size=400, model_type="unigram",
        character_coverage=0.995, hard_vocab_limit=False, num_threads=1, minloglevel=2)
    with open(os.path.join(out, "sentencepiece.bpe.model"), "wb") as f:
        f.write(model.getvalue())
    processor = spm.SentencePieceProcessor(model_proto=model.getvalue())
    texts = [{"text": t, "ids": processor.encode(t, out_type=int), "pieces": processor.encode(t, out_type=str)}
             for t in HELD]
    with open(os.path.join(out, "tokens.json"), "w", encoding="utf-8") as f:
        json.dump({"texts": texts, "pieceCount": processor.get_piece_size()}, f, ensure_ascii=False)


def write_safetensors(path, tensors):
    header, offset, blobs = {}, 0, []
    for name in sorted(tensors):
        data = tensors[name].astype("<f4").tobytes()
        header[name] = {"dtype": "F32", "shape": list(tensors[name].shape), "data_offsets": [offset, offset + len(data)]}
        offset += len(data)
        blobs.append(data)
    text = json.dumps(header).encode()
    with open(path, "wb") as f:
        f.write(struct.pack("<Q", len(text)) + text + b"".join(blobs))


def encoder(out, pooling, seed, prefix, V, P):
    import numpy as np

    rng = np.random.default_rng(seed)
    H, L, A, I, pad, eps = 32, 2, 4, 48, 1, 1e-5
    config = {"model_type": "xlm-roberta", "architectures": ["XLMRobertaModel"], "vocab_size": V, "hidden_size": H,
              "num_hidden_layers": L, "num_attention_heads": A, "intermediate_size": I,
              "max_position_embeddings": P, "type_vocab_size": 1, "layer_norm_eps": eps, "hidden_act": "gelu",
              "pad_token_id": pad, "bos_token_id": 0, "eos_token_id": 2}
    with open(os.path.join(out, "config.json"), "w") as f:
        json.dump(config, f)
    if pooling == "mean":
        os.makedirs(os.path.join(out, "1_Pooling"), exist_ok=True)
        with open(os.path.join(out, "1_Pooling", "config.json"), "w") as f:
            json.dump({"word_embedding_dimension": H, "pooling_mode_cls_token": False,
                       "pooling_mode_mean_tokens": True}, f)

    w = {}
    def tensor(name, *shape, scale=0.3, around=0.0):
        w[prefix + name] = (around + scale * rng.standard_normal(shape)).astype(np.float32)
        return w[prefix + name].astype(np.float64)
    def norm(name):
        return tensor(name + ".weight", H, scale=0.2, around=1.0), tensor(name + ".bias", H, scale=0.1)

    word = tensor("embeddings.word_embeddings.weight", V, H)
    position = tensor("embeddings.position_embeddings.weight", P, H)
    token_type = tensor("embeddings.token_type_embeddings.weight", 1, H)
    embedding_norm = norm("embeddings.LayerNorm")
    layers = []
    for i in range(L):
        p = "encoder.layer.%d." % i
        layer = {}
        for k in ("query", "key", "value"):
            layer[k] = (tensor(p + "attention.self.%s.weight" % k, H, H), tensor(p + "attention.self.%s.bias" % k, H))
        layer["out"] = (tensor(p + "attention.output.dense.weight", H, H), tensor(p + "attention.output.dense.bias", H))
        layer["out_norm"] = norm(p + "attention.output.LayerNorm")
        layer["up"] = (tensor(p + "intermediate.dense.weight", I, H), tensor(p + "intermediate.dense.bias", I))
        layer["down"] = (tensor(p + "output.dense.weight", H, I), tensor(p + "output.dense.bias", H))
        layer["down_norm"] = norm(p + "output.LayerNorm")
        layers.append(layer)
    tensor("pooler.dense.weight", H, H)  # present in checkpoints, unused by sentence embeddings
    tensor("pooler.dense.bias", H)
    write_safetensors(os.path.join(out, "model.safetensors"), w)

    def layer_norm(x, gamma_beta):
        mean = x.mean(-1, keepdims=True)
        var = ((x - mean) ** 2).mean(-1, keepdims=True)
        return (x - mean) / np.sqrt(var + eps) * gamma_beta[0] + gamma_beta[1]
    def linear(x, wb):
        return x @ wb[0].T + wb[1]
    erf = np.vectorize(math.erf)

    def embed(ids, mask):
        ids, mask = np.array(ids), np.array(mask)
        # XLM-R numbers unpadded tokens from pad + 1; padding sits at pad.
        positions = np.cumsum(mask) * mask + pad
        x = layer_norm(word[ids] + position[positions] + token_type[0], embedding_norm)
        bias = np.where(mask == 1, 0.0, -1e30)
        d = H // A
        for layer in layers:
            q, k, v = (linear(x, layer[n]) for n in ("query", "key", "value"))
            context = np.zeros_like(x)
            for h in range(A):
                s = slice(h * d, (h + 1) * d)
                scores = q[:, s] @ k[:, s].T / math.sqrt(d) + bias
                scores = np.exp(scores - scores.max(-1, keepdims=True))
                scores /= scores.sum(-1, keepdims=True)
                context[:, s] = scores @ v[:, s]
            x = layer_norm(linear(context, layer["out"]) + x, layer["out_norm"])
            up = linear(x, layer["up"])
            x = layer_norm(linear(0.5 * up * (1 + erf(up / math.sqrt(2))), layer["down"]) + x, layer["down_norm"])
        pooled = x[0] if pooling == "cls" else (x * mask[:, None]).sum(0) / mask.sum()
        return pooled / np.linalg.norm(pooled)

    inputs = []
    for length, padding in ((2, 0), (7, 0), (5, 4), (min(P - pad - 1, 40), 0), (1, 3)):
        ids = [0] + [int(t) for t in rng.integers(3, V, length - 1)]
        if length > 1:
            ids[-1] = 2
        inputs.append({"ids": ids + [pad] * padding, "mask": [1] * length + [0] * padding})
    reference = {"inputs": inputs, "embeddings": [embed(i["ids"], i["mask"]).tolist() for i in inputs]}
    model_path = os.path.join(out, "sentencepiece.bpe.model")
    if os.path.exists(model_path):
        import sentencepiece as spm

        processor = spm.SentencePieceProcessor(model_file=model_path)
        texts = HELD[1:8] + [" ".join(CORPUS) * 3]
        reference["texts"] = []
        for text in texts:
            # fairseq numbering: <s> 0, <pad> 1, </s> 2, <unk> 3, pieces + 1.
            pieces = [3 if i == processor.unk_id() else i + 1 for i in processor.encode(text)][:min(510, P - pad - 3)]
            ids = [0] + pieces + [2]
            reference["texts"].append({"text": text, "ids": ids, "embedding": embed(ids, [1] * len(ids)).tolist()})
    with open(os.path.join(out, "reference.json"), "w") as f:
        json.dump(reference, f)


if __name__ == "__main__":
    if sys.argv[1] == "tokenizer":
        tokenizer(sys.argv[2])
    else:
        encoder(sys.argv[2], sys.argv[3], int(sys.argv[4]), "" if sys.argv[5] == "-" else sys.argv[5],
                int(sys.argv[6]), int(sys.argv[7]))

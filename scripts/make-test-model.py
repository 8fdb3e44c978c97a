#!/usr/bin/python3
"""Generate the tiny deterministic GGUF model used by ULVO's tests.

    /usr/bin/python3 scripts/make-test-model.py --llama-src DIR --out FILE [--size large|gemma3-1b]

A 2-layer llama-architecture network (width 64, 4 heads / 2 KV heads,
feed-forward 128) with the Phi-3 tokenizer copied from the llama.cpp tree's
models/ggml-vocab-phi-3.gguf. Its answers are noise, but it loads and
generates in a fraction of a second, so tests exercise the real llama-server
path without downloading weights. Output is byte-identical on every run.

--size large: the same recipe in the shape of a model of about one billion
parameters (16 layers of width 2048, every matrix Q8_0, about 0.9 GB), which
generates at the speed of a real one: for benchmarks, built on demand.

--size gemma3-1b: the default model's architecture and shape (gemma3: 26
layers of width 1152, 4 heads / 1 KV head of 256, feed-forward 6912,
sliding-window attention of 512 on five layers in six, tied 262144-token
embedding padded from the Phi-3 vocabulary, layers Q4_0), with a chat template
that puts the system prompt into the first user turn as the real one does.
About 0.8 GB: for benchmarks, built on demand.
"""

import argparse
import os
import sys
import tempfile

SHAPES = {
    "small": {"embd": 64, "layers": 2, "heads": 4, "heads_kv": 2, "ff": 128, "quantize_all": False},
    "large": {"embd": 2048, "layers": 16, "heads": 32, "heads_kv": 8, "ff": 5632, "quantize_all": True},
    "gemma3-1b": {"embd": 1152, "layers": 26, "heads": 4, "heads_kv": 1, "head_dim": 256, "ff": 6912,
                  "vocab": 262144, "window": 512, "arch": "gemma3"},
}
N_CTX_TRAIN = 4096
SEED = 7332

# Keeps every role (system included) so tests can see the system prompt reach
# the server; the markers are Phi-3 vocabulary tokens and tokenise as such.
CHAT_TEMPLATE = (
    "{{ bos_token }}"
    "{% for message in messages %}"
    "{{ '<|' + message['role'] + '|>\\n' + message['content'] + '<|end|>\\n' }}"
    "{% endfor %}"
    "{% if add_generation_prompt %}{{ '<|assistant|>\\n' }}{% endif %}"
)

GEMMA_CHAT_TEMPLATE = (
    "{{ bos_token }}"
    "{% for message in messages %}"
    "{% if message['role'] == 'system' %}{{ '<start_of_turn>user\\n' + message['content'] + '\\n\\n' }}"
    "{% elif message['role'] == 'user' %}"
    "{% if loop.index0 == 0 or messages[loop.index0 - 1]['role'] != 'system' %}{{ '<start_of_turn>user\\n' }}{% endif %}"
    "{{ message['content'] + '<end_of_turn>\\n' }}"
    "{% else %}{{ '<start_of_turn>model\\n' + message['content'] + '<end_of_turn>\\n' }}{% endif %}"
    "{% endfor %}"
    "{% if add_generation_prompt %}{{ '<start_of_turn>model\\n' }}{% endif %}"
)

TOKENIZER_KEYS_COPIED = (
    "tokenizer.ggml.bos_token_id",
    "tokenizer.ggml.eos_token_id",
    "tokenizer.ggml.unknown_token_id",
    "tokenizer.ggml.padding_token_id",
    "tokenizer.ggml.add_bos_token",
    "tokenizer.ggml.add_eos_token",
)


def add_tokenizer(writer, vocab, chat_template):
    writer.add_tokenizer_model(vocab["model"])
    writer.add_tokenizer_pre(vocab["pre"])
    writer.add_token_list(vocab["tokens"])
    writer.add_token_scores(vocab["scores"])
    writer.add_token_types(vocab["types"])
    writer.add_bos_token_id(vocab["tokenizer.ggml.bos_token_id"])
    writer.add_eos_token_id(vocab["tokenizer.ggml.eos_token_id"])
    writer.add_unk_token_id(vocab["tokenizer.ggml.unknown_token_id"])
    writer.add_pad_token_id(vocab["tokenizer.ggml.padding_token_id"])
    writer.add_add_bos_token(vocab["tokenizer.ggml.add_bos_token"])
    writer.add_add_eos_token(vocab["tokenizer.ggml.add_eos_token"])
    writer.add_chat_template(chat_template)


def finish(writer, tmp, out_path):
    """Writes the model and puts it in place with the user's usual permissions."""
    writer.write_header_to_file()
    writer.write_kv_data_to_file()
    writer.write_tensors_to_file()
    writer.close()
    umask = os.umask(0)
    os.umask(umask)
    os.chmod(tmp, 0o666 & ~umask)  # mkstemp creates 0600
    os.replace(tmp, out_path)


def load_gguf_py(llama_src):
    path = os.path.join(llama_src, "gguf-py")
    if not os.path.isdir(os.path.join(path, "gguf")):
        sys.exit(f"make-test-model: {path}/gguf not found; --llama-src must be a llama.cpp source tree")
    sys.path.insert(0, path)
    try:
        import gguf  # noqa: F401
        import numpy  # noqa: F401
    except ImportError as e:
        sys.exit(f"make-test-model: {e}; run with /usr/bin/python3 and install python3-numpy python3-yaml python3-tqdm")
    return sys.modules["gguf"]


def read_vocab(gguf, path):
    reader = gguf.GGUFReader(path)
    fields = reader.fields

    def value(key):
        if key not in fields:
            sys.exit(f"make-test-model: {path} lacks {key}")
        return fields[key].contents()

    vocab = {
        "model": value("tokenizer.ggml.model"),
        "pre": value("tokenizer.ggml.pre"),
        "tokens": value("tokenizer.ggml.tokens"),
        "scores": value("tokenizer.ggml.scores"),
        "types": value("tokenizer.ggml.token_type"),
    }
    for key in TOKENIZER_KEYS_COPIED:
        vocab[key] = value(key)
    return vocab


def build_weights(np, n_vocab, normal_mask, shape):
    N_EMBD, N_LAYER, N_HEAD, N_HEAD_KV, N_FF = (shape[k] for k in ("embd", "layers", "heads", "heads_kv", "ff"))
    rng = np.random.default_rng(SEED)

    def normal(shape, std):
        return (rng.standard_normal(shape) * std).astype(np.float32)

    w = {
        "token_embd.weight": normal((n_vocab, N_EMBD), 0.5),
        "output_norm.weight": np.ones(N_EMBD, dtype=np.float32),
    }
    # Only plain-text tokens get output weights; control, byte and added
    # tokens (end-of-text, <|end|>, role markers...) keep a zero row, so their
    # logit is 0 while the best of ~32k random rows is far above it. Replies
    # therefore never stop early or come back empty, and are valid UTF-8.
    out = normal((n_vocab, N_EMBD), 0.3)
    out[~normal_mask] = 0.0
    w["output.weight"] = out

    head_dim = N_EMBD // N_HEAD
    for i in range(N_LAYER):
        p = f"blk.{i}."
        w[p + "attn_norm.weight"] = np.ones(N_EMBD, dtype=np.float32)
        w[p + "attn_q.weight"] = normal((N_HEAD * head_dim, N_EMBD), 0.1)
        w[p + "attn_k.weight"] = normal((N_HEAD_KV * head_dim, N_EMBD), 0.1)
        w[p + "attn_v.weight"] = normal((N_HEAD_KV * head_dim, N_EMBD), 0.1)
        w[p + "attn_output.weight"] = normal((N_EMBD, N_HEAD * head_dim), 0.1)
        w[p + "ffn_norm.weight"] = np.ones(N_EMBD, dtype=np.float32)
        w[p + "ffn_gate.weight"] = normal((N_FF, N_EMBD), 0.1)
        w[p + "ffn_up.weight"] = normal((N_FF, N_EMBD), 0.1)
        w[p + "ffn_down.weight"] = normal((N_EMBD, N_FF), 0.1)
    return w


def write_model(gguf, np, vocab, out_path, shape):
    N_EMBD, N_LAYER, N_HEAD, N_HEAD_KV, N_FF = (shape[k] for k in ("embd", "layers", "heads", "heads_kv", "ff"))
    n_vocab = len(vocab["tokens"])
    types = np.asarray(vocab["types"], dtype=np.int32)
    normal_mask = types == int(gguf.TokenType.NORMAL)
    weights = build_weights(np, n_vocab, normal_mask, shape)

    out_dir = os.path.dirname(os.path.abspath(out_path))
    os.makedirs(out_dir, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix=".test-model.", suffix=".part", dir=out_dir)
    os.close(fd)
    try:
        writer = gguf.GGUFWriter(tmp, "llama")
        writer.add_name("ulvo-test")
        writer.add_context_length(N_CTX_TRAIN)
        writer.add_embedding_length(N_EMBD)
        writer.add_block_count(N_LAYER)
        writer.add_feed_forward_length(N_FF)
        writer.add_head_count(N_HEAD)
        writer.add_head_count_kv(N_HEAD_KV)
        writer.add_rope_dimension_count(N_EMBD // N_HEAD)
        writer.add_rope_freq_base(10000.0)
        writer.add_layer_norm_rms_eps(1e-5)
        writer.add_vocab_size(n_vocab)
        writer.add_file_type(gguf.LlamaFileType.MOSTLY_Q8_0)
        writer.add_quantization_version(gguf.GGML_QUANT_VERSION)

        add_tokenizer(writer, vocab, CHAT_TEMPLATE)

        q8 = gguf.GGMLQuantizationType.Q8_0
        for name, data in weights.items():
            if name in ("token_embd.weight", "output.weight") or (shape["quantize_all"] and data.ndim == 2):
                writer.add_tensor(name, gguf.quants.quantize(data, q8), raw_dtype=q8)
            else:
                writer.add_tensor(name, data)

        finish(writer, tmp, out_path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def pad_vocab(gguf, vocab, size):
    """Plain tokens up to the real vocabulary's size, so the output layer and the tokenizer's tables cost
    what they do there (a real vocabulary is almost all plain tokens)."""
    extra = size - len(vocab["tokens"])
    vocab = dict(vocab)
    vocab["tokens"] = list(vocab["tokens"]) + [f"\u2581pad{i}" for i in range(extra)]
    vocab["scores"] = list(vocab["scores"]) + [0.0] * extra
    vocab["types"] = list(vocab["types"]) + [int(gguf.TokenType.NORMAL)] * extra
    return vocab


def write_gemma_model(gguf, np, vocab, out_path, shape):
    vocab = pad_vocab(gguf, vocab, shape["vocab"])
    n_vocab = len(vocab["tokens"])
    embd, ff, hd = shape["embd"], shape["ff"], shape["head_dim"]
    heads, heads_kv = shape["heads"], shape["heads_kv"]
    rng = np.random.default_rng(SEED)

    def normal(rows, cols, std):
        return (rng.standard_normal((rows, cols), dtype=np.float32) * std).astype(np.float32)

    def ones(n):
        return np.ones(n, dtype=np.float32)

    q8, q4 = gguf.GGMLQuantizationType.Q8_0, gguf.GGMLQuantizationType.Q4_0
    out_dir = os.path.dirname(os.path.abspath(out_path))
    os.makedirs(out_dir, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix=".test-model.", suffix=".part", dir=out_dir)
    os.close(fd)
    try:
        writer = gguf.GGUFWriter(tmp, shape["arch"])
        writer.add_name("ulvo-test-gemma3")
        writer.add_context_length(32768)
        writer.add_embedding_length(embd)
        writer.add_block_count(shape["layers"])
        writer.add_feed_forward_length(ff)
        writer.add_head_count(heads)
        writer.add_head_count_kv(heads_kv)
        writer.add_key_length(hd)
        writer.add_value_length(hd)
        writer.add_rope_freq_base(1000000.0)
        writer.add_layer_norm_rms_eps(1e-6)
        writer.add_sliding_window(shape["window"])
        writer.add_vocab_size(n_vocab)
        writer.add_file_type(gguf.LlamaFileType.MOSTLY_Q4_0)
        writer.add_quantization_version(gguf.GGML_QUANT_VERSION)
        add_tokenizer(writer, vocab, GEMMA_CHAT_TEMPLATE)

        # Tied embedding: rows of tokens other than plain text stay zero, so replies never stop early.
        embedding = normal(n_vocab, embd, 0.05)
        embedding[np.asarray(vocab["types"], dtype=np.int32) != int(gguf.TokenType.NORMAL)] = 0.0
        writer.add_tensor("token_embd.weight", gguf.quants.quantize(embedding, q8), raw_dtype=q8)
        del embedding
        writer.add_tensor("output_norm.weight", ones(embd))
        for i in range(shape["layers"]):
            p = f"blk.{i}."
            matrices = {
                "attn_q.weight": (heads * hd, embd),
                "attn_k.weight": (heads_kv * hd, embd),
                "attn_v.weight": (heads_kv * hd, embd),
                "attn_output.weight": (embd, heads * hd),
                "ffn_gate.weight": (ff, embd),
                "ffn_up.weight": (ff, embd),
                "ffn_down.weight": (embd, ff),
            }
            for name, (rows, cols) in matrices.items():
                writer.add_tensor(p + name, gguf.quants.quantize(normal(rows, cols, 0.05), q4), raw_dtype=q4)
            for name in ("attn_norm", "post_attention_norm", "ffn_norm", "post_ffw_norm"):
                writer.add_tensor(p + name + ".weight", ones(embd))
            for name in ("attn_q_norm", "attn_k_norm"):
                writer.add_tensor(p + name + ".weight", ones(hd))

        finish(writer, tmp, out_path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--llama-src", required=True, help="llama.cpp source tree (provides gguf-py and the vocab)")
    ap.add_argument("--out", required=True, help="GGUF file to write")
    ap.add_argument("--size", choices=sorted(SHAPES), default="small", help="the tests' tiny model, or a benchmark's")
    args = ap.parse_args()

    gguf = load_gguf_py(args.llama_src)
    import numpy as np

    vocab_path = os.path.join(args.llama_src, "models", "ggml-vocab-phi-3.gguf")
    if not os.path.isfile(vocab_path):
        sys.exit(f"make-test-model: {vocab_path} not found")
    shape = SHAPES[args.size]
    write = write_gemma_model if shape.get("arch") == "gemma3" else write_model
    write(gguf, np, read_vocab(gguf, vocab_path), args.out, shape)


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""Builds the tokenizer benchmark corpora from text already on a Debian system.

Each output file holds texts separated by NUL bytes, each about 4 KiB (one encode call):
  english.txt  licence texts and package copyright files (prose, some lists)
  code.txt     C++ standard library headers (identifiers, punctuation, indentation)
  chat.txt     chat prompts as the engine renders them: markers, 64 image tokens per image,
               prose from english.txt
Deterministic: files are read in sorted order. Only valid UTF-8 without NULs is kept.

  tokenizer_corpus.py OUT_DIR [MIB_PER_CORPUS]
"""
import glob
import os
import sys

CHUNK_BYTES = 4096


def read_texts(patterns, limit):
    out, total = [], 0
    for pattern in patterns:
        for path in sorted(glob.glob(pattern)):
            try:
                with open(path, "rb") as f:
                    data = f.read()
                text = data.decode("utf-8")
            except (OSError, UnicodeDecodeError):
                continue
            if "\0" in text or not text.strip():
                continue
            out.append(text)
            total += len(data)
            if total >= limit:
                return out
    return out


def chunks(texts, limit):
    """Paragraph-aligned texts of about CHUNK_BYTES each, up to `limit` bytes in all."""
    out, current, total = [], "", 0
    for text in texts:
        for para in text.split("\n\n"):
            piece = para + "\n\n"
            if current and len((current + piece).encode()) > CHUNK_BYTES:
                out.append(current)
                total += len(current.encode())
                current = ""
                if total >= limit:
                    return out
            current += piece
    if current:
        out.append(current)
    return out


def chat_prompts(paragraphs):
    image = "<fake_token_around_image><global-img>" + "<image>" * 64 + "<fake_token_around_image>"
    out = []
    for i, para in enumerate(paragraphs):
        user = ("User:" + image + para) if i % 3 == 0 else ("User: " + para)
        out.append("<|im_start|>System: Answer briefly.<end_of_utterance>\n" + user +
                   "<end_of_utterance>\nAssistant:")
    return out


def main():
    out_dir = sys.argv[1]
    limit = int(float(sys.argv[2]) * 1048576) if len(sys.argv) > 2 else 2 * 1048576
    os.makedirs(out_dir, exist_ok=True)
    english = chunks(read_texts(["/usr/share/common-licenses/*", "/usr/share/doc/*/copyright"],
                                limit * 2), limit)
    code = chunks(read_texts(["/usr/include/c++/*/bits/*.h", "/usr/include/c++/*/*"], limit * 2),
                  limit)
    chat = chat_prompts(english[: max(1, len(english) // 2)])
    for name, texts in (("english", english), ("code", code), ("chat", chat)):
        with open(os.path.join(out_dir, name + ".txt"), "wb") as f:
            f.write("\0".join(texts).encode("utf-8"))


if __name__ == "__main__":
    main()

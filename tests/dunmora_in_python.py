"""The embeddings client's local operations written plainly in Python: the
reference that the tests and the benchmark hold the native ones against."""

import math


def plain_cosine(a, b):
    """Cosine similarity, summed in order; 0.0 when either vector is zero."""
    dot = squares1 = squares2 = 0.0
    for x, y in zip(a, b):
        dot, squares1, squares2 = dot + x * y, squares1 + x * x, squares2 + y * y
    norm1, norm2 = math.sqrt(squares1), math.sqrt(squares2)
    return 0.0 if norm1 == 0 or norm2 == 0 else dot / (norm1 * norm2)


def plain_chunks(text, size, overlap):
    """The chunking rule: windows of `size` characters that end after the last
    "。", line break or space inside them, each starting `overlap` characters
    before the previous end (always at least one character further)."""
    if len(text) <= size:
        return [text]
    chunks, start = [], 0
    while start < len(text):
        end = start + size
        if end < len(text):
            for mark in ("。", "\n", " "):
                at = text.rfind(mark, start, end)
                if at > start:
                    end = at + 1
                    break
        chunks.append(text[start:end])
        if end >= len(text):
            break
        start = max(start + 1, end - overlap)
    return chunks

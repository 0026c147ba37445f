"""Word scoring shared by the benches' measuring scripts."""
import re


def words(text):
    """The lower-case words of `text`, as references and transcripts are compared."""
    return re.findall(r"[\w']+", text.lower())


def edits(a, b):
    """Word edits (substitutions, insertions, deletions) that turn `a` into `b`."""
    row = list(range(len(b) + 1))
    for i in range(1, len(a) + 1):
        diag, row[0] = row[0], i
        for j in range(1, len(b) + 1):
            up = row[j]
            row[j] = min(row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] != b[j - 1]))
            diag = up
    return row[len(b)]

"""Text tables, as the bench prints them and readme.txt carries the user
guide's: a header, a rule under it, then the rows, each column as wide as
its widest cell, two spaces apart, no trailing blanks."""


def layout(header, rows):
    """The table's lines; any cell is shown as str() shows it."""
    lines = [[str(cell) for cell in row] for row in [header] + rows]
    widths = [max(len(row[i]) for row in lines) for i in range(len(header))]
    lines.insert(1, ["-" * w for w in widths])
    return ["  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip() for row in lines]

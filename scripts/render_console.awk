# Console bytes as a terminal shows them once they are all written: a
# carriage return goes back to the start of the line and what follows
# overwrites it, a bell sounds and shows nothing, every line ends with a line
# feed (the last one too). Run in the C locale, to see bytes:
#
#   LC_ALL=C awk -v utf8=1 -f scripts/render_console.awk console.bytes
#
# utf8=1: the bytes are UTF-8, and a character of three bytes from U+1100 on
# (Japanese, the full-width forms) takes two columns, except the half-width
# katakana (U+FF61 to U+FF9F). utf8=0: CP932, where a character takes as
# many columns as it has bytes.
BEGIN {
    for (i = 0; i < 256; i++) code[sprintf("%c", i)] = i
}

# Writes character c, w columns wide, at the cursor. A wide character that
# is partly overwritten leaves a blank in its other half, as terminals do.
function put(c, w) {
    if (width[col] == 0 && col > 0 && col < end) { text[col - 1] = " "; width[col - 1] = 1 }
    if (width[col] == 2 && w == 1) { text[col + 1] = " "; width[col + 1] = 1 }
    if (w == 2 && width[col + 1] == 2) { text[col + 2] = " "; width[col + 2] = 1 }
    text[col] = c
    width[col] = w
    if (w == 2) { text[col + 1] = ""; width[col + 1] = 0 }
    col += w
    if (col > end) end = col
}

# The length of the character that starts with byte b, and its width.
function size(b) { return !utf8 ? 1 : b >= 240 ? 4 : b >= 224 ? 3 : b >= 192 ? 2 : 1 }

{
    col = 0; end = 0
    split("", text); split("", width)
    n = length($0)
    for (i = 1; i <= n; i++) {
        c = substr($0, i, 1)
        b = code[c]
        if (c == "\r") { col = 0; continue }
        if (c == "\a") continue
        if (!utf8 && ((b >= 129 && b <= 159) || (b >= 224 && b <= 252)) && i < n) {
            put(substr($0, i, 2), 2); i++; continue
        }
        k = size(b)
        if (k == 1) { put(c, 1); continue }
        ch = substr($0, i, k)
        wide = 0
        if (k == 3) {
            b2 = code[substr($0, i + 1, 1)]
            b3 = code[substr($0, i + 2, 1)]
            cp = (b - 224) * 4096 + (b2 - 128) * 64 + (b3 - 128)
            wide = cp >= 4352 && !(cp >= 65377 && cp <= 65439)
        }
        put(ch, wide ? 2 : 1)
        i += k - 1
    }
    line = ""
    for (j = 0; j < end; j++) if (width[j] != 0) line = line (j in text ? text[j] : " ")
    print line
}

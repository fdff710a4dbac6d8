#!/usr/bin/env python3
"""Generate the reference workload inputs (W1/W2 page template, W5 multipart
body) deterministically (by default into the folder of this script).  Standard library only.

Usage: python3 gen_inputs.py [OUTDIR]      (default: the folder of this script)

Everything is derived from fixed seeds, so two runs produce byte-identical
files (check with the sha256 list written to OUTDIR/MANIFEST).  W3, W4 and W6
buffers are generated inside the benchmark programs (see README.md).
"""
import hashlib
import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = sys.argv[1] if len(sys.argv) > 1 else HERE

SEED_W1 = 20240601
SEED_W5 = 20240602

# ----------------------------------------------------------------------------
# W1 / W2: the page template
# ----------------------------------------------------------------------------
rng = random.Random(SEED_W1)
PLAIN = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789     "
SPECIAL = '<>&"'


def make_value():
    """10..40 characters; about 60% of values carry 1..3 of < > & "."""
    n = rng.randint(10, 40)
    chars = [rng.choice(PLAIN) for _ in range(n)]
    k = rng.choice([0, 0, 1, 1, 2, 3])
    for pos in rng.sample(range(n), k):
        chars[pos] = rng.choice(SPECIAL)
    return "".join(chars)


def html_encode(s):
    # The encoding every engine is asked for: & < > " (no apostrophes occur).
    return (s.replace("&", "&amp;").replace("<", "&lt;")
             .replace(">", "&gt;").replace('"', "&quot;"))


WORDS = ("lorem ipsum dolor sit amet consectetur adipiscing elit sed do "
         "eiusmod tempor incididunt ut labore et dolore magna aliqua enim ad "
         "minim veniam quis nostrud exercitation ullamco laboris nisi aliquip "
         "ex ea commodo consequat duis aute irure in reprehenderit voluptate "
         "velit esse cillum fugiat nulla pariatur excepteur sint occaecat "
         "cupidatat non proident sunt culpa qui officia deserunt mollit anim "
         "id est laborum").split()


def words(n):
    return " ".join(rng.choice(WORDS) for _ in range(n))


# 60 top-level variables: v01..v60.  40 escaped ("E"), 20 raw ("R"),
# interleaved in a fixed pseudo-random order.
kinds = ["E"] * 40 + ["R"] * 20
rng.shuffle(kinds)
VARS = []  # (name, kind, value)
for i, k in enumerate(kinds, 1):
    VARS.append(("v%02d" % i, k, make_value()))
ROWS = [{"a": make_value(), "b": make_value(), "c": make_value()}
        for _ in range(20)]

# The page is a list of segments:
#   ("lit", text) | ("var", index into VARS) | ("rows",)
seg = []
_vi = [0]


def lit(t):
    seg.append(("lit", t))


def var():
    seg.append(("var", _vi[0]))
    _vi[0] += 1


lit('<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n<title>')
var()
lit('</title>\n<meta name="description" content="')
var()
lit('">\n<meta name="keywords" content="')
var()
lit('">\n<link rel="stylesheet" href="/static/site.css">\n<style>\n'
    'body { font-family: Helvetica, Arial, sans-serif; margin: 0; padding: 0; color: #222; background: #fafafa; }\n'
    'header.site { display: flex; justify-content: space-between; align-items: center; padding: 8px 16px; background: #234; color: #fff; }\n'
    'nav ul { list-style: none; margin: 0; padding: 0; display: flex; gap: 12px; }\n'
    'table.orders { border-collapse: collapse; width: 100%; margin: 12px 0; }\n'
    'table.orders td, table.orders th { border: 1px solid #ccc; padding: 4px 8px; text-align: left; }\n'
    'form.account label { display: block; margin-top: 6px; font-weight: bold; }\n'
    'form.account input { width: 24em; padding: 3px 4px; border: 1px solid #999; border-radius: 3px; }\n'
    'aside.related { float: right; width: 30%; margin-left: 16px; padding: 8px; border-left: 3px solid #ddd; }\n'
    'footer { clear: both; padding: 12px 16px; font-size: 85%; color: #666; border-top: 1px solid #ddd; }\n'
    '.notice { padding: 6px 10px; background: #ffe; border: 1px solid #ec6; margin: 8px 0; }\n'
    '</style>\n</head>\n<body>\n<header class="site">\n<div class="brand">')
var()
lit('</div>\n<nav>\n<ul>\n')
for path in ("home", "catalog", "orders", "account", "help", "contact"):
    lit('<li><a href="/%s" title="%s">' % (path, path.capitalize()))
    var()
    lit("</a></li>\n")
lit('</ul>\n</nav>\n</header>\n<main>\n<section class="intro">\n<h1>')
var()
lit('</h1>\n<p class="lead">')
var()
lit(" %s " % words(12))
var()
lit('.</p>\n<div class="notice">')
var()
lit("</div>\n")
for _ in range(6):
    lit("<p>%s " % words(16))
    var()
    lit(" %s " % words(14))
    var()
    lit(" %s.</p>\n" % words(10))
lit('<p class="small">%s.</p>\n' % words(55))
lit('</section>\n<form class="account" method="post" action="/account/update">\n')
for i, field in enumerate(("name", "email", "phone", "street", "city",
                           "zip", "country", "company", "website", "note"), 1):
    lit('<label for="f%d">%s</label><input id="f%d" name="%s" type="text" value="'
        % (i, field.capitalize(), i, field))
    var()
    lit('">\n')
lit('<button type="submit" name="c" value="save">Save</button>\n</form>\n'
    '<table class="orders">\n<thead><tr><th>Item</th><th>Quantity</th><th>Note</th></tr></thead>\n<tbody>\n')
seg.append(("rows",))
lit('</tbody>\n</table>\n<aside class="related">\n<h2>')
var()
lit("</h2>\n<ul>\n")
for _ in range(8):
    lit('<li class="item">')
    var()
    lit(" &middot; ")
    var()
    lit("</li>\n")
lit("</ul>\n</aside>\n</main>\n<footer>\n<p>")
while _vi[0] < len(VARS) - 1:
    var()
    lit(" | %s | " % words(3))
var()
lit("</p>\n<p>%s.</p>\n</footer>\n</body>\n</html>\n" % words(14))
assert _vi[0] == len(VARS), _vi[0]

ROW_CELLS = ["a", "b", "c"]  # one row: <tr><td>a</td><td>b</td><td>c</td></tr>\n


def row_body(fmt_var):
    return ("<tr><td>" + fmt_var("a") + "</td><td>" + fmt_var("b")
            + "</td><td>" + fmt_var("c") + "</td></tr>\n")


FORBIDDEN_IN_LITERALS = ("{{", "}}", "{%", "%}", "{#", "#}", "(#", "#)", "^")
for s in seg:
    if s[0] == "lit":
        for f in FORBIDDEN_IN_LITERALS:
            assert f not in s[1], (f, s[1])


def render_template(fmt_var, fmt_rows):
    out = []
    for s in seg:
        if s[0] == "lit":
            out.append(s[1])
        elif s[0] == "var":
            name, kind, _ = VARS[s[1]]
            out.append(fmt_var(name, kind))
        else:
            out.append(fmt_rows())
    return "".join(out)


syntaxes = {
    # ctemplate: {{X:h}} html-escapes, {{X}} is raw (manual escaping mode,
    # the template is loaded with DO_NOT_STRIP).
    "w1_page.ctemplate.tpl": (
        lambda n, k: "{{%s:h}}" % n if k == "E" else "{{%s}}" % n,
        lambda: "{{#rows}}" + row_body(lambda f: "{{%s:h}}" % f) + "{{/rows}}"),
    # Mustache: {{X}} escapes, {{{X}}} is raw.  Section tags are inline (not
    # standalone lines) so no whitespace is swallowed.
    "w1_page.mustache": (
        lambda n, k: "{{%s}}" % n if k == "E" else "{{{%s}}}" % n,
        lambda: "{{#rows}}" + row_body(lambda f: "{{%s}}" % f) + "{{/rows}}"),
    # Jinja2 with autoescape off: {{ X|e }} escapes, {{ X }} is raw.
    "w1_page.jinja2.html": (
        lambda n, k: "{{ %s|e }}" % n if k == "E" else "{{ %s }}" % n,
        lambda: "{% for r in rows %}" + row_body(lambda f: "{{ r.%s|e }}" % f)
        + "{% endfor %}"),
    # The project's own mark syntax, page-controller types:
    # ";" = script value, HTML-encoded; ":" = same, unencoded.  The mark
    # language has no loop, so the 20 rows are unrolled into 60 marks named
    # r01_a .. r20_c.  Expanding it gives the same bytes as the others.
    "w1_page.marks.txt": (
        lambda n, k: "(#;%s#)" % n if k == "E" else "(#:%s#)" % n,
        lambda: "".join(row_body(lambda f, i=i: "(#;r%02d_%s#)" % (i, f))
                        for i in range(1, 21))),
}

os.makedirs(OUT, exist_ok=True)
written = []


def write(name, data):
    if isinstance(data, str):
        data = data.encode("utf-8")
    with open(os.path.join(OUT, name), "wb") as fh:
        fh.write(data)
    written.append((name, data))


for fname, (fv, fr) in syntaxes.items():
    write(fname, render_template(fv, fr))
# Row body alone in the project's syntax (for a child-template variant).
write("w1_row.marks.txt", row_body(lambda f: "(#;%s#)" % f))

vals = {n: v for n, _, v in VARS}
expected = render_template(
    lambda n, k: html_encode(vals[n]) if k == "E" else vals[n],
    lambda: "".join(row_body(lambda f, r=r: html_encode(r[f])) for r in ROWS))
write("w1_expected.html", expected)

# Model as TSV (no tabs or newlines occur in values):
#   var <TAB> name <TAB> E|R <TAB> value
#   row <TAB> index(1..20) <TAB> field(a|b|c) <TAB> value
lines = ["var\t%s\t%s\t%s" % (n, k, v) for n, k, v in VARS]
for i, r in enumerate(ROWS, 1):
    for f in ROW_CELLS:
        lines.append("row\t%d\t%s\t%s" % (i, f, r[f]))
write("w1_model.tsv", "\n".join(lines) + "\n")

# ----------------------------------------------------------------------------
# W5: multipart/form-data body
# ----------------------------------------------------------------------------
rng5 = random.Random(SEED_W5)
ALNUM = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
boundary = "----PeerBenchFormBoundary" + "".join(rng5.choice(ALNUM) for _ in range(16))
FILE2_SIZE = 10 * 1024 * 1024
text_fields = [
    ("user", "jdoe_%d" % rng5.randint(1000, 9999)),
    ("email", "john.doe@example.org"),
    ("title", "Quarterly report & <draft> \"v2\""),
    ("comment", " ".join(rng5.choice(WORDS) for _ in range(30))),
    ("csrf", "".join(rng5.choice(ALNUM) for _ in range(40))),
]
file1 = ("".join(rng5.choice(ALNUM + " \n") for _ in range(1024))).encode()
file2 = rng5.randbytes(FILE2_SIZE)
parts = []  # (name, filename or "", content-type or "", content bytes)
for n, v in text_fields[:3]:
    parts.append((n, "", "", v.encode()))
parts.append(("notes", "notes.txt", "text/plain", file1))
parts.append(("blob", "blob.bin", "application/octet-stream", file2))
for n, v in text_fields[3:]:
    parts.append((n, "", "", v.encode()))

body = bytearray()
for name, fn, ct, content in parts:
    body += b"--" + boundary.encode() + b"\r\n"
    if fn:
        body += ('Content-Disposition: form-data; name="%s"; filename="%s"\r\n'
                 'Content-Type: %s\r\n\r\n' % (name, fn, ct)).encode()
    else:
        body += ('Content-Disposition: form-data; name="%s"\r\n\r\n' % name).encode()
    body += content + b"\r\n"
body += b"--" + boundary.encode() + b"--\r\n"
body = bytes(body)
marker = b"--" + boundary.encode()
assert body.count(marker) == len(parts) + 1, "boundary occurs inside content"
write("w5_body.bin", body)


# Meta as TSV:  boundary <TAB> value
#               part <TAB> name <TAB> filename <TAB> content-type <TAB> size <TAB> sha256
meta = ["boundary\t" + boundary,
        "content_type\tmultipart/form-data; boundary=" + boundary,
        "body_size\t%d" % len(body)]
for name, fn, ct, content in parts:
    meta.append("part\t%s\t%s\t%s\t%d\t%s" % (name, fn, ct, len(content),
                                              hashlib.sha256(content).hexdigest()))
write("w5_meta.tsv", "\n".join(meta) + "\n")

# ----------------------------------------------------------------------------
# W7 (extra): escaper inputs.  A 32-character value with 2 specials, and a
# 1 MiB text of letters, digits and spaces with about 5% of < > & ".
# ----------------------------------------------------------------------------
rng7 = random.Random(20240607)
write("w7_short.txt", "Fish & Chips <b>best</b> in town")
PLAIN7 = "abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789"
w7 = []
for x in rng7.randbytes(1 << 20):
    w7.append('<>&"'[x & 3] if x < 13 else PLAIN7[x % 64])
write("w7_text.txt", "".join(w7))

with open(os.path.join(OUT, "MANIFEST"), "w") as fh:
    for name, data in written:
        fh.write("%s  %d  %s\n" % (hashlib.sha256(data).hexdigest(), len(data), name))
print("wrote %d files to %s" % (len(written), OUT))
for name, data in written:
    print("  %-24s %9d bytes" % (name, len(data)))

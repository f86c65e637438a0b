#!/usr/bin/env bash
# scripts/legend end to end, with the built program: a legend in each format
# from a style of each language; the SVG legend rasterised by rsvg-convert
# and the PNG legend decoded; bad input refused with one line and nothing on
# standard output.
#
#   legend_command_line.sh LEGEND SWATCH
set -uo pipefail
legend=$1
export SWATCH_PROGRAM=$2
styles=$(cd "$(dirname "$0")/data/styles" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() { # WHAT CONDITION...
  local what=$1; shift
  if "$@"; then echo "PASS: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}

# The colour of a PNG's pixel, as RRGGBB, then the PNG's width and height.
pixel() { # FILE X Y
  python3 "$(dirname "$0")/support/support.py" pixel "$@"
}

# JSON from SLD: the rows of GeoServer's pophatch.sld.
"$legend" "$styles/pophatch.sld" >"$work/out.json" 2>"$work/err"
check "json: four rows, the first a hatch 15 apart" \
  [ "$(jq -r '[(.rows | length | tostring), .rows[0].swatch, .title] | join(" ")' "$work/out.json")" = \
    "4 /20/20/170/170/170?LineType=Hatch&HatchSpacing=15 Population in the United States" ]

# HTML from QGIS, linked to a program elsewhere, and with the swatches inside.
"$legend" --format html --base https://maps.example.org/cgi-bin/swatch "$styles/line_pattern_30_degree.qml" >"$work/out.html"
check "html: linked to the program given, with 2x and 3x" \
  grep -q 'src="https://maps.example.org/cgi-bin/swatch/20/20/88/139/7?LineType=Hatch&amp;LineWidth=11&amp;HatchSpacing=15" srcset=".* 2x, .* 3x"' "$work/out.html"
"$legend" --format html --embed --size 30x15 - <"$styles/line_pattern_30_degree.qml" >"$work/embed.html"
check "html --embed: the swatches inside, at 1x and 2x, no program needed" \
  bash -c "grep -q 'src=\"data:image/png;base64,[^\"]*\" srcset=\"data:image/png;base64,[^ ]* 1x, data:image/png;base64,[^ ]* 2x\" width=\"30\" height=\"15\"' '$work/embed.html' && ! grep -q cgi-bin '$work/embed.html'"

# SVG from MapLibre, rasterised by librsvg: the first swatch (national park,
# d2edae at 75% over the style's dedede background: D5E9BA) in the swatch
# column.
"$legend" --format svg "$styles/basic-v9.json" >"$work/out.svg"
check "svg: a document with a swatch a row" [ "$(grep -c '<svg x=' "$work/out.svg")" = 8 ]
rsvg-convert "$work/out.svg" >"$work/svg.png"
read -r colour _ <<<"$(pixel "$work/svg.png" 22 42)"
check "svg: rasterised, the first swatch is national park green ($colour)" [ "$colour" = D5E9BA ]

# PNG at 3 device pixels a CSS pixel: three times the SVG's size.
"$legend" --format png --scale 3 "$styles/basic-v9.json" >"$work/out.png"
read -r colour w h <<<"$(pixel "$work/out.png" 66 126)"
svg_w=$(sed -n 's/^<svg [^>]*width="\([0-9]*\)" height="\([0-9]*\)".*/\1/p' "$work/out.svg" | head -1)
check "png: three times the SVG's width ($w for $svg_w)" [ "$w" = $((3 * svg_w)) ]
check "png: the first swatch decoded ($colour)" [ "$colour" = D5E9BA ]

# Print: a 0.5 px black line is drawn four times denser and scaled into its
# box, so at 4 device pixels a CSS pixel it is 2 rows of black (at 1x it is
# one pixel of the renderer's ink, which enlarged would be 4 grey rows).
printf '%s' '{"version": 8, "sources": {}, "layers": [{"id": "half", "type": "line", "source": "s",
  "paint": {"line-width": 0.5, "line-color": "#000000"}}]}' >"$work/half.json"
"$legend" --format png --scale 4 --background FFFFFF "$work/half.json" >"$work/half.png"
read -r x y <<<"$(grep -o '<svg x="[0-9]*" y="[0-9]*"' <("$legend" --format svg "$work/half.json") | sed 's/[^0-9 ]//g')"
column=""
for dy in 37 38 39 40 41 42; do read -r colour _ <<<"$(pixel "$work/half.png" $((4 * x + 40)) $((4 * y + dy)))"; column="$column $colour"; done
check "png: a 0.5 px line prints half a pixel wide ($column)" [ "$column" = " FFFFFF FFFFFF 000000 000000 FFFFFF FFFFFF" ]

# A stack: Positron's tunnel, a 7.5 px casing under its 5 px centre line
# (the 8th swatch drawn, from the style at 4x: 30 and 20 device pixels), on
# the style's background; rasterised at 4x, rows 16, 27 and 40 of its box.
"$legend" --format svg "$styles/positron-excerpt.json" >"$work/stack.svg"
rsvg-convert --zoom 4 "$work/stack.svg" >"$work/stack.png"
read -r x y <<<"$(grep -o '<svg x="[0-9]*" y="[0-9]*"' "$work/stack.svg" | sed -n '8s/[^0-9 ]//g; 8p')"
stack=""
for dy in 16 27 40; do read -r colour _ <<<"$(pixel "$work/stack.png" $((4 * x + 40)) $((4 * y + dy)))"; stack="$stack $colour"; done
check "svg: a stack in one box, background, casing, centre line ($stack)" [ "$stack" = " F2F3F0 D5D5D5 EAEAEA" ]

# Print: a 90-row legend on A4 paper in two columns, as PDF. Every row is on
# a page, no word leaves its column, and each one-line label's middle (half
# way between its baseline and the top of its capitals) is within a pixel of
# its swatch's, measured on the page drawn at 96 dpi.
if command -v pdftotext >/dev/null && command -v pdftoppm >/dev/null; then
  node -e '
    const layers = Array.from({length: 90}, (_, i) => ({
      id: `Road ${i}` + (i % 7 ? "" : " Of A Rather Long Name That Wraps In Its Column"), source: "s", filter: ["==", "n", i],
      ...[{type: "fill", paint: {"fill-color": "#3366aa"}}, {type: "line", paint: {"line-width": 3}},
          {type: "circle", paint: {"circle-radius": 4}}][i % 3]}));
    process.stdout.write(JSON.stringify({version: 8, name: "Ninety", sources: {}, layers}));' >"$work/ninety.json"
  "$legend" --format pdf --page a4 --columns 2 "$work/ninety.json" >"$work/ninety.pdf"
  pdftotext -bbox "$work/ninety.pdf" "$work/ninety.html"
  pdftoppm -r 96 -png -f 1 -l 1 "$work/ninety.pdf" "$work/page"
  report=$(python3 - "$work/ninety.html" "$work"/page-*1.png "$(dirname "$0")/support" <<'PY'
import re, sys
sys.path.insert(0, sys.argv[3])
from support import decode_png
text = open(sys.argv[1]).read()
pages = text.split("<page ")[1:]
words = [[(float(a), float(b), float(c), float(d), t) for a, b, c, d, t in
          re.findall(r'xMin="([\d.]+)" yMin="([\d.]+)" xMax="([\d.]+)" yMax="([\d.]+)">([^<]*)<', p)] for p in pages]
# A4, 15 mm margins, two columns 18 pt (24 px) apart, in points.
margin, width = 15 * 72 / 25.4, (595.276 - 2 * 15 * 72 / 25.4 - 18) / 2
outside = sum(1 for page in words for x0, _, x1, _, _ in page
              if x1 > (margin + width if x0 < 297.6 else 595.276 - margin) + 0.5)
rows = {int(b[4]) for page in words for a, b in zip(page, page[1:]) if a[4] == "Road" and b[4].isdigit()}
w, h, px = decode_png(open(sys.argv[2], "rb").read())
ink = lambda x, y: min(px[y][x][:3]) < 160
off = 0
for k, (x0, y0, x1, y1, t) in enumerate(words[0][:-1]):
    number = words[0][k + 1][4]
    if t != "Road" or not number.isdigit() or int(number) % 3 or int(number) % 7 == 0:
        continue
    left, right, top, bottom = int(x0 / 0.75), int(x1 / 0.75), int(y0 / 0.75) - 3, int(y1 / 0.75) + 3
    inked = [y for y in range(top, bottom) if any(ink(x, y) for x in range(left, right))]
    label = (inked[0] + inked[-1] + 1) / 2
    column = left - 8 - 10  # the swatch's middle column, 8 px left of the label
    drawn = lambda y: min(px[y][column][:3]) < 250
    first = last = int(label)
    while drawn(first - 1): first -= 1
    while drawn(last + 1): last += 1
    off += not drawn(int(label)) or abs(label - (first + last + 1) / 2) > 1
print(f"{len(rows)} rows, {len(pages)} pages, {outside} words outside their column, {off} labels off centre")
PY
)
  check "pdf: A4 in two columns ($report)" [ "$report" = "90 rows, 2 pages, 0 words outside their column, 0 labels off centre" ]
else
  echo "SKIP: the PDF legend's checks: pdftotext and pdftoppm are not installed (Debian: poppler-utils)"
fi

# The view: a scale picks the cookbook's middle rule, every scale all three.
"$legend" --scale-denominator 150,000,000 "$styles/polygon_zoombasedpolygon.sld" >"$work/view.json"
"$legend" --all-scales "$styles/polygon_zoombasedpolygon.sld" >"$work/all.json"
check "view: 1:150,000,000 draws Medium, --all-scales every rule" \
  [ "$(jq -r '[.rows[].label] | join(",")' "$work/view.json" "$work/all.json" | paste -sd' ')" = "Medium Large,Medium,Small" ]
"$legend" --scale-denominator 0 "$styles/pophatch.sld" 2>/dev/null
check "a scale denominator of 0: exit 2" [ $? = 2 ]

# Notes on standard error, each once with its rows, unless --quiet; --help
# on standard output; the legend's own JSON read back to any format.
"$legend" "$styles/basic-v9.json" >/dev/null 2>"$work/notes"
"$legend" --quiet "$styles/basic-v9.json" >/dev/null 2>"$work/quiet"
check "notes: once each with their rows, none with --quiet" \
  bash -c "grep -qx 'legend: 1 row: The fill is 75% opaque: drawn as it looks over the background.' '$work/notes' && [ ! -s '$work/quiet' ]"
check "--help: every option, exit 0" bash -c "'$legend' --help | grep -q -- '--scale-denominator N' && '$legend' --help >/dev/null"
"$legend" --quiet "$styles/basic-v9.json" | "$legend" --quiet --format svg - >"$work/again.svg"
check "the legend's JSON read back to SVG, the same document" \
  bash -c "'$legend' --quiet --format svg '$styles/basic-v9.json' | cmp -s - '$work/again.svg'"

# Bad input: exit 1, one line on standard error, nothing on standard output.
refused() { # WHAT INPUT WORDS
  local status
  printf '%s' "$2" | "$legend" - >"$work/none" 2>"$work/err"
  status=$?
  check "refused ($1): exit 1, '$3', one line, no output" \
    bash -c "[ $status = 1 ] && [ ! -s '$work/none' ] && [ \$(wc -l <'$work/err') = 1 ] && grep -q '$3' '$work/err'"
}
refused "unclosed element" $'<StyledLayerDescriptor>\n<NamedLayer>\n</StyledLayerDescriptor>' "malformed XML at line 3"
refused "GeoJSON" '{"type": "Feature"}' "not a style document"
refused "text only" '{"version": 8, "layers": [{"id": "t", "type": "symbol"}]}' "no rule draws anything"
refused "nothing at the view" '{"version": 8, "layers": [{"id": "t", "type": "fill", "minzoom": 16}]}' \
  "no rule draws anything at 1:17,062; rules are drawn at 1:4,265 and below"
check "a missing file: exit 1, said in words" \
  bash -c "'$legend' '$work/nothing.sld' 2>&1 >/dev/null | grep -q 'cannot read .*: no such file'"
timeout 20 "$legend" --format png --program /bin/false "$styles/pophatch.sld" >"$work/none" 2>"$work/err"
check "a program that draws nothing: exit 1 at once, the swatch named, no output" \
  bash -c "[ $? = 1 ] && [ ! -s '$work/none' ] && grep -q 'the swatch program refused /20/20/' '$work/err'"
# Standard input that is non-blocking and has nothing yet is waited for, not
# spun on: two seconds of waiting cost about a start's CPU, not two seconds.
cpu=$(python3 - "$legend" "$styles/pophatch.sld" <<'PY'
import fcntl, os, resource, subprocess, sys, time
r, w = os.pipe()
fcntl.fcntl(r, fcntl.F_SETFL, fcntl.fcntl(r, fcntl.F_GETFL) | os.O_NONBLOCK)
child = subprocess.Popen([sys.argv[1], "-"], stdin=r, stdout=subprocess.DEVNULL)
os.close(r)
time.sleep(2)
os.write(w, open(sys.argv[2], "rb").read())
os.close(w)
status = child.wait()
used = resource.getrusage(resource.RUSAGE_CHILDREN)
print(status, round(used.ru_utime + used.ru_stime, 2))
PY
)
check "a non-blocking standard input is waited for, not spun on (exit and CPU seconds: $cpu)" \
  awk -v s="$cpu" 'BEGIN { split(s, a, " "); exit !(a[1] == 0 && a[2] < 1.5) }'
"$legend" --format gif "$styles/pophatch.sld" 2>/dev/null
check "an unknown format: exit 2" [ $? = 2 ]

[ "$failures" = 0 ]

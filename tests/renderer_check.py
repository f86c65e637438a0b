#!/usr/bin/python3
"""Every row as the renderer draws it: the legend tool's swatches beside
MapLibre GL JS (in headless Chromium, WebGL on SwiftShader) and QGIS
(python3-qgis, headless) drawing the same style, measured the same way.

For each case the renderer draws one feature of the style (a long line, a
square of 40 CSS pixels, a point) at 1x and 2x, and the program draws the
legend's swatches of it at the same densities. Both images are measured:
  a pixel's ink     its colour's share of the way from the white backdrop to
                    the core colour (the darkest ink), 0 to 1;
  width             a line's summed ink across it, in device pixels;
  dash, gap         median runs of ink (half or more) and gaps along it;
  extent            a mark's run of ink through its middle;
  ink               a mark's summed ink, as the side of a square that holds it;
  colour            the core colour, a fill's middle, an outline's colour.
A property agrees when the lengths are less than a device pixel apart and
the colours within 8 of 255 in each channel. The agreement per renderer and
density is printed; the check fails when one falls below what it reached
when last measured (AGREEMENT). Cases whose difference is on purpose say
why in DIFFERS and are listed, not counted.

    renderer_check.py SWATCH_PROGRAM [--keep FOLDER]

Exits 77 (skipped) naming the package when a renderer is not installed."""
import base64
import functools
import http.server
import json
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from support import decode_png  # noqa: E402
SKIPPED = 77

# The agreement last measured (per cent): the check fails below it.
AGREEMENT = {("MapLibre", 1): 93, ("MapLibre", 2): 97, ("QGIS", 1): 98, ("QGIS", 2): 98}

# --- The cases. -----------------------------------------------------------

# Each case: a name, its geometry and the style's layers (MapLibre) or
# symbol layers (QGIS); DIFFERS says why a case may differ on purpose.
LINE, SQUARE, POINT = "line", "square", "point"
SIZES = {LINE: [200, 40], SQUARE: [80, 80], POINT: [60, 60]}
# The legend's swatch box for each: as long as the renderer's line, as large
# as its whole image for an area (measured in its middle, as the square).
SWATCH_SIZES = {LINE: [200, 20], SQUARE: [80, 80], POINT: [20, 20]}


def ml_line(width, color="#000000", **extra):
    paint = {"line-width": width, "line-color": color, **{k: v for k, v in extra.items() if k != "cap"}}
    return {"type": "line", "layout": {"line-cap": extra.get("cap", "butt")}, "paint": paint}


def positron_layers(*ids):
    """Layers of the Positron excerpt among the sample styles, as they stand
    (their source and filter left to the check's one feature)."""
    with open(os.path.join(ROOT, "tests", "data", "styles", "positron-excerpt.json"), encoding="utf-8") as f:
        layers = {layer["id"]: layer for layer in json.load(f)["layers"]}
    keep = ("type", "paint", "layout")
    return [{k: v for k, v in layers[i].items() if k in keep} for i in ids]


POSITRON = [
    ("tunnel motorway", LINE, positron_layers("tunnel_motorway_casing", "tunnel_motorway_inner")),
    ("major road", LINE, positron_layers("highway_major_casing", "highway_major_inner")),
    ("minor road", LINE, positron_layers("highway_minor")),
    ("building", SQUARE, positron_layers("building")),
    ("residential", SQUARE, positron_layers("landuse_residential")),
]

MAPLIBRE_CASES = [
    ("line 1 px", LINE, [ml_line(1)]),
    ("line 3 px red", LINE, [ml_line(3, "#dd0000")]),
    ("line 2.37 px", LINE, [ml_line(2.37)]),
    ("line 0.5 px", LINE, [ml_line(0.5)]),
    ("line 0.2 px", LINE, [ml_line(0.2)]),
    ("line 0.75 px", LINE, [ml_line(0.75)]),
    ("dash [2, 1] at 3 px", LINE, [ml_line(3, **{"line-dasharray": [2, 1]})]),
    ("dash [6, 3] at 5 px, square caps", LINE, [ml_line(5, cap="square", **{"line-dasharray": [6, 3]})]),
    ("dash [3, 2] at 2 px, round caps", LINE, [ml_line(2, cap="round", **{"line-dasharray": [3, 2]})]),
    ("tunnel dashes 0.85/0.43 px", LINE, [ml_line(2.37, **{"line-dasharray": [0.36, 0.18]})]),
    ("path dots 0.94 px, square caps", LINE, [ml_line(0.94, cap="square", **{"line-dasharray": [1, 1]})]),
    ("line 4 px at 50%", LINE, [ml_line(4, "#0000ff", **{"line-opacity": 0.5})]),
    ("casing 7 px under 4 px", LINE, [ml_line(7, "#cc0000"), ml_line(4, "#ffcc88")]),
    ("casing as a gap", LINE, [ml_line(2, "#cc0000", **{"line-gap-width": 4}), ml_line(4, "#ffcc88")]),
    ("fill", SQUARE, [{"type": "fill", "paint": {"fill-color": "#33aa55"}}]),
    ("fill at 50%", SQUARE, [{"type": "fill", "paint": {"fill-color": "#0000ff", "fill-opacity": 0.5}}]),
    ("fill with outline", SQUARE, [{"type": "fill", "paint": {"fill-color": "#ffee99", "fill-outline-color": "#884400"}}]),
    *[(f"circle r {r}", POINT, [{"type": "circle", "paint": {"circle-radius": r, "circle-color": "#cc0000"}}])
      for r in (2.5, 3, 4, 5, 8)],
    ("circle r 5, stroke 2", POINT, [{"type": "circle", "paint": {"circle-radius": 5, "circle-color": "#ffcc00",
                                                                   "circle-stroke-width": 2, "circle-stroke-color": "#000000"}}]),
    *[(f"positron {name}", geometry, layers) for name, geometry, layers in POSITRON],
]

QGIS_PROPS = {"SimpleLine": {"line_color": "0,0,0,255", "line_style": "solid", "capstyle": "square"}}


def qml_layer(cls, props, inner=""):
    options = "".join(f'<Option name="{k}" value="{v}" type="QString"/>' for k, v in props.items())
    return f'<layer class="{cls}" enabled="1" pass="0" locked="0"><Option type="Map">{options}</Option>{inner}</layer>'


def qml(kind, layers):
    return ("<!DOCTYPE qgis PUBLIC 'http://mrcc.com/qgis.dtd' 'SYSTEM'>\n<qgis version=\"3.22.16\">"
            '<renderer-v2 type="singleSymbol"><symbols>'
            f'<symbol name="0" type="{kind}" alpha="1" clip_to_extent="1" force_rhr="0">{"".join(layers)}</symbol>'
            "</symbols></renderer-v2></qgis>")


def q_line(width, **extra):
    return qml_layer("SimpleLine", {**QGIS_PROPS["SimpleLine"], "line_width": width, "line_width_unit": "MM", **extra})


def q_pattern(angle, distance, width="0.26"):
    line = f'<symbol name="@0@0" type="line" alpha="1">{q_line(width, capstyle="flat")}</symbol>'
    return qml_layer("LinePatternFill", {"angle": angle, "distance": distance, "distance_unit": "MM",
                                         "color": "0,0,0,255"}, line)


def q_marker(name, size, color="204,0,0,255", **extra):
    return qml_layer("SimpleMarker", {"name": name, "size": size, "size_unit": "MM", "color": color,
                                      "outline_style": "no", **extra})


QGIS_CASES = [
    ("line 0.26 mm", LINE, qml("line", [q_line("0.26")])),
    ("line 1 mm red", LINE, qml("line", [q_line("1", line_color="220,0,0,255")])),
    ("line 0.1 mm", LINE, qml("line", [q_line("0.1")])),
    ("dash pen, 0.5 mm", LINE, qml("line", [q_line("0.5", line_style="dash")])),
    ("fill with outline", SQUARE, qml("fill", [qml_layer("SimpleFill", {
        "color": "51,170,85,255", "style": "solid", "outline_color": "35,35,35,255", "outline_style": "solid",
        "outline_width": "0.26", "outline_width_unit": "MM"})])),
    ("circle 2 mm", POINT, qml("marker", [q_marker("circle", "2")])),
    ("circle 4 mm", POINT, qml("marker", [q_marker("circle", "4")])),
    ("square 3 mm", POINT, qml("marker", [q_marker("square", "3")])),
    ("circle 4 mm, 0.4 mm outline", POINT, qml("marker", [q_marker(
        "circle", "4", color="255,204,0,255", outline_style="solid", outline_color="0,0,0,255", outline_width="0.4",
        outline_width_unit="MM")])),
    ("line pattern 45°, 2 mm apart", SQUARE, qml("fill", [q_pattern("45", "2")])),
    ("line pattern 90°, 3 mm apart", SQUARE, qml("fill", [q_pattern("90", "3")])),
    ("line pattern 0°, 3 mm apart", SQUARE, qml("fill", [q_pattern("0", "3")])),
    ("line pattern 135°, 2.5 mm apart", SQUARE, qml("fill", [q_pattern("135", "2.5", "0.4")])),
    ("triangle 3 mm", POINT, qml("marker", [q_marker("triangle", "3")])),
    ("star 4 mm", POINT, qml("marker", [q_marker("star", "4")])),
]

# Differences kept on purpose, and why: of a whole case, or of one of its
# properties.
DIFFERS = {
    "casing as a gap": "a casing drawn either side of a gap is one band the road fills (the legend shows the whole road)",
    ("star 4 mm", "extent"): "the program's star is its own shape (kept for the GIF): as much ink as QGIS's, not its outline",
}

# --- Images. ---------------------------------------------------------------


def over(under, top):
    """One image laid over another of the same size, by alpha."""
    return [[tuple(round(t[k] * t[3] / 255 + u[k] * (1 - t[3] / 255)) for k in range(3)) + (255,)
             for u, t in zip(ur, tr)] for ur, tr in zip(under, top)]


# --- Measuring. -----------------------------------------------------------


def measure(rows, geometry, outlined=False):
    """The properties of the one feature in an image on white."""
    h, w = len(rows), len(rows[0])
    away = lambda p: sum((255 - v) ** 2 for v in p[:3]) ** 0.5
    core = max((p for r in rows for p in r), key=away)
    reach = away(core) or 1

    def ink(p):
        return min(1.0, away(p) / reach)

    inks = [[ink(p) for p in r] for r in rows]
    props = {}
    if geometry == LINE:
        middle = range(w // 3, 2 * w // 3)
        column = max(middle, key=lambda x: sum(inks[y][x] for y in range(h)))
        props["width"] = sum(inks[y][column] for y in range(h))
        centre = max(range(h), key=lambda y: sum(inks[y]))
        # The tone: the line's mean colour along its middle, as the eye
        # takes a pattern too fine to see.
        props["tone"] = tuple(round(statistics.mean(rows[centre][x][k] for x in middle)) for k in range(3))
        props["colour"] = core[:3]
        props.update(dashes(inks[centre]))
    elif geometry == SQUARE:
        # A hatch across and down the area's middle, measured as dashes are,
        # inside the area (a quarter of the image in from each side).
        for axis, line in (("across", inks[h // 2]), ("down", [inks[y][w // 2] for y in range(h)])):
            inside = line[len(line) // 4:len(line) - len(line) // 4]
            if sum(1 for on, n in runs_of(inside) if on) >= 3:
                measured = dashes(inside, trim=False)
                if measured["dash"] != "solid":
                    props[f"hatch {axis}"] = measured["dash"]
                    props[f"period {axis}"] = measured["dash"] + measured["gap"]
        if not any(k.startswith("hatch") for k in props):
            # A patch: its middle, and its outline where it has one.
            props["middle"] = rows[h // 2][w // 2][:3]
            edge = next((x for x in range(w) if inks[h // 2][x] >= 0.5), None)
            if outlined and edge is not None:
                props["edge colour"] = rows[h // 2][edge][:3]
    else:
        centre = max(range(h), key=lambda y: sum(inks[y]))
        props["colour"] = core[:3]
        props["extent"] = sum(1 for v in inks[centre] if v >= 0.5)
        # Its ink as the side of a square that holds as much.
        props["ink"] = sum(map(sum, inks)) ** 0.5
        props["middle"] = rows[centre][w // 2][:3]
    return props


def dashes(line, trim=True):
    """A line's dash and gap along it: its period (the shortest shift that
    lines the pattern up with itself again) times its share of ink, so that
    soft dash ends count as they are seen; "solid" when no pixel along its
    middle is a gap (under a quarter of the ink)."""
    middle = line[len(line) // 10:len(line) - len(line) // 10] if trim else line
    if min(middle) >= 0.25:
        return {"dash": "solid", "gap": "solid"}
    mean = statistics.mean(middle)
    centred = [v - mean for v in middle]

    def alike(lag):
        pairs = len(centred) - lag
        return sum(centred[i] * centred[i + lag] for i in range(pairs)) / pairs

    # The first peak of likeness after the pattern first turns against itself.
    likeness = [alike(lag) for lag in range(len(centred) // 2)]
    turned = next((lag for lag, v in enumerate(likeness) if v < 0), None)
    peaks = [lag for lag in range(max(2, turned or 0), len(likeness) - 1)
             if likeness[lag] > 0 and likeness[lag] >= likeness[lag - 1] and likeness[lag] >= likeness[lag + 1]]
    if turned is None or not peaks:
        return {"dash": "solid", "gap": "solid"}
    # The peak between whole pixels, from the likeness either side of it.
    lag = peaks[0]
    before, at, after = likeness[lag - 1], likeness[lag], likeness[lag + 1]
    bend = before - 2 * at + after
    period = lag + ((before - after) / (2 * bend) if bend < 0 else 0)
    share = statistics.mean(middle[:lag * (len(middle) // lag)])
    return {"dash": period * share, "gap": period * (1 - share)}


def runs_of(inks):
    """Runs of ink and gap along a row of ink shares: a pixel of half ink or
    more is ink, one under a quarter a gap, one between goes on with the
    run it is in (a soft edge or a texture does not end a run)."""
    runs, state = [], False
    for v in inks:
        state = True if v >= 0.5 else False if v < 0.25 else state
        if runs and runs[-1][0] == state:
            runs[-1][1] += 1
        else:
            runs.append([state, 1])
    return [tuple(r) for r in runs]


def cannot(prop, theirs, ours):
    """Why a property cannot agree, or None: the program draws its square,
    circle and triangle odd pixels across only."""
    if prop == "extent" and isinstance(theirs, int) and theirs % 2 == 0 and abs(theirs - ours) == 1:
        return "the program's marks cover odd extents only"
    return None


def agrees(a, b):
    if isinstance(a, tuple) or isinstance(b, tuple):
        return isinstance(a, tuple) and isinstance(b, tuple) and max(abs(x - y) for x, y in zip(a, b)) <= 8
    if isinstance(a, str) or isinstance(b, str):
        return a == b
    return abs(a - b) < 1


# --- The program's swatches. ------------------------------------------------


def legend_swatches(styles):
    """Each style's first legend row, bottom first: [its swatch paths at 1x,
    at 2x (or None)]."""
    out = subprocess.run(["node", os.path.join(ROOT, "tests", "renderer", "swatches.mjs")], input=json.dumps(styles),
                         capture_output=True, text=True, check=True).stdout
    return json.loads(out)


def draw(program, paths, scale):
    """The program's PNGs of a stack at a scale, laid over white."""
    image = None
    for path in paths:
        at, query = (path.split("?", 1) + [""])[:2]
        query = "&".join(q for q in [query, "Format=png", f"Scale={scale}" if scale > 1 else ""] if q)
        env = {"GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "GET", "PATH_INFO": at, "QUERY_STRING": query,
               "SCRIPT_NAME": "/cgi-bin/swatch"}
        reply = subprocess.run([program], env=env, capture_output=True, check=True).stdout
        w, h, rows = decode_png(reply[reply.index(b"\x89PNG"):])
        image = over(image or [[(255, 255, 255, 255)] * w for _ in range(h)], rows)
    return image


# --- The renderers. --------------------------------------------------------


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map, ".mjs": "text/javascript",
                      ".js": "text/javascript"}

    def log_message(self, *args):
        pass


def maplibre_images(cases):
    """MapLibre GL JS's image of each case at 1x and 2x: {(name, scale): rows}."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(QuietHandler, directory=ROOT))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    options = webdriver.ChromeOptions()
    for flag in ("--headless=new", "--no-sandbox", "--use-angle=swiftshader", "--enable-unsafe-swiftshader",
                 "--window-size=800,600", "--force-color-profile=srgb"):
        options.add_argument(flag)
    options.binary_location = "/usr/bin/chromium"
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    images = {}
    try:
        driver.get(f"http://127.0.0.1:{server.server_address[1]}/tests/renderer/maplibre.html")
        deadline = time.monotonic() + 30
        while not driver.execute_script("return window.ready === true"):
            if time.monotonic() > deadline:
                raise SystemExit("MapLibre GL JS did not load in the page")
            time.sleep(0.1)
        driver.set_script_timeout(60)
        for name, geometry, layers in cases:
            for scale in (1, 2):
                url = driver.execute_async_script(
                    "const done = arguments[arguments.length - 1];"
                    "renderCase(arguments[0], arguments[1], arguments[2], arguments[3])"
                    ".then(done, e => done('error: ' + e));",
                    [{**layer, "id": f"l{i}"} for i, layer in enumerate(layers)], geometry, SIZES[geometry], scale)
                if not url.startswith("data:image/png;base64,"):
                    raise SystemExit(f"MapLibre GL JS could not draw {name}: {url}")
                images[(name, scale)] = decode_png(base64.b64decode(url.split(",", 1)[1]))[2]
    finally:
        driver.quit()
        server.shutdown()
    return images


def qgis_images(cases, folder):
    """QGIS's image of each case at 96 and 192 dpi: {(name, scale): rows}."""
    jobs = [{"qml": style, "geometry": geometry, "size": SIZES[geometry], "dpi": 96 * scale,
             "out": os.path.join(folder, f"qgis-{i}-{scale}.png")}
            for i, (name, geometry, style) in enumerate(cases) for scale in (1, 2)]
    subprocess.run(["/usr/bin/python3", os.path.join(ROOT, "tests", "renderer", "qgis_render.py")],
                   input=json.dumps(jobs), text=True, check=True, env={**os.environ, "QT_QPA_PLATFORM": "offscreen"})
    return {(name, job["dpi"] // 96): decode_png(open(job["out"], "rb").read())[2]
            for job, name in zip(jobs, [c[0] for c in cases for _ in (1, 2)])}


def maplibre_style(layers):
    return json.dumps({"version": 8, "sources": {"f": {"type": "geojson", "data": None}},
                       "layers": [{**layer, "id": f"l{i}", "source": "f"} for i, layer in enumerate(layers)]})


# --- The check. ------------------------------------------------------------


def outlined(style):
    """Whether a case's area has an outline of its own."""
    return "fill-outline-color" in style or 'name="outline_style" value="solid"' in style


def compare(renderer, cases, images, program, styles, keep):
    """Rows of (renderer, case, scale, property, theirs, ours, agrees, why
    they may differ)."""
    table = []
    swatches = legend_swatches([{"style": style, "size": SWATCH_SIZES[geometry]}
                                for (name, geometry, _), style in zip(cases, styles)])
    for (name, geometry, _), (paths, dense), style in zip(cases, swatches, styles):
        for scale in (1, 2):
            # At 2x the row's own image where it has one, else the 1x one enlarged.
            ours = draw(program, dense, 1) if scale == 2 and dense else draw(program, paths, scale)
            theirs = images[(name, scale)]
            if keep:
                save_pair(keep, renderer, name, scale, theirs, ours)
            edge = outlined(style)
            mine, measured = measure(ours, geometry, edge), measure(theirs, geometry, edge)
            for prop in sorted(set(mine) | set(measured)):
                a, b = measured.get(prop, "-"), mine.get(prop, "-")
                table.append((renderer, name, scale, prop, a, b, agrees(a, b), DIFFERS.get(name) or DIFFERS.get((name, prop)) or cannot(prop, a, b)))
    return table


def save_pair(folder, renderer, name, scale, theirs, ours):
    """The two images side by side, as PPM, to look at."""
    h = max(len(theirs), len(ours))
    pad = lambda rows, w: [r + [(255, 255, 255, 255)] * (w - len(r)) for r in rows] + \
        [[(255, 255, 255, 255)] * w] * (h - len(rows))
    left, right = pad(theirs, len(theirs[0])), pad(ours, len(ours[0]))
    body = b"".join(bytes(v for p in (a + [(200, 0, 200, 255)] * 4 + b) for v in p[:3]) for a, b in zip(left, right))
    with open(os.path.join(folder, f"{renderer}-{name.replace(' ', '_').replace('/', '-')}-{scale}x.ppm"), "wb") as f:
        f.write(f"P6 {len(left[0]) + 4 + len(right[0])} {h} 255\n".encode() + body)


def show(value):
    if isinstance(value, tuple):
        return "%02X%02X%02X" % value
    return f"{value:.2f}" if isinstance(value, float) else str(value)


def report(table):
    failed = False
    for renderer in ("MapLibre", "QGIS"):
        rows = [r for r in table if r[0] == renderer]
        if not rows:
            continue
        print(f"\n{renderer}: case, density, property, renderer, ours")
        for _, name, scale, prop, a, b, ok, why in rows:
            mark = "  " if ok else ("~ " if why else "x ")
            print(f"{mark}{name} @{scale}x  {prop}: {show(a)} / {show(b)}" + (f"  ({why})" if why and not ok else ""))
        for scale in (1, 2):
            counted = [r for r in rows if r[2] == scale and not (r[7] and not r[6])]
            share = 100 * sum(r[6] for r in counted) / max(1, len(counted))
            floor = AGREEMENT[(renderer, scale)]
            kept = sum(1 for r in rows if r[2] == scale and r[7] and not r[6])
            print(f"{renderer} at {scale}x: {share:.1f}% of {len(counted)} properties agree (at least {floor}%); "
                  f"{kept} differ on purpose or cannot be drawn")
            failed |= share < floor
    return failed


def missing():
    """What a renderer needs that is not installed: {renderer: package}."""
    need = {}
    try:
        import selenium  # noqa: F401
    except ImportError:
        need["MapLibre"] = "python3-selenium"
    for path, package in (("/usr/bin/chromium", "chromium"), ("/usr/bin/chromedriver", "chromium-driver")):
        if not os.path.exists(path):
            need["MapLibre"] = package
    if not os.path.exists(os.path.join(ROOT, "node_modules", "maplibre-gl", "dist", "maplibre-gl.mjs")):
        need["MapLibre"] = "maplibre-gl (npm ci)"
    if subprocess.run(["/usr/bin/python3", "-c", "import qgis.core"], capture_output=True).returncode:
        need["QGIS"] = "python3-qgis"
    return need


def main():
    program = os.path.abspath(sys.argv[1])
    keep = sys.argv[3] if sys.argv[2:3] == ["--keep"] else None
    if keep:
        os.makedirs(keep, exist_ok=True)
    need = missing()
    for renderer, package in need.items():
        print(f"SKIP: {renderer}: {package} is not installed")
    if len(need) == 2:
        return SKIPPED
    table = []
    if "MapLibre" not in need:
        images = maplibre_images(MAPLIBRE_CASES)
        table += compare("MapLibre", MAPLIBRE_CASES, images, program,
                         [maplibre_style(layers) for _, _, layers in MAPLIBRE_CASES], keep)
    if "QGIS" not in need:
        folder = tempfile.mkdtemp(prefix="renderer-check-")
        try:
            images = qgis_images(QGIS_CASES, folder)
        finally:
            shutil.rmtree(folder, ignore_errors=True)
        table += compare("QGIS", QGIS_CASES, images, program, [style for _, _, style in QGIS_CASES], keep)
    return 1 if report(table) else 0


if __name__ == "__main__":
    sys.exit(main())

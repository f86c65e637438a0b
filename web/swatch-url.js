/* Swatch URLs, with no page of their own: the program's address, limits and
 * defaults, how it reads a colour, a design to its URL and back, and the
 * srcset of a swatch. The designer, the gallery and the tests import it.
 *
 * A design is what the designer's form says of one swatch:
 *   {w, h, color: [r, g, b], kind: "flat" | "band" | "zigzag" | "hatch" | "symbol",
 *    dash, lineWidth, hatchType, spacing, symbol, symbolSize (a number, or null),
 *    background: [r, g, b] or null (see-through), outline: [r, g, b] or null,
 *    corners, format: "gif" | "png" | "svg"} */

export const SCRIPT = "/cgi-bin/swatch";
export const MAX_SIDE = 65535;               // a GIF holds no larger side
export const MAX_PIXELS = 64 * 1024 * 1024;  // the program refuses larger swatches
export const DEFAULT_SIDE = 50;              // width and height when the path has none
export const DEFAULT_HATCH_SPACING = 4;      // gap between hatch bands when none is given
export const MAX_BODY_BYTES = 64 * 1024;     // the longest request body the program reads
/* The colour the corner marks are drawn in: they are see-through. */
export const CORNER_COLOR = "FF00FF";

/* The colour the program draws for a colour text: it reads it as a 32-bit
 * strtoul in base 16 reads it (white space, a sign, 0x, hex digits up to
 * the first other character; past 32 bits, all ones; a minus sign negates)
 * and keeps the low 24 bits. */
export function programColor(text) {
  const m = /^\s*([+-]?)(?:0[xX](?=[0-9a-fA-F]))?([0-9a-fA-F]*)/.exec(text || "");
  let v = 0;
  if (m && m[2] !== "") {
    const digits = m[2].replace(/^0+/, "");
    v = digits.length > 8 ? 0xFFFFFFFF : parseInt(digits || "0", 16);
    if (m[1] === "-") v = (0x100000000 - v) % 0x100000000;
  }
  return [(v >>> 16) & 255, (v >>> 8) & 255, v & 255];
}

export function hexOf(rgb) { return rgb.map(c => c.toString(16).padStart(2, "0")).join("").toUpperCase(); }

/* A colour typed or pasted into a hex field: RRGGBB, #RRGGBB or 0xRRGGBB,
 * else null. */
export function typedColor(text) {
  const m = /^\s*(?:#|0[xX])?([0-9a-fA-F]{6})\s*$/.exec(text);
  return m ? m[1].toUpperCase() : null;
}

/* The swatch's path and query for a design: only the parameters that change
 * the drawing. Returns {w, h, path, query}. */
export function designUrl(design) {
  const {w, h, kind} = design;
  const q = new URLSearchParams();
  if (kind !== "flat" && kind !== "symbol") {
    if (kind === "zigzag") q.set("LineType", "ZigZag");
    if (kind === "hatch") q.set("LineType", "Hatch");
    if (design.dash !== "") q.set("LineStyle", design.dash);
    if (design.lineWidth > 1) q.set("LineWidth", String(design.lineWidth));
    if (kind === "band" && !q.has("LineStyle") && !q.has("LineWidth")) q.set("LineWidth", "1");
    if (kind === "hatch") {
      if (design.hatchType !== 1) q.set("HatchType", String(design.hatchType));
      if (design.spacing >= 1 && design.spacing !== DEFAULT_HATCH_SPACING)
        q.set("HatchSpacing", String(design.spacing));
    }
  }
  if (kind === "symbol") {
    q.set("SymbolId", String(design.symbol));
    if (design.symbolSize !== null) q.set("SymbolSize", String(Math.max(0, design.symbolSize)));
  }
  // A flat patch covers its background: only the frame is worth saying.
  if (kind !== "flat" && design.background) q.set("BgColor", hexOf(design.background));
  if (design.outline) q.set("Outline", hexOf(design.outline));
  if (design.corners) q.set("Corner", CORNER_COLOR);
  if (design.format !== "gif") q.set("Format", design.format);
  const query = q.toString().replace(/\+/g, "%20");
  return {w, h, path: `/${w}/${h}/${design.color.join("/")}`, query};
}

/* Rounding to the nearest, halves up. */
export const roundHalfUp = x => Math.floor(x + 0.5);

/* A dash array as the program's LineStyle: ink first, an odd count
 * repeated once; a round or square cap lengthens each dash by the width
 * and shortens each gap by it; then whole pixels, a dash at least one, a
 * gap of none joining its dashes. A pattern without gaps is solid (""). */
export function dashPattern(lengths, width, cap = "butt") {
  if (!Array.isArray(lengths) || !lengths.length || !lengths.every(v => Number.isFinite(v) && v >= 0))
    return "";
  const even = lengths.length % 2 ? [...lengths, ...lengths] : lengths;
  const grow = cap === "round" || cap === "square" ? width : 0;
  let text = "";
  even.forEach((v, i) => {
    const ink = i % 2 === 0;
    const n = roundHalfUp(ink ? v + grow : v - grow);
    // No dash or gap is longer than the widest swatch.
    const length = Math.min(MAX_SIDE, n);
    text += ink ? "x".repeat(Math.max(1, length)) : " ".repeat(Math.max(0, length));
  });
  return text.includes(" ") ? text : "";
}

/* Path and query as one text, what follows SCRIPT. */
export function designOf(d) { return `${d.path}${d.query ? "?" + d.query : ""}`; }

/* The same swatch (what follows SCRIPT) in another format. */
export function inFormat(swatch, format) { return designOf(designUrl({...parseSwatchUrl(swatch).design, format})); }

/* The design a swatch URL (absolute or not) or a design address
 * (#/w/h/...) asks for, as the program reads the request, with a word
 * for each colour the program reads otherwise than it was written
 * (warnings) and for each other value it draws otherwise (corrections):
 * {design, warnings, corrections}; null for text that is no swatch URL (its path must be
 * whole numbers between slashes). Whatever it came from, the page writes
 * the design's URL itself (designUrl): nothing of the text is ever used as
 * a URL. */
export function parseSwatchUrl(text) {
  let path = text.trim(), query = "";
  const hashAt = path.indexOf("#");
  if (hashAt >= 0 && !path.includes(SCRIPT)) path = path.slice(hashAt + 1);
  const legendAt = path.indexOf("!");
  if (legendAt >= 0) path = path.slice(0, legendAt);
  const scriptAt = path.indexOf(SCRIPT);
  if (scriptAt >= 0) path = path.slice(scriptAt + SCRIPT.length);
  const queryAt = path.indexOf("?");
  if (queryAt >= 0) { query = path.slice(queryAt + 1); path = path.slice(0, queryAt); }
  if (!path.startsWith("/")) return null;
  const pieces = path.split("/").filter(p => p !== "");
  if (!pieces.every(p => /^[+-]?[0-9]+$/.test(p))) return null;
  const fields = pieces.map(p => parseInt(p, 10) || 0);
  // What the page opens is what the program draws; each difference from
  // what was written is said in its own words.
  const corrections = [];
  const side = (i, name) => {
    const v = fields.length > i ? fields[i] : DEFAULT_SIDE;
    if (v < 2) corrections.push(`${name} ${v} is drawn as 2 pixels, the smallest.`);
    return Math.max(2, v);
  };
  const component = (i, name) => {
    const v = fields[i] || 0;
    if (v < 0 || v > 255) corrections.push(`${name} ${v} is drawn as ${v & 255} (the program keeps the lowest 8 bits).`);
    return v & 255;
  };
  const q = new URLSearchParams(query);
  const get = name => { for (const [k, v] of q) if (k.toLowerCase() === name.toLowerCase()) return v; return ""; };
  const number = name => parseInt(get(name), 10);

  const warnings = [];
  const colorOf = name => {
    const value = get(name);
    const drawn = programColor(value);
    if (!/^[0-9a-fA-F]{6}$/.test(value))
      warnings.push(`${name}=${value} is read by the program as ${hexOf(drawn)}; write six hex digits, RRGGBB.`);
    return drawn;
  };
  const type = get("LineType").toLowerCase();
  const isLine = get("LineStyle") !== "" || get("LineWidth") !== "" || get("LineType") !== "";
  const hatchType = number("HatchType"), spacing = number("HatchSpacing"), symbol = number("SymbolId");
  const format = get("Format").toLowerCase();
  const w = side(0, "Width"), h = side(1, "Height");
  const color = get("Color") !== "" ? colorOf("Color")
              : [component(2, "Red"), component(3, "Green"), component(4, "Blue")];
  if (type === "hatch" && get("HatchType") !== "" && !(hatchType >= 1 && hatchType <= 6))
    corrections.push(`HatchType=${get("HatchType")} is drawn as 1, the rising hatch.`);
  if (type === "hatch" && get("HatchSpacing") !== "" && !(spacing >= 1))
    corrections.push(`HatchSpacing=${get("HatchSpacing")} is drawn as ${DEFAULT_HATCH_SPACING}, the default.`);
  if (!isLine && symbol > 6)
    corrections.push(`SymbolId=${symbol} is no symbol the program draws (it draws nothing): opened as 1, a square.`);
  // A negative size asks the program for the size that fits the swatch, as
  // no size does.
  let symbolSize = get("SymbolSize") !== "" ? number("SymbolSize") || 0 : null;
  if (symbolSize !== null && symbolSize < 0) {
    if (!isLine && symbol > 0) corrections.push(`SymbolSize=${symbolSize} is drawn at the size that fits the swatch.`);
    symbolSize = null;
  }
  if (format !== "" && !["gif", "png", "svg"].includes(format))
    corrections.push(`Format=${get("Format")} is not offered (the program refuses it): opened as GIF.`);
  const design = {
    w, h, color,
    kind: type === "zigzag" ? "zigzag" : type === "hatch" ? "hatch" : isLine ? "band"
        : symbol > 0 ? "symbol" : "flat",
    dash: get("LineStyle"),
    lineWidth: Math.max(1, number("LineWidth") || 1),
    hatchType: hatchType >= 1 && hatchType <= 6 ? hatchType : 1,
    spacing: spacing >= 1 ? spacing : DEFAULT_HATCH_SPACING,
    symbol: symbol >= 1 && symbol <= 6 ? symbol : 1,
    symbolSize,
    background: get("BgColor") !== "" ? colorOf("BgColor") : null,
    outline: get("Outline") !== "" ? colorOf("Outline") : null,
    corners: get("Corner") !== "",
    format: ["png", "svg"].includes(format) ? format : "gif",
  };
  return {design, warnings, corrections};
}

/* The scales of 2 and 3 the swatch at url (w x h) is offered at: none for
 * an SVG, which is sharp as it is, and none past the program's limits,
 * which hold for the image drawn. */
const isSvg = url => /[?&]Format=svg(&|$)/i.test(url);

export function scalesOffered(url, w, h) {
  if (isSvg(url)) return [];
  return [2, 3].filter(s => w * s <= MAX_SIDE && h * s <= MAX_SIDE && w * s * h * s <= MAX_PIXELS);
}

/* The swatch for screens of 1, 2 and 3 device pixels a CSS pixel, so that
 * what is pasted stays sharp on every screen; "" for an SVG. */
export function srcsetOf(url, w = 1, h = 1) {
  if (isSvg(url)) return "";
  return [`${url} 1x`, ...scalesOffered(url, w, h).map(s => `${scaledUrl(url, s)} ${s}x`)].join(", ");
}

export function scaledUrl(url, scale) { return `${url}${url.includes("?") ? "&" : "?"}Scale=${scale}`; }

/* The swatch's whole URL on the page's origin, for a design (what follows
 * SCRIPT). */
export function absoluteUrl(origin, design) { return `${origin}${SCRIPT}${design}`; }

/* Why the program would refuse a swatch of this size, or "". */
export function sizeProblem(w, h) {
  if (!(w >= 2) || !(h >= 2)) return "Width and height are whole numbers of at least 2 pixels.";
  if (w > MAX_SIDE || h > MAX_SIDE) return `A side is at most ${MAX_SIDE} pixels (the most a GIF holds).`;
  if (w * h > MAX_PIXELS) return `A swatch has at most ${MAX_PIXELS} pixels; ${w} x ${h} is ${w * h}.`;
  return "";
}

/* Colour names for a reader: the nearest of these. */
const COLOR_NAMES = [
  ["black", [0, 0, 0]], ["white", [255, 255, 255]], ["grey", [128, 128, 128]], ["red", [220, 0, 0]],
  ["green", [0, 128, 0]], ["blue", [0, 64, 255]], ["yellow", [255, 230, 0]], ["orange", [255, 150, 0]],
  ["purple", [128, 0, 128]], ["brown", [140, 70, 20]], ["pink", [255, 170, 200]], ["cyan", [0, 220, 220]],
];
const HATCHES = {1: "diagonal hatch", 2: "diagonal hatch", 3: "horizontal hatch", 4: "vertical hatch",
                 5: "cross-hatch", 6: "grid"};
const SYMBOLS = {1: "square", 2: "circle", 3: "triangle", 4: "plus", 5: "star", 6: "filled circle"};

/* What a swatch shows, in words, for the alt text of its image: "blue
 * dashed line", "green diagonal hatch", "red star". */
export function describeSwatch(design) {
  const [, name] = COLOR_NAMES.map(([n, rgb]) => [rgb.reduce((sum, c, i) => sum + (c - design.color[i]) ** 2, 0), n])
    .reduce((best, next) => (next[0] < best[0] ? next : best));
  const dashed = /\s/.test(design.dash) ? "dashed " : "";
  const shape = {flat: "area", band: `${dashed}line`, zigzag: `${dashed}zig-zag line`,
                 hatch: HATCHES[design.hatchType], symbol: SYMBOLS[design.symbol]}[design.kind];
  return `${name} ${shape}`;
}

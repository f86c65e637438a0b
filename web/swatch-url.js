/* Swatch URLs, with no page of their own: the program's address, limits and
 * defaults, how it reads a request, a design to its swatch path and back,
 * and the srcset of a swatch. The designer, the gallery, the legend reader
 * and the tests import it.
 *
 * A design is what the designer's form says of one swatch:
 *   {w, h, color: [r, g, b], kind: "flat" | "band" | "zigzag" | "hatch" | "symbol",
 *    dash, lineWidth, hatchType, spacing, symbol, symbolSize (a number, or null),
 *    background: [r, g, b] or null (see-through), outline: [r, g, b] or null,
 *    corners, format: "gif" | "png" | "svg"}
 * A swatch path is what follows SCRIPT in a swatch's URL: the path and the
 * query, "/40/20/255/0/0?LineWidth=3". */

export const SCRIPT = "/cgi-bin/swatch";
export const MAX_SIDE = 65535;               // a GIF holds no larger side
export const MAX_PIXELS = 64 * 1024 * 1024;  // the program refuses larger swatches
export const MIN_SIDE = 2;                   // smaller sides are drawn at this size
export const DEFAULT_SIDE = 50;              // width and height when the path has none
export const DEFAULT_HATCH_SPACING = 4;      // gap between hatch bands when none is given
export const MAX_BODY_BYTES = 64 * 1024;     // the longest request body the program reads
export const FORMATS = ["gif", "png", "svg"];  // the Format values; none asks for GIF
export const MAX_SCALE = 4;                  // Scale is 1 to this: device pixels a swatch pixel
export const SCALES = Array.from({length: MAX_SCALE}, (_, i) => i + 1);
/* The most rows a legend holds: from a style, or from a page's address. */
export const MAX_LEGEND_ROWS = 500;
/* The most swatches one legend row stacks (a map's symbols have a few;
 * each is a request of the page that shows the legend). */
export const MAX_ROW_LAYERS = 8;
/* The colour the corner marks are drawn in: they are see-through. */
export const CORNER_COLOR = "FF00FF";

const LINES = ["band", "zigzag", "hatch"];
const ALL = ["flat", ...LINES, "symbol"];

/* The parameters of a swatch URL, as the program reads them, and the design
 * field each one sets. Every other piece of this module that knows a
 * parameter (the new design, the writer, the reader) and the designer's form
 * are made from this table.
 *   name     the parameter; a request may write it in any letter case
 *   field    the design's field
 *   read     how the program reads the text: "text" as it stands, "int" as
 *            atoi does, "color" as strtoul in base 16, "flag" set when not
 *            empty, "keyword" one of values in any letter case
 *   initial  the field's value in a new design, and what the program draws
 *            when the parameter is absent
 *   kinds    the kinds of swatch whose drawing it changes
 *   min, max the values drawn as written; the program draws others as
 *            initial, and `corrected` says so in words (absent: silently the same)
 * LineType chooses the kind and Color the colour, beside the path's. */
export const PARAMETERS = [
  {name: "LineType", field: "kind", read: "text", kinds: ["zigzag", "hatch"]},
  {name: "LineStyle", field: "dash", read: "text", initial: "", kinds: LINES},
  {name: "LineWidth", field: "lineWidth", read: "int", initial: 1, min: 1, kinds: LINES,
   corrected: text => `LineWidth=${text} is drawn 1 pixel wide, the thinnest.`},
  {name: "HatchType", field: "hatchType", read: "int", initial: 1, min: 1, max: 6, kinds: ["hatch"],
   corrected: text => `HatchType=${text} is drawn as 1, the rising hatch.`},
  {name: "HatchSpacing", field: "spacing", read: "int", initial: DEFAULT_HATCH_SPACING, min: 1, kinds: ["hatch"],
   corrected: text => `HatchSpacing=${text} is drawn as ${DEFAULT_HATCH_SPACING}, the default.`},
  {name: "SymbolId", field: "symbol", read: "int", initial: 1, min: 1, max: 6, kinds: ["symbol"],
   corrected: text => `SymbolId=${text} is no symbol the program draws (it draws nothing): opened as 1, a square.`},
  // A negative size asks for the size that fits the swatch, as none does.
  {name: "SymbolSize", field: "symbolSize", read: "int", initial: null, min: 0, kinds: ["symbol"],
   corrected: text => `SymbolSize=${text} is drawn at the size that fits the swatch.`},
  // A flat patch covers its background: only the frame is worth saying.
  {name: "BgColor", field: "background", read: "color", initial: null, kinds: ["symbol", ...LINES]},
  {name: "Outline", field: "outline", read: "color", initial: null, kinds: ALL},
  {name: "Corner", field: "corners", read: "flag", initial: false, kinds: ALL},
  {name: "Color", field: "color", read: "color", initial: [0, 0, 0], kinds: []},
  {name: "Format", field: "format", read: "keyword", values: FORMATS, initial: "gif", kinds: ALL,
   corrected: text => `Format=${text} is not offered (the program refuses it): opened as GIF.`},
];

/* A design with every field as a swatch URL without parameters leaves it,
 * and the fields given. */
export function newDesign(fields = {}) {
  const design = {w: DEFAULT_SIDE, h: DEFAULT_SIDE, kind: "flat"};
  // A colour of its own, never the table's.
  for (const p of PARAMETERS)
    if (p.field !== "kind") design[p.field] = Array.isArray(p.initial) ? [...p.initial] : p.initial;
  return {...design, ...fields};
}

/* Whether the program draws a whole number as written: one outside the
 * parameter's range is drawn as its initial value. */
const drawnAsWritten = (p, value) => value >= p.min && !(value > p.max);

/* A whole number as the program's atoi reads it (white space, a sign,
 * digits up to the first other character; 0 without digits), saturated at
 * the 32-bit range as the program saturates it. */
export function programInt(text) {
  const m = /^[\t\n\v\f\r ]*([+-]?)([0-9]+)/.exec(text);
  if (!m) return 0;
  const v = (m[1] === "-" ? -1 : 1) * Number(m[2]);
  return Math.min(2147483647, Math.max(-2147483648, v));
}

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

/* The text of each parameter as a swatch URL's design writes it, or
 * undefined for one it leaves out (its initial value, or of no use to the
 * kind). */
function writtenValue(p, design) {
  const value = design[p.field];
  if (p.field === "kind") return {zigzag: "ZigZag", hatch: "Hatch"}[value];
  // A symbol is chosen by its id, which is never left out.
  if (p.field === "symbol") return String(value);
  if (value === p.initial || (p.read === "int" && !drawnAsWritten(p, value))) return undefined;
  if (p.read === "color") return hexOf(value);
  if (p.read === "flag") return CORNER_COLOR;
  return String(value);
}

/* The swatch path of a design: only the parameters that change the
 * drawing. */
export function swatchPath(design) {
  const q = new URLSearchParams();
  for (const p of PARAMETERS) {
    if (!p.kinds.includes(design.kind)) continue;
    const text = writtenValue(p, design);
    if (text !== undefined && text !== "") q.set(p.name, text);
  }
  // A line with none of its parameters is no line: the width says it is.
  if (design.kind === "band" && !q.has("LineStyle") && !q.has("LineWidth")) q.set("LineWidth", "1");
  const query = q.toString().replace(/\+/g, "%20");
  return `/${design.w}/${design.h}/${design.color.join("/")}${query ? "?" + query : ""}`;
}

/* The form input of a query as the program reads it: split at every "&",
 * each piece URL-decoded byte by byte ("+" a space; "%" and the next two
 * bytes of the piece, whatever they are, as 16 x first + second modulo 256,
 * with digits 0-9 and upper-cased letters from 10; a zero byte ends the
 * piece). Each piece is text of one character a byte. */
export function formPieces(query) {
  if (query === "") return [];
  const digit = b => { const c = b >= 97 && b <= 122 ? b - 32 : b; return c >= 48 && c <= 57 ? c - 48 : c - 55; };
  const pieces = [];
  for (const raw of splitBytes(new TextEncoder().encode(query), 0x26)) {
    let text = "";
    for (let i = 0; i < raw.length; i++) {
      let b = raw[i];
      if (b === 0x2B) b = 0x20;
      else if (b === 0x25 && raw[i + 1] && raw[i + 2]) {
        b = (((16 * digit(raw[i + 1]) + digit(raw[i + 2])) % 256) + 256) % 256;
        i += 2;
      }
      if (b === 0) break;
      text += String.fromCharCode(b);
    }
    pieces.push(text);
  }
  return pieces;
}

function splitBytes(bytes, separator) {
  const parts = [];
  let start = 0;
  for (let i = 0; i <= bytes.length; i++)
    if (i === bytes.length || bytes[i] === separator) { parts.push(bytes.subarray(start, i)); start = i + 1; }
  return parts;
}

/* A parameter's text as the program looks it up among the pieces: the
 * first piece that starts with the name in any letter case followed by "="
 * or ":", the text after that; "" when none does. */
export function formValue(pieces, name) {
  // Compared a character code at a time (A-Z as a-z only, as the program
  // does): a legend of hundreds of rows looks up a score of names in each.
  const lower = c => (c >= 65 && c <= 90 ? c + 32 : c);
  const named = piece => {
    if (piece[name.length] !== "=" && piece[name.length] !== ":") return false;
    for (let i = 0; i < name.length; i++)
      if (lower(piece.charCodeAt(i)) !== lower(name.charCodeAt(i))) return false;
    return true;
  };
  const found = pieces.find(named);
  return found === undefined ? "" : found.slice(name.length + 1);
}

/* The path and query of a swatch URL (absolute or not) or of a design
 * address (#/w/h/...!legend=...). */
function splitSwatchUrl(text) {
  let path = text.trim();
  const scriptAt = path.indexOf(SCRIPT);
  if (scriptAt >= 0) path = path.slice(scriptAt + SCRIPT.length).split("#")[0];
  else if (path.includes("#")) path = path.slice(path.indexOf("#") + 1);
  path = path.split("!")[0];
  const queryAt = path.indexOf("?");
  return queryAt < 0 ? {path, query: ""} : {path: path.slice(0, queryAt), query: path.slice(queryAt + 1)};
}

/* A parameter's value in the design, as the program draws its text, and
 * the words for a value it draws otherwise than written. */
function readValue(p, text, words) {
  if (p.read === "flag") return text !== "";
  if (text === "") return p.initial;
  if (p.read === "text") return text;
  if (p.read === "keyword") {
    const value = text.toLowerCase();
    if (p.values.includes(value)) return value;
    words.push(p.corrected(text));
    return p.initial;
  }
  if (p.read === "color") {
    const drawn = programColor(text);
    if (!/^[0-9a-fA-F]{6}$/.test(text))
      words.push(`${p.name}=${text} is read by the program as ${hexOf(drawn)}; write six hex digits, RRGGBB.`);
    return drawn;
  }
  const value = programInt(text);
  if (drawnAsWritten(p, value)) return value;
  if (p.corrected) words.push(p.corrected(text));
  return p.initial;
}

/* The design a swatch URL (absolute or not) or a design address asks for,
 * as the program reads the request, with a word for each colour the program
 * reads otherwise than it was written (warnings) and for each other value
 * it draws otherwise (corrections): {design, warnings, corrections}; null
 * for text that is no swatch URL (its path must be whole numbers between
 * slashes). Whatever it came from, the page writes the swatch path itself
 * (swatchPath): nothing of the text is ever used as a URL. */
export function parseSwatchUrl(text) {
  const {path, query} = splitSwatchUrl(text);
  if (!path.startsWith("/")) return null;
  const fields = path.split("/").filter(p => p !== "");
  if (!fields.every(p => /^[+-]?[0-9]+$/.test(p))) return null;
  const numbers = fields.map(programInt);
  const corrections = [], warnings = [];
  const side = (i, name) => {
    const v = numbers.length > i ? numbers[i] : DEFAULT_SIDE;
    if (v < MIN_SIDE) corrections.push(`${name} ${v} is drawn as ${MIN_SIDE} pixels, the smallest.`);
    return Math.max(MIN_SIDE, v);
  };
  const component = (i, name) => {
    const v = numbers[i] || 0;
    if (v < 0 || v > 255) corrections.push(`${name} ${v} is drawn as ${v & 255} (the program keeps the lowest 8 bits).`);
    return v & 255;
  };
  const design = newDesign({w: side(0, "Width"), h: side(1, "Height"),
                            color: [component(2, "Red"), component(3, "Green"), component(4, "Blue")]});
  const pieces = formPieces(query);
  const texts = Object.fromEntries(PARAMETERS.map(p => [p.field, formValue(pieces, p.name)]));
  // The kind first: the line wins over the symbol, the symbol over the patch.
  const type = texts.kind.toLowerCase();
  const isLine = texts.kind !== "" || texts.dash !== "" || texts.lineWidth !== "";
  const symbolId = texts.symbol !== "" ? programInt(texts.symbol) : -1;
  design.kind = type === "zigzag" || type === "hatch" ? type : isLine ? "band" : symbolId > 0 ? "symbol" : "flat";
  for (const p of PARAMETERS) {
    if (p.field === "kind" || (p.field === "color" && texts.color === "")) continue;
    // Only the kinds a parameter draws for hear of its corrections.
    const words = p.read === "color" ? warnings : p.kinds.includes(design.kind) ? corrections : [];
    design[p.field] = readValue(p, texts[p.field], words);
  }
  // Each byte of the pattern is a pixel, a space a gap and anything else
  // ink: a byte the dash field cannot show is shown as the ink it draws.
  design.dash = design.dash.replace(/[^\x20-\x7e]/g, "x");
  return {design, warnings, corrections};
}

/* The same swatch in another format. */
export function inFormat(path, format) { return swatchPath({...parseSwatchUrl(path).design, format}); }

/* Rounding to the nearest, halves up. */
export const roundHalfUp = x => Math.floor(x + 0.5);

/* A gap under this many pixels is not seen on the map: the dashes beside
 * it join (the renderers blur such a pattern into a lighter solid line). */
export const SMALLEST_GAP = 0.75;

/* A dash array's lengths as drawn: ink first, an odd count repeated once;
 * a cap that lengthens dashes ("round" or "square", as the renderer does)
 * lengthens each dash by the width and shortens each gap by it. */
function dashLengths(lengths, width, cap) {
  const even = lengths.length % 2 ? [...lengths, ...lengths] : lengths;
  const grow = cap === "round" || cap === "square" ? width : 0;
  return even.map((v, i) => (i % 2 === 0 ? v + grow : Math.max(0, v - grow)));
}

const isDashArray = lengths => Array.isArray(lengths) && lengths.length > 0 && lengths.every(v => Number.isFinite(v) && v >= 0);

/* The longest dash pattern a swatch URL carries (each gap pixel is "%20"
 * in it, and web servers refuse request lines of 8 KiB). */
export const MAX_DASH_PATTERN = 2000;

/* Whether a dash array is longer, drawn, than MAX_DASH_PATTERN pixels. */
export function dashTooLong(lengths, width, cap = "butt") {
  return isDashArray(lengths) && dashLengths(lengths, width, cap).reduce((sum, v) => sum + Math.max(1, v), 0) > MAX_DASH_PATTERN;
}

/* A dash array as the program's LineStyle: its lengths as drawn, in whole
 * pixels, a dash at least one, a gap under SMALLEST_GAP joining its dashes
 * and a longer one at least a pixel. A pattern without gaps, or longer
 * than MAX_DASH_PATTERN, is solid (""). */
export function dashPattern(lengths, width, cap = "butt") {
  if (!isDashArray(lengths) || dashTooLong(lengths, width, cap)) return "";
  let text = "";
  dashLengths(lengths, width, cap).forEach((v, i) => {
    const n = roundHalfUp(v);
    if (i % 2 === 0) text += "x".repeat(Math.max(1, n));
    else if (v >= SMALLEST_GAP) text += " ".repeat(Math.max(1, n));
  });
  return text.includes(" ") ? text : "";
}

/* The share of a dash array's length that is ink, as drawn: what a
 * pattern too fine to show (drawn solid) gives its colour. */
export function dashInk(lengths, width, cap = "butt") {
  if (!isDashArray(lengths)) return 1;
  const drawn = dashLengths(lengths, width, cap);
  const total = drawn.reduce((a, b) => a + b, 0);
  return total > 0 ? drawn.filter((_, i) => i % 2 === 0).reduce((a, b) => a + b, 0) / total : 1;
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
 * what is pasted stays sharp on every screen: the images drawn for that
 * density where dense has them ({2: url, 3: url}, from a style's lengths),
 * else the swatch at Scale; "" for an SVG. */
export function srcsetOf(url, w = 1, h = 1, dense = {}) {
  if (isSvg(url)) return "";
  return [`${url} 1x`, ...scalesOffered(url, w, h).map(s => `${dense[s] ?? scaledUrl(url, s)} ${s}x`)].join(", ");
}

export function scaledUrl(url, scale) { return `${url}${url.includes("?") ? "&" : "?"}Scale=${scale}`; }

/* The swatch's whole URL on the page's origin, for a swatch path. */
export function absoluteUrl(origin, path) { return `${origin}${SCRIPT}${path}`; }

/* Why the program would refuse a swatch of this size, or "". */
export function sizeProblem(w, h) {
  if (!(w >= MIN_SIDE) || !(h >= MIN_SIDE)) return `Width and height are whole numbers of at least ${MIN_SIDE} pixels.`;
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

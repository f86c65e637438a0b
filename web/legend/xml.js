/* XML for the style readers: fast-xml-parser reads, checks and writes it;
 * this module walks the tree it gives, with elements in document order. A
 * DOCTYPE with a subset of its own (where entities are declared) is
 * refused before the document is read, and the parser processes no
 * entities (nothing is expanded, nothing fetched); a plain DOCTYPE, which
 * every QGIS style carries, is read, and its DTD never fetched. */
import {XMLBuilder, XMLParser, XMLValidator} from "fast-xml-parser";
import {LegendError} from "./error.js";

/* Entities are never processed by the parser: the five of XML and
 * character references are decoded here, in texts and attributes. */
const OPTIONS = {preserveOrder: true, ignoreAttributes: false, attributeNamePrefix: "",
                 parseTagValue: false, parseAttributeValue: false, trimValues: true, processEntities: false};

/* Whether the document's DOCTYPE has a subset of its own ("[", outside
 * its quoted literals), where entities would be declared. */
function hasInternalSubset(text) {
  const start = text.search(/<!DOCTYPE/i);
  if (start < 0) return false;
  let quote = null;
  for (let i = start + 9; i < text.length; i++) {
    const c = text[i];
    if (quote) quote = c === quote ? null : quote;
    else if (c === '"' || c === "'") quote = c;
    else if (c === "[") return true;
    else if (c === ">") return false;
  }
  return false;
}

/* Attributes a style document may have: on one element, and in all. The
 * parsers' cost grows with them (three passes: the check, the tree, the
 * style library's own), and no style needs more: QGIS writes a few on each
 * element, SLD fewer. */
export const MAX_ELEMENT_ATTRIBUTES = 1000;
export const MAX_ATTRIBUTES = 200000;

/* The attributes of the document's elements, counted in one pass before it
 * is parsed: a LegendError past either bound. Comments, CDATA sections and
 * quoted values are passed over. */
function checkAttributeCounts(text) {
  let total = 0;
  for (let i = text.indexOf("<"); i >= 0 && i < text.length; i = text.indexOf("<", i)) {
    if (text.startsWith("<!--", i) || text.startsWith("<![CDATA[", i)) {
      const end = text.indexOf(text[i + 2] === "-" ? "-->" : "]]>", i);
      i = end < 0 ? text.length : end + 3;
      continue;
    }
    let count = 0, quote = 0, j = i + 1;
    for (; j < text.length; j++) {
      const c = text.charCodeAt(j);
      if (quote) quote = c === quote ? 0 : quote;
      else if (c === 34 || c === 39) quote = c;
      else if (c === 61) count++;
      else if (c === 62) break;
    }
    total += count;
    if (count > MAX_ELEMENT_ATTRIBUTES || total > MAX_ATTRIBUTES) {
      const line = text.slice(0, i).split("\n").length;
      throw new LegendError(count > MAX_ELEMENT_ATTRIBUTES
        ? `an element at line ${line} has over ${MAX_ELEMENT_ATTRIBUTES.toLocaleString("en-US")} attributes: no style has as many`
        : `the document has over ${MAX_ATTRIBUTES.toLocaleString("en-US")} attributes: no style has as many`);
    }
    i = j + 1;
  }
}

const NAMED = {lt: "<", gt: ">", amp: "&", quot: '"', apos: "'"};
/* A text with XML's five entities and its character references decoded. */
export function decodeReferences(text) {
  return text.replace(/&(#x[0-9a-f]+|#[0-9]+|lt|gt|amp|quot|apos);/gi, (whole, ref) => {
    if (ref[0] !== "#") return NAMED[ref.toLowerCase()] ?? whole;
    const code = ref[1] === "x" || ref[1] === "X" ? parseInt(ref.slice(2), 16) : parseInt(ref.slice(1), 10);
    return code <= 0x10FFFF ? String.fromCodePoint(code) : whole;
  });
}

/* The document's nodes, or a LegendError that says what is wrong and where. */
export function readXml(text) {
  if (hasInternalSubset(text)) throw new LegendError("XML whose DOCTYPE declares a subset of its own (entities) is refused");
  checkAttributeCounts(text);
  const checked = XMLValidator.validate(text);
  if (checked !== true) {
    const {msg, line} = checked.err;
    throw new LegendError(`malformed XML at line ${line}: ${msg}`);
  }
  return new XMLParser(OPTIONS).parse(text);
}

/* The XML of these nodes again. */
export function writeXml(nodes) {
  return new XMLBuilder({...OPTIONS, suppressEmptyNode: true}).build(nodes);
}

/* An element's name as written (with its prefix) and without the prefix. */
export const tagOf = node => Object.keys(node).find(k => k !== ":@");
export const localName = node => (tagOf(node) ?? "").replace(/^.*:/, "");
/* An element's attributes, their references decoded: once per element,
 * as the readers ask for them again and again. */
const decodedAttributes = new WeakMap();
export function attributes(node) {
  if (!decodedAttributes.has(node))
    decodedAttributes.set(node, Object.fromEntries(Object.entries(node[":@"] ?? {})
      .map(([k, v]) => [k, typeof v === "string" ? decodeReferences(v) : v])));
  return decodedAttributes.get(node);
}
export const elements = node => (Array.isArray(node[tagOf(node)]) ? node[tagOf(node)] : [])
  .filter(n => !("#text" in n) && !("#comment" in n) && !tagOf(n).startsWith("?"));

/* The child elements of that local name. */
export const childrenNamed = (node, name) => elements(node).filter(n => localName(n) === name);
export const childNamed = (node, name) => childrenNamed(node, name)[0];

/* The text inside an element, or "". */
export function textOf(node) {
  if (!node) return "";
  return decodeReferences((node[tagOf(node)] ?? []).filter(n => "#text" in n).map(n => String(n["#text"])).join("").trim());
}

/* The document's root element. */
export const rootOf = nodes => nodes.find(n => !tagOf(n).startsWith("?") && !("#text" in n) && !("#comment" in n));

/* A GeoStyler parser's reading of a document of one rule:
 * {symbolizers} or {error}, the first line of why it could not. */
export async function readOneRule(parser, xml) {
  let read;
  try {
    read = await parser.readStyle(xml);
  } catch (err) {
    read = {errors: [err]};
  }
  const symbolizers = read.output?.rules?.[0]?.symbolizers;
  if (symbolizers) return {symbolizers};
  const first = Array.isArray(read.errors) ? read.errors[0] : read.errors;
  return {error: String(first?.message ?? first ?? "unknown error").split("\n")[0]};
}

/* The most attributes of one element handed to a style library: styles
 * write a few to an element (QGIS some 15), and a library's own reading
 * costs by the attribute. */
const MAX_ATTRIBUTES_READ = 32;

/* The element with its first MAX_ATTRIBUTES_READ attributes (itself when
 * it has no more). */
export function withFewAttributes(node) {
  const names = Object.keys(node[":@"] ?? {});
  if (names.length <= MAX_ATTRIBUTES_READ) return node;
  return {...node, ":@": Object.fromEntries(names.slice(0, MAX_ATTRIBUTES_READ).map(k => [k, node[":@"][k]]))};
}

/* A copy of an element with other children. */
export function withChildren(node, children) {
  const copy = {[tagOf(node)]: children};
  if (node[":@"]) copy[":@"] = node[":@"];
  return copy;
}

/* Windows-1252's letters at 0x80 to 0x9F (the five it leaves undefined
 * stay as they are). Node's own decoder reads this range as ISO-8859-1's
 * control characters: these two single-byte encodings are decoded here,
 * alike in Node and in the browser. */
const CP1252 = "\u20AC\u0081\u201A\u0192\u201E\u2026\u2020\u2021\u02C6\u2030\u0160\u2039\u0152\u008D\u017D\u008F" +
               "\u0090\u2018\u2019\u201C\u201D\u2022\u2013\u2014\u02DC\u2122\u0161\u203A\u0153\u009D\u017E\u0178";
const SINGLE_BYTE = {
  "iso-8859-1": b => String.fromCharCode(b), "latin1": b => String.fromCharCode(b),
  "windows-1252": b => (b >= 0x80 && b < 0xA0 ? CP1252[b - 0x80] : String.fromCharCode(b)),
};
SINGLE_BYTE["cp1252"] = SINGLE_BYTE["windows-1252"];

function decodeSingleByte(bytes, map) {
  const out = [];
  for (let i = 0; i < bytes.length; i += 8192) out.push(Array.from(bytes.subarray(i, i + 8192), map).join(""));
  return out.join("");
}

/* A style document's text from its bytes: a byte order mark says UTF-8 or
 * UTF-16; else XML says its encoding in its declaration (ISO-8859-1,
 * windows-1252 …); else UTF-8. Bytes that are not of that encoding are
 * refused with their line. Text is taken as it is. */
export function decodeStyle(input) {
  if (typeof input === "string") return input;
  const bytes = input instanceof Uint8Array ? input : new Uint8Array(input);
  let encoding = "utf-8", start = 0;
  if (bytes[0] === 0xEF && bytes[1] === 0xBB && bytes[2] === 0xBF) start = 3;
  else if (bytes[0] === 0xFF && bytes[1] === 0xFE) [encoding, start] = ["utf-16le", 2];
  else if (bytes[0] === 0xFE && bytes[1] === 0xFF) [encoding, start] = ["utf-16be", 2];
  else if (bytes[0] === 0x3C && bytes[1] === 0x00) encoding = "utf-16le";
  else if (bytes[0] === 0x00 && bytes[1] === 0x3C) encoding = "utf-16be";
  else {
    const head = String.fromCharCode(...bytes.subarray(0, 200));
    const declared = /^\s*<\?xml[^>]*?\bencoding\s*=\s*["']([A-Za-z0-9._:-]+)["']/.exec(head);
    if (declared) encoding = declared[1].toLowerCase();
  }
  if (SINGLE_BYTE[encoding]) return decodeSingleByte(bytes.subarray(start), SINGLE_BYTE[encoding]);
  let decoder;
  try {
    decoder = new TextDecoder(encoding, {fatal: true});
  } catch {
    throw new LegendError(`the document's encoding ${encoding} is not one the legend reads`);
  }
  const body = bytes.subarray(start);
  try {
    return decoder.decode(body);
  } catch {
    const text = new TextDecoder(encoding).decode(body);
    const line = text.slice(0, text.indexOf("\uFFFD")).split("\n").length;
    throw new LegendError(`bytes at line ${line} are not ${encoding}, the document's encoding`);
  }
}

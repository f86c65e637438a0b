/* A legend from a style document: SLD, a QGIS layer style or a MapLibre
 * (Mapbox GL) style, found from its content. The command line and the
 * designer both call readLegend:
 *
 *   readLegend(text, {size: [w, h], zoom, title, fileName})
 *     -> {title, rows: [{label, swatch, design, notes}], notes}
 *
 * where swatch is the swatch's path and query, what follows the program's
 * address. A document that is no style, or draws nothing, is refused with
 * a LegendError. */
import {swatchPath} from "../swatch-url.js";
import {swatchOf} from "./swatch.js";
import {LegendError, checkStyleSize} from "./error.js";
import {readXml, localName, rootOf} from "./xml.js";
import {readSld} from "./sld.js";
import {readQgis} from "./qgis.js";
import {readMapLibre} from "./maplibre.js";

export {LegendError};
export const MAX_ROWS = 500;
export const DEFAULT_ZOOM = 14;
/* A legend row's swatch, width and height in CSS pixels, unless asked otherwise. */
export const DEFAULT_SWATCH_SIZE = [20, 20];

/* The style document as rules in the style model, by language. */
async function readStyle(text, zoom) {
  const start = text.replace(/^\uFEFF/, "").trimStart();
  if (start.startsWith("<")) {
    const root = rootOf(readXml(text));
    const name = root ? localName(root) : "";
    if (name === "StyledLayerDescriptor") return readSld(root, MAX_ROWS + 1);
    if (name === "qgis") return readQgis(root, MAX_ROWS + 1);
    throw new LegendError(`not a style document: XML whose root is <${name}>, not an SLD or a QGIS style`);
  }
  if (start.startsWith("{")) {
    let doc;
    try {
      doc = JSON.parse(text);
    } catch (err) {
      throw new LegendError(`malformed JSON: ${err.message}`);
    }
    if (doc && doc.version === 8 && Array.isArray(doc.layers)) return readMapLibre(doc, zoom, MAX_ROWS + 1);
    const what = doc && typeof doc.type === "string" ? ` (JSON of type ${doc.type})` : "";
    throw new LegendError(`not a style document${what}: a MapLibre style has "version": 8 and "layers"`);
  }
  throw new LegendError("not a style document: neither XML nor JSON");
}

export async function readLegend(text, {size = DEFAULT_SWATCH_SIZE, zoom = DEFAULT_ZOOM, title = "", fileName = ""} = {}) {
  checkStyleSize(new TextEncoder().encode(text).length);
  const style = await readStyle(text, zoom);
  const [w, h] = size;
  const rows = [], notes = [...style.notes];
  for (const rule of style.rules.slice(0, MAX_ROWS)) {
    const swatch = swatchOf(rule.symbolizers, {w, h, ...style.options});
    if (!swatch) {
      const why = rule.notes.length ? rule.notes.join(" ") : "it draws nothing the legend can show.";
      notes.push(`${rule.label ? `"${rule.label}"` : "A rule without a name"}: ${why}`);
      continue;
    }
    rows.push({label: rule.label, swatch: swatchPath(swatch.design), design: swatch.design,
               notes: [...rule.notes, ...swatch.notes]});
  }
  if (style.rules.length > MAX_ROWS) notes.push(`Only the first ${MAX_ROWS} rules are in the legend.`);
  if (!rows.length) throw new LegendError("no rule draws anything");
  return {title: title || style.title || fileName, rows, notes};
}
